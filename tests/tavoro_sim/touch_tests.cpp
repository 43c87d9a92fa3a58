// The realistic sensor: which finger each touch is, the pictures of touches
// and their images, and what the sensor answers when, on a clock of the
// test's own (no waiting, no wall clock).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "TavoroSim.h"
#include "Touches.h"

namespace {

using tavosim::TouchPlan;
using tavosim::TouchSchedule;

constexpr int kWidth = 256, kHeight = 360;

// One painter for the whole file: each finger takes a second or two to make.
tavosim::TouchPainter& Painter() {
  static tavosim::TouchPainter painter(TouchPlan{}, 0, kWidth, kHeight);
  return painter;
}

TEST(TouchPlan, FingersComeInTurnAndNoImpressionRepeats) {
  TouchPlan plan;
  plan.fingers = 3;
  plan.touches = 2;
  std::vector<uint32_t> fingers;
  std::set<std::pair<uint32_t, uint64_t>> impressions;
  for (uint64_t n = 0; n < 18; ++n) {
    tavosim::Touch t = tavosim::TouchAt(plan, n, false);
    EXPECT_EQ(t.number, n);
    fingers.push_back(t.finger);
    EXPECT_TRUE(impressions.insert({t.finger, t.impression}).second) << "touch " << n;
  }
  EXPECT_EQ(fingers, (std::vector<uint32_t>{0, 0, 1, 1, 2, 2, 0, 0, 1, 1, 2, 2, 0, 0, 1, 1, 2, 2}));
  plan.poorEvery = 3;
  std::vector<bool> poor;
  for (uint64_t n = 0; n < 6; ++n) poor.push_back(tavosim::PlannedPoor(plan, n));
  EXPECT_EQ(poor, (std::vector<bool>{false, false, true, false, false, true}));
  EXPECT_EQ(plan.FramesPerTouch(), 8u);
}

TEST(TouchPlan, ImpossiblePlansAreRefused) {
  EXPECT_EQ(TouchPlan{}.Check(), "");
  auto refused = [](auto change) {
    TouchPlan p;
    change(p);
    return !p.Check().empty();
  };
  EXPECT_TRUE(refused([](TouchPlan& p) { p.fingers = 0; }));
  EXPECT_TRUE(refused([](TouchPlan& p) { p.fingers = 51; }));
  EXPECT_TRUE(refused([](TouchPlan& p) { p.touches = 0; }));
  EXPECT_TRUE(refused([](TouchPlan& p) { p.rate = 0; }));
  EXPECT_TRUE(refused([](TouchPlan& p) { p.rate = 101; }));
  EXPECT_TRUE(refused([](TouchPlan& p) { p.touchMs = 40; }));
  EXPECT_TRUE(refused([](TouchPlan& p) { p.touchMs = 60, p.rate = 10; }));  // not one image long
}

// ---------------------------------------------------------------- images

TEST(TouchImages, EveryImageOfATouchDiffersAndIsRepeatable) {
  auto pic = Painter().Paint(tavosim::TouchAt(TouchPlan{}, 0, false));
  ASSERT_EQ(pic->pixels.size(), size_t(kWidth) * kHeight);
  std::vector<std::vector<uint8_t>> frames;
  for (uint32_t f = 0; f < 8; ++f) frames.push_back(tavosim::FrameOf(*pic, f));
  for (size_t f = 1; f < frames.size(); ++f) EXPECT_NE(frames[f], frames[f - 1]) << "frame " << f;
  EXPECT_EQ(tavosim::FrameOf(*pic, 3), frames[3]);
  auto again = Painter().Paint(tavosim::TouchAt(TouchPlan{}, 0, false));
  EXPECT_EQ(again->pixels, pic->pixels);
}

// Ink: how much darker than the background the picture is, in total.
double Ink(const tavosim::TouchPicture& p) {
  double ink = 0;
  for (uint8_t v : p.pixels) ink += std::max(0.0, p.background - v);
  return ink;
}
size_t Touched(const tavosim::TouchPicture& p) {
  size_t n = 0;
  for (uint8_t v : p.pixels) n += v < p.background - 40;
  return n;
}

TEST(TouchImages, APoorTouchIsLightAndPartial) {
  tavosim::Touch t = tavosim::TouchAt(TouchPlan{}, 1, false);
  auto good = Painter().Paint(t);
  t.poor = true;
  auto poor = Painter().Paint(t);
  EXPECT_LT(Ink(*poor), 0.4 * Ink(*good));
  EXPECT_LT(Touched(*poor), Touched(*good) / 2);
}

TEST(TouchImages, PicturesAreMadeAheadAndMadeAgainWhenAskedPoor) {
  TouchPlan plan;
  plan.fingers = 1;  // nothing else to make ahead
  tavosim::TouchPictures pictures(plan, 0, 96, 128);
  pictures.Start();
  pictures.Want(0);
  pictures.Want(1);
  auto wait = [&](uint64_t n) {
    for (int i = 0; i < 3000; ++i) {
      if (auto p = pictures.Get(n)) return p;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::shared_ptr<const tavosim::TouchPicture>();
  };
  auto first = wait(1);
  ASSERT_TRUE(first);
  EXPECT_FALSE(first->touch.poor);
  pictures.MakePoor(1, 1);
  EXPECT_TRUE(pictures.Poor(1));
  EXPECT_FALSE(pictures.Poor(2));
  auto again = wait(1);
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->touch.poor);
  pictures.Want(2);  // touches before 2 are let go
  EXPECT_FALSE(pictures.Get(0));
  pictures.Stop();
}

// ---------------------------------------------------------------- schedule

// The plug-in's capture cycle as far as the schedule sees it: status polls
// every `pollMs`, a fetch after "ready", a new arming after every fetch.
struct Client {
  Client(TouchSchedule& schedule, uint64_t start) : s(schedule), now(start) {}
  TouchSchedule& s;
  uint64_t now = 0;
  bool capturing = false;
  struct Got {
    uint64_t ms;
    TouchSchedule::Frame frame;
    uint32_t statusBefore;
  };
  std::vector<Got> got;
  std::map<uint64_t, std::vector<uint32_t>> statuses;  // per ms

