// The realistic sensor: fingers laid on it as a series of touches. Each finger
// (fpplace's ridge model) is touched several times, each touch a new
// impression of it (placement, rotation, pressure, contrast, contact area);
// while a finger rests, the sensor delivers images at its rate, each a little
// different (drift, pressure, noise); between touches the finger is lifted
// and the sensor reports "armed, no finger" and delivers nothing.
//
// TouchPainter makes the pictures, TouchPictures makes them ahead on a thread
// of its own, TouchSchedule decides from the time what the sensor answers.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fpplace {
class Finger;
}

namespace tavosim {

struct TouchPlan {
  uint32_t fingers = 3;     // fingers served in turn
  uint32_t touches = 4;     // touches of one finger before the next finger comes
  uint32_t rate = 10;       // images per second while a finger rests
  uint32_t touchMs = 800;   // how long a finger rests
  uint32_t liftMs = 700;    // how long it is lifted between touches
  uint64_t seed = 1;        // the fingers and their impressions
  uint32_t poorEvery = 0;   // every Nth touch is poor (light and partial); 0: none
  // Images per touch: the rate over the resting time, at least one.
  uint32_t FramesPerTouch() const;
  // Refused plans (zero fingers, a rate out of 1..100 ...); empty when fine.
  std::string Check() const;
};

// Touch `number` (from 0) of a sensor: which finger, which impression of it.
struct Touch {
  uint64_t number = 0;
  uint32_t finger = 0;
  uint64_t impression = 0;  // counts the finger's touches, never repeats
  bool poor = false;
};
Touch TouchAt(const TouchPlan& plan, uint64_t number, bool poor);
// Whether the plan itself makes touch `number` poor (poorEvery).
bool PlannedPoor(const TouchPlan& plan, uint64_t number);

// A touch rendered: the finger's picture as it rests, before the per-image
// variation and noise.
struct TouchPicture {
  Touch touch;
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;  // top row first, 0 black
  double background = 245;      // grey where the finger does not touch
  double noise = 3;             // sensor noise, grey levels (sigma)
  uint64_t seed = 0;            // of the per-image variation
};

// Renders touches of the fingers of one sensor. Fingers are made on first use
// (about a second each) and kept. Not thread-safe: one owner at a time.
class TouchPainter {
 public:
  TouchPainter(const TouchPlan& plan, uint32_t sensor, int width, int height);
  ~TouchPainter();
  std::shared_ptr<const TouchPicture> Paint(const Touch& touch);
  // Makes the finger now, if it is not made yet.
  void Prepare(uint32_t finger) { FingerOf(finger); }
  bool Prepared(uint32_t finger) const { return FFingers.count(finger) != 0; }

 private:
  const fpplace::Finger& FingerOf(uint32_t finger);
  TouchPlan FPlan;
  uint32_t FSensor;
  int FWidth, FHeight;
  std::map<uint32_t, std::unique_ptr<fpplace::Finger>> FFingers;
};

// Image `frame` of a touch: the picture moved by a pixel or two, pressed a
// little harder or lighter, with fresh sensor noise. Deterministic.
std::vector<uint8_t> FrameOf(const TouchPicture& picture, uint32_t frame);

// Touch pictures made ahead on a thread of their own, so that serving an
// image never waits for a rendering. Thread-safe.
class TouchPictures {
 public:
  TouchPictures(const TouchPlan& plan, uint32_t sensor, int width, int height);
  ~TouchPictures();
  TouchPictures(const TouchPictures&) = delete;
  TouchPictures& operator=(const TouchPictures&) = delete;

  // Asks for touch `number` (and keeps only it and later ones).
  void Want(uint64_t number);
  // The picture of touch `number` when it is made (as poor as asked), else null.
  std::shared_ptr<const TouchPicture> Get(uint64_t number);
  // Makes the touches numbered from..from+count-1 poor (those already made
  // are made again).
  void MakePoor(uint64_t from, uint32_t count);
  bool Poor(uint64_t number);
  // The painter's thread; also ended by the destructor.
  void Start();
  void Stop();

 private:
  void Run();
  bool PoorLocked(uint64_t number) const;
  TouchPlan FPlan;
  TouchPainter FPainter;  // used on the thread only
  std::mutex FLock;
  std::condition_variable FWake;
  std::set<uint64_t> FWanted;
  std::set<uint64_t> FPoor;  // asked for by MakePoor
  std::map<uint64_t, std::shared_ptr<const TouchPicture>> FMade;
  bool FStop = false;
  std::thread FThread;
};

// What the sensor answers when, for the touches of a plan. Times are ms on
// the caller's clock. Status values: 10 not armed, 1 armed without a finger,
// 4 finger placed (once per arming), 2 capturing, 0 image ready.
class TouchSchedule {
 public:
  // Touches start only once their picture is ready: `ready(n)` says so
  // (and may start making it).
  using Ready = std::function<bool(uint64_t number)>;
  TouchSchedule(const TouchPlan& plan, Ready ready);

  void Arm(uint64_t now);  // trigger 1 or 4
  void Disarm();           // trigger 0, or the sensor lost power
  uint32_t Status(uint64_t now);
  // The image a fetch gets: its touch and frame, and when the sensor took
  // it. The sensor takes the images of a touch at its rate and hands them
  // out in order, each once it is asked for; a late client gets them one
  // right after the other until it has caught up, and those it has not
  // fetched when the next touch begins are dropped. An image reported ready
  // stays ready until it is fetched, even after the finger is lifted. Never
  // the same pair twice; a fetch that comes when no image is ready (the
  // protocol asks first) gets a frame past the touch's own, taken then.
  struct Frame {
    uint64_t touch = 0;
    uint32_t frame = 0;
    uint64_t taken = 0;
    bool due = true;
  };
  Frame Fetch(uint64_t now);
  // The touch on the sensor now or last (-1 before the first), and its times.
  int64_t Current() const { return FCurrent; }
  uint64_t Start() const { return FStart; }
  uint64_t End() const { return FEnd; }

  // A client that asked nothing for this long has gone: when it comes back,
  // the next touch begins without the rest of a lift.
  static constexpr uint64_t kIdleMs = 5000;

 private:
  void Advance(uint64_t now);
  bool Begin(uint64_t number, uint64_t now);
  TouchPlan FPlan;
  Ready FReady;
  bool FArmed = false;
  bool FReported4 = false;
  int64_t FCurrent = -1;
  uint64_t FStart = 0, FEnd = 0;
  uint32_t FServed = 0;     // images of the current touch taken (fetched or lost)
  bool FWaiting = false;    // image FServed is taken and waits to be fetched
  uint64_t FTaken = 0;      // when it was taken
  uint64_t FLastSeen = 0;   // last status request
  bool FSeen = false;
  uint32_t FExtra = 0;      // fetches that came when no image was due
};

}  // namespace tavosim
