// A simulated Tavoro device service with its sensors: the service's main pipe
// (count, describe, names) and one per-device pipe per sensor that answers T100
// commands with the command classes' sensor side. Faults can be injected per
// sensor. Runs on its own threads, in-process or as the tavoro-sim program.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
  // Status polls answered with 1 (armed, no finger) after a trigger 1 or 4,
  // before the finger is reported (4), then 2 (capturing) and 0 (image ready).
  uint32_t fingerAfter = 2;
  // Explicit status sequence after each trigger 1 or 4 (overrides the above;
  // its last value repeats).
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
  // Stops (false) or resumes (true) serving: the pipes disappear while off.
  bool SetServing(bool on);
  bool Serving() const { return FServing; }

  // Full pipe name of a sensor's per-device pipe and of the main pipe.
  std::string SensorPipe(size_t index) const;
  std::string MainPipe() const;
  // Interface paths of the sensors served the USB way, in sensor order: the
  // list to hand to plat::SetDeviceInterfaceStandIns.
  std::vector<std::string> UsbInterfacePaths() const;
  // Requests answered (or dropped) by a sensor so far, and the opcodes seen.
  uint64_t Requests(size_t index) const;
  std::vector<uint32_t> Opcodes(size_t index) const;
  // Fault settings can be changed while serving.
  void Configure(size_t index, const SensorConfig& sensor);
  SensorConfig Sensor(size_t index) const;

  struct SensorState;

 private:
  void ServeMain();
  void ServeSensor(size_t index);
  bool OpenSensorPipes(size_t index);
  void CloseSensorPipes(size_t index);
  SimConfig FConfig;
  std::vector<std::unique_ptr<SensorState>> FSensors;
  std::vector<std::thread> FThreads;
  plat::PipeServer* mainServer_ = nullptr;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FServing{false};
  mutable std::mutex FLock;
};

}  // namespace tavosim
