// A simulated Tavoro device service with its sensors: the service's main pipe
// (count, describe, names) and one per-device pipe per sensor that answers T100
// commands with the command classes' sensor side. Faults can be set per sensor
// and injected while serving. Runs on its own threads, in-process or as the
// tavoro-sim program.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Touches.h"

namespace plat {
struct PipeServer;
}

namespace tavosim {

struct SensorConfig {
  uint16_t model0 = 0x0525;   // configuration word at offset 0
  uint16_t model2 = 0x3424;   // configuration word at offset 2
  uint16_t serialLow = 0;     // word at offset 4 (last four digits of the serial text)
  uint16_t serialHigh = 0;    // word at offset 116 (first four digits)
  uint16_t width = 256;       // word at offset 30
  uint16_t height = 360;      // word at offset 32
  int32_t acceptance = 50;    // acceptance value sent with every composite image
  uint32_t deviceType = 3;    // service device type; below 3 the host takes the USB way
  uint32_t serviceId = 0;     // 0: 100 + index
  std::string pipeName;       // per-device pipe; empty: "TavoSensor<index>"
  // When set, the sensor is reached the USB way instead: it serves the two
  // stand-in bulk pipes below this interface path (see platform/usb.h) and
  // should be described with a device type below 3.
  std::string usbPath;
  // The realistic sensor: fingers touch it one after the other at its rate,
  // with the gaps of lifted fingers (see Touches.h). Otherwise the fast
  // sensor: the status sequence below after every trigger and three
  // pictures in turn, as fast as the client asks. The program's default is
  // the realistic sensor; in-process users (tests) get the fast one unless
  // they ask.
  bool realistic = false;
  TouchPlan touches;
  // Fast sensor: status polls answered with 1 (armed, no finger) after a
  // trigger 1 or 4, before the finger is reported (4), then 2 (capturing)
  // and 0 (image ready).
  uint32_t fingerAfter = 2;
  // Fast sensor: explicit status sequence after each trigger 1 or 4
  // (overrides the above; its last value repeats).
  std::vector<uint32_t> statusScript;
  // Faults.
  uint32_t errorOpcode = 0;   // answer this opcode with an error reply ...
  uint16_t errorCode = 0;     // ... carrying this code
  uint32_t delayMs = 0;       // wait before every reply
  uint32_t dropEvery = 0;     // every Nth request gets no reply
  uint32_t truncateEvery = 0; // every Nth reply is cut short and the connection closed
  uint32_t disconnectAfter = 0;  // the connection is closed after N requests (no reply to the Nth)
  bool silent = false;        // reads requests, never answers
};

// A fault injected into the next reply of a sensor (the next one to `opcode`
// when that is not 0); each is used once.
enum class ReplyFault {
  Late,        // sent `value` ms late (the connection stays)
  Cut,         // only the first half is sent, then the connection is closed
  Overlong,    // announces `value` bytes more than it sends (the connection stays)
  ShortImage,  // the next composite image carries `value` pixels only
  Garbage,     // `value` pseudo-random bytes instead of the reply, header included
};
struct PendingFault {
  ReplyFault kind = ReplyFault::Late;
  uint32_t value = 0;
  uint32_t opcode = 0;
};

// One run-time command (see Simulator::Execute), checked but not yet run.
struct SimCommand {
  std::string verb;
  std::vector<uint32_t> args;
  bool renumber = false;
};
// Parses "VERB ARG ..." (spaces or commas between words); false with `error`
// when the command is unknown or its arguments do not fit.
bool ParseCommand(const std::string& text, SimCommand& command, std::string& error);

// One composite image a sensor sent, as the simulator's clock saw it.
struct ServedImage {
  uint64_t ms = 0;       // since the simulator was made, when the reply was made
  uint64_t taken = 0;    // when the sensor took the image (realistic sensor; else ms)
  int64_t touch = -1;    // the realistic sensor's touch; -1 for the fast sensor
  uint32_t frame = 0;    // image of that touch
  uint32_t finger = 0;
  bool poor = false;
  uint64_t hash = 0;     // FNV-1a of the pixels sent
};
uint64_t PixelHash(const uint8_t* pixels, size_t size);

struct SimConfig {
  std::vector<SensorConfig> sensors;
  std::string machine = ".";  // "\\<machine>\PIPE\..." names
  bool serveMain = true;      // serve "TavoDeviceServiceMainPipe"
  uint32_t describeStatus = 0;  // status word of the describe reply
  uint32_t reportedCount = 0xFFFFFFFFu;  // count reply; default: number of sensors
  bool log = false;
  // When set, each distinct composite image served (the images repeat in a
  // cycle) is also written to "<dumpDir>/sensor<index>-<n>.raw" (n counts from
  // 0 per sensor) before the reply leaves, so that a client can compare what
  // it received.
  std::string dumpDir;
  // Instances of every service pipe: clients served at once per pipe. With 1,
  // a client that comes while another is served waits or is told busy.
  uint32_t instances = 4;
  // Commands run this many ms after Start (the command line's --at).
  std::vector<std::pair<uint32_t, std::string>> at;
};

// Builds a configuration from command-line style options ("--sensors=2" ...,
// see Usage()); `error` explains a refusal.
bool ParseOptions(const std::vector<std::string>& args, SimConfig& config, std::string& error,
                  std::string* controlFile = nullptr, uint32_t* seconds = nullptr);
// Reads options from a file (one per line, '#' comments) and appends them.
bool ReadOptionsFile(const std::string& path, std::vector<std::string>& args, std::string& error);
const char* Usage();

// The picture a sensor returns: width * height grey bytes, 0 black. The one
// place that decides where images come from.
std::vector<uint8_t> MakeImage(int width, int height, uint32_t seed);

class Simulator {
 public:
  explicit Simulator(SimConfig config);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Starts serving; false when a pipe could not be created.
  bool Start();
  void Stop();
  // Stops (false) or resumes (true) serving: the pipes disappear while off
  // and every connection is broken.
  bool SetServing(bool on);
  bool Serving() const { return FServing; }