  void Run(uint64_t until, uint64_t pollMs = 2) {
    for (; now < until; now += pollMs) {
      uint32_t st = s.Status(now);
      statuses[now].push_back(st);
      if (st == 4) capturing = true;
      if (st == 0 && capturing) {
        got.push_back({now, s.Fetch(now), st});
        s.Disarm();
        s.Arm(now);
        capturing = false;
      }
    }
  }
};

TEST(TouchSchedule, ImagesComeAtTheRateOnlyWhileAFingerRests) {
  TouchPlan plan;  // 10 a second, 800 ms on, 700 ms lifted
  TouchSchedule s(plan, [](uint64_t) { return true; });
  EXPECT_EQ(s.Status(0), 10u);  // not armed
  EXPECT_EQ(s.Current(), -1);   // no finger before anyone captures
  Client c(s, 100);
  s.Arm(c.now);
  c.Run(100 + 3 * 1500);
  ASSERT_EQ(c.got.size(), 3 * plan.FramesPerTouch());
  for (size_t i = 0; i < c.got.size(); ++i) {
    const auto& g = c.got[i];
    EXPECT_EQ(g.frame.touch, i / 8);
    EXPECT_EQ(g.frame.frame, i % 8);
    EXPECT_TRUE(g.frame.due);
    uint64_t start = 100 + 1500 * g.frame.touch;
    EXPECT_LT(g.ms, start + plan.touchMs) << "an image while the finger is lifted";
    if (i % 8) {
      EXPECT_NEAR(double(g.ms - c.got[i - 1].ms), 100.0, 2.0) << "image " << i;
    }
  }
  // Lifted: armed, no finger, and nothing to fetch.
  for (uint64_t t = 100 + 800 + 2; t < 100 + 1500; t += 2) EXPECT_EQ(c.statuses[t].front(), 1u) << t;
}

// A busy machine slows the client, not the sensor: images are taken at the
// rate and handed out in order, the one ready waits even past the lift.
TEST(TouchSchedule, ALateClientGetsTheImagesAsTakenInOrder) {
  TouchPlan plan;
  TouchSchedule s(plan, [](uint64_t) { return true; });
  Client c(s, 0);
  s.Arm(0);
  c.Run(1500, 130);  // a poll every 130 ms: two polls an image, slower than they come
  ASSERT_GE(c.got.size(), 3u);
  for (size_t i = 0; i < c.got.size(); ++i) {
    EXPECT_EQ(c.got[i].frame.touch, 0u);
    EXPECT_EQ(c.got[i].frame.frame, i);
    EXPECT_EQ(c.got[i].frame.taken, 50 + 100 * i);
  }
  // Ready just before the finger lifts, fetched after: still that image.
  TouchSchedule t(plan, [](uint64_t) { return true; });
  t.Arm(0);
  EXPECT_EQ(t.Status(0), 4u);
  EXPECT_EQ(t.Status(60), 0u);
  EXPECT_EQ(t.Status(900), 0u);  // lifted, the image waits
  TouchSchedule::Frame f = t.Fetch(900);
  EXPECT_TRUE(f.due);
  EXPECT_EQ(f.frame, 0u);
  EXPECT_EQ(f.taken, 50u);
  EXPECT_EQ(t.Status(901), 1u);
}

TEST(TouchSchedule, ATouchWaitsForItsPicture) {
  TouchPlan plan;
  bool ready1 = false;
  TouchSchedule s(plan, [&](uint64_t n) { return n == 0 || ready1; });
  Client c(s, 0);
  s.Arm(0);
  c.Run(3000);
  EXPECT_EQ(s.Current(), 0);  // the finger stays lifted
  EXPECT_EQ(c.got.size(), 8u);
  ready1 = true;
  c.Run(3100);
  EXPECT_EQ(s.Current(), 1);
  EXPECT_EQ(s.Start(), 3000u);
}

TEST(TouchSchedule, AClientBackAfterAPauseMeetsTheNextTouchAtOnce) {
  TouchPlan plan;
  TouchSchedule s(plan, [](uint64_t) { return true; });
  Client c(s, 0);
  s.Arm(0);
  c.Run(1000);
  ASSERT_EQ(c.got.size(), 8u);
  // Nobody asks for a minute, then capture starts again.
  c.now = 61000;
  s.Arm(c.now);
  c.Run(61200);
  EXPECT_EQ(s.Current(), 1);  // touches are never skipped
  EXPECT_EQ(s.Start(), 61000u);
  EXPECT_EQ(c.got.size(), 10u);
}

TEST(TouchSchedule, AnEarlyFetchGetsAnImageOfItsOwn) {
  TouchPlan plan;
  TouchSchedule s(plan, [](uint64_t) { return true; });
  std::set<std::pair<uint64_t, uint32_t>> seen;
  s.Arm(0);
  for (uint64_t t = 0; t < 2000; t += 7) {
    TouchSchedule::Frame f = s.Fetch(t);  // never asked the status first
    EXPECT_TRUE(seen.insert({f.touch, f.frame}).second) << t;
  }
}

// ---------------------------------------------------------------- options

bool Parse(std::vector<std::string> args, tavosim::SimConfig& c, std::string& error) {
  return tavosim::ParseOptions(args, c, error);
}

TEST(TouchOptions, TheProgramServesRealisticSensorsUnlessFast) {
  tavosim::SimConfig c;
  std::string error;
  ASSERT_TRUE(Parse({"--sensors=2", "--fingers=5", "--rate=20", "--touch=500", "--lift=300", "--seed=9",
                     "--sensor1-poor-every=4"},
                    c, error))
      << error;
  for (const auto& s : c.sensors) {
    EXPECT_TRUE(s.realistic);
    EXPECT_EQ(s.touches.fingers, 5u);
    EXPECT_EQ(s.touches.rate, 20u);
    EXPECT_EQ(s.touches.touchMs, 500u);
    EXPECT_EQ(s.touches.liftMs, 300u);
    EXPECT_EQ(s.touches.seed, 9u);
  }
  EXPECT_EQ(c.sensors[0].touches.poorEvery, 0u);
  EXPECT_EQ(c.sensors[1].touches.poorEvery, 4u);
  ASSERT_TRUE(Parse({"--sensors=2", "--fast", "--finger-after=1", "--dump=/tmp/x"}, c, error)) << error;
  EXPECT_FALSE(c.sensors[0].realistic);
  EXPECT_FALSE(tavosim::SensorConfig{}.realistic);  // in-process users get the fast sensor
}

TEST(TouchOptions, SettingsOfTheOtherKindAreRefused) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--finger-after=1"}, "--finger-after sets the fast sensor's status sequence: give --fast too"},
      {{"--sensor0-status-script=1,0"}, "--sensor0-status-script sets the fast sensor's"},
      {{"--fast", "--rate=5"}, "--rate sets the realistic sensor's touches: leave out --fast"},
      {{"--dump=/tmp/x"}, "--dump writes the fast sensor's few pictures: give --fast too"},
      {{"--rate=500"}, "rate must be 1 to 100"},
      {{"--fingers=0"}, "fingers must be 1 to 50"},
      {{"--fast=maybe"}, "bad value for fast"},
      {{"--at=10:poor"}, "wrong number of arguments for poor"},
  };
  for (const Case& k : cases) {
    tavosim::SimConfig c;
    std::string error;
    EXPECT_FALSE(Parse(k.args, c, error)) << k.args[0];
    EXPECT_NE(error.find(k.message), std::string::npos) << error;
  }
}

TEST(TouchOptions, PoorTouchesComeOnlyFromARealisticSensor) {
  tavosim::SimConfig c;
  c.sensors.resize(2);
  c.sensors[1].realistic = true;
  c.sensors[1].width = 64;
  c.sensors[1].height = 64;
  tavosim::Simulator sim(c);  // not started: commands only
  std::string error;
  EXPECT_FALSE(sim.Execute("poor 0", error));
  EXPECT_NE(error.find("sensor 0 runs --fast"), std::string::npos) << error;
  EXPECT_TRUE(sim.Execute("poor 1 3", error)) << error;
  EXPECT_FALSE(sim.Execute("poor 2", error));
}

}  // namespace