  // Run-time faults. Each counts in FaultsInjected.
  // The service goes away and comes back after downMs (0: at once). With
  // `renumber` it returns as a restarted service may: the sensors listed in
  // reverse order, with new per-device pipe names and service ids.
  void RestartService(uint32_t downMs, bool renumber);
  // The sensor is unplugged: its pipes vanish, its connections break and the
  // main pipe no longer lists it; it is plugged back after forMs (0: only on
  // Plug). A sensor plugged back is idle (not armed) and, with `renumber`,
  // listed last under a new pipe name and service id.
  bool Unplug(size_t index, uint32_t forMs, bool renumber);
  bool Plug(size_t index, bool renumber);
  bool Plugged(size_t index) const;
  bool InjectReplyFault(size_t index, PendingFault fault);
  // Another client holds every instance of the sensor's pipe for ms: a new
  // client is told busy meanwhile; clients already connected are served.
  bool Busy(size_t index, uint32_t ms);
  // Runs one command (see ParseCommand and Usage): "stop", "serve",
  // "restart MS [renumber]", "unplug I [MS] [renumber]", "plug I [renumber]",
  // "late I MS [OPCODE]", "cut I [OPCODE]", "overlong I N [OPCODE]",
  // "short-image I PIXELS", "garbage I N [OPCODE]", "busy I MS", "poor I [N]".
  bool Execute(const std::string& command, std::string& error);
  uint64_t FaultsInjected() const { return FFaults; }
  // The next `count` touches of a realistic sensor that have not begun are
  // poor ones (light, partial); false for a fast sensor.
  bool Poor(size_t index, uint32_t count);

  // Full pipe name of a sensor's per-device pipe (its current name) and of
  // the main pipe.
  std::string SensorPipe(size_t index) const;
  std::string MainPipe() const;
  // The identifier the library gives the sensor's reader: "Tavoro\" and the
  // serial words as eight hexadecimal digits.
  std::string ReaderId(size_t index) const;
  // Interface paths of the sensors served the USB way, in sensor order: the
  // list to hand to plat::SetDeviceInterfaceStandIns.
  std::vector<std::string> UsbInterfacePaths() const;
  // Requests answered (or dropped) by a sensor so far, and the opcodes seen
  // (the first 100,000).
  uint64_t Requests(size_t index) const;
  std::vector<uint32_t> Opcodes(size_t index) const;
  // The composite images a sensor sent (the last 10,000), oldest first.
  std::vector<ServedImage> Served(size_t index) const;
  // Milliseconds on the simulator's clock (that of ServedImage::ms).
  uint64_t Now() const;
  // Fault settings can be changed while serving.
  void Configure(size_t index, const SensorConfig& sensor);
  SensorConfig Sensor(size_t index) const;

  struct SensorState;

 private:
  struct Pipes {
    plat::PipeServer* in = nullptr;   // requests arrive here
    plat::PipeServer* out = nullptr;  // USB stand-in: replies leave here (else on `in`)
    uint64_t epoch = 0;               // the sensor's epoch the pipes were made in
  };
  void ServeMain(plat::PipeServer* server);
  void ServeSensor(size_t index, Pipes pipes);
  bool OpenSensorPipes(size_t index, Pipes& pipes);
  static void ClosePipes(Pipes& pipes);
  // The sensor's pipes exist: serving, plugged in, and not renamed since `epoch`.
  bool Present(size_t index, uint64_t epoch) const;
  void Vanish(size_t index);  // under FLock: pipes go, connections break
  void Renumber(size_t index);  // under FLock
  void After(uint32_t ms, std::function<void()> action);
  void RunTimer();
  void ApplyCommand(const SimCommand& c);

  SimConfig FConfig;
  std::chrono::steady_clock::time_point FBorn = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<SensorState>> FSensors;
  std::vector<size_t> FOrder;  // the sensors the main pipe lists, in its order
  std::vector<std::thread> FThreads;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FServing{false};
  std::atomic<uint64_t> FServiceEpoch{0};
  std::atomic<uint64_t> FFaults{0};
  mutable std::mutex FLock;
  // Timed actions (a service or sensor that comes back, a busy spell's end).
  std::thread FTimer;
  std::mutex FTimerLock;
  std::condition_variable FTimerWake;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> FTimed;
  bool FTimerStop = false;
};

}  // namespace tavosim
