#include <cstdlib>
#include <fstream>

#include "TavoroSim.h"

namespace tavosim {

namespace {

bool Number(const std::string& text, uint32_t& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (*end != '\0' || v > 0xFFFFFFFFul) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

bool Hex16(const std::string& text, uint16_t& out) {
  if (text.size() != 4) return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 16);
  if (*end != '\0') return false;
  out = static_cast<uint16_t>(v);
  return true;
}

// One sensor setting; false when the key is unknown or the value bad.
bool ApplySensorKey(SensorConfig& s, const std::string& key, const std::string& value, bool& known) {
  known = true;
  uint32_t n = 0;
  if (key == "model") {
    size_t c = value.find(':');
    return c != std::string::npos && Hex16(value.substr(0, c), s.model0) && Hex16(value.substr(c + 1), s.model2);
  }
  if (key == "serial") {
    return value.size() == 8 && Hex16(value.substr(0, 4), s.serialHigh) && Hex16(value.substr(4), s.serialLow);
  }
  if (key == "size") {
    size_t x = value.find('x');
    uint32_t w = 0, h = 0;
    if (x == std::string::npos || !Number(value.substr(0, x), w) || !Number(value.substr(x + 1), h)) return false;
    if (w == 0 || h == 0 || w > 2000 || h > 2000) return false;
    s.width = static_cast<uint16_t>(w);
    s.height = static_cast<uint16_t>(h);
    return true;
  }
  if (key == "acceptance") {
    s.acceptance = static_cast<int32_t>(std::strtol(value.c_str(), nullptr, 0));
    return !value.empty();
  }
  if (key == "type") return Number(value, s.deviceType);
  if (key == "finger-after") return Number(value, s.fingerAfter);
  if (key == "usb") {
    s.usbPath = value;
    if (s.deviceType >= 3) s.deviceType = 0;
    return value.size() > 4;
  }
  if (key == "pipe") {
    s.pipeName = value;
    return !value.empty();
  }
  if (key == "status-script") {
    s.statusScript.clear();
    size_t start = 0;
    while (start <= value.size()) {
      size_t comma = value.find(',', start);
      std::string item = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      if (!Number(item, n)) return false;
      s.statusScript.push_back(n);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    return !s.statusScript.empty();
  }
  if (key == "error") {
    size_t c = value.find(':');
    uint32_t code = 0;
    if (c == std::string::npos || !Number(value.substr(0, c), s.errorOpcode) || !Number(value.substr(c + 1), code)) {
      return false;
    }
    s.errorCode = static_cast<uint16_t>(code);
    return true;
  }
  if (key == "delay") return Number(value, s.delayMs);
  if (key == "drop-every") return Number(value, s.dropEvery);
  if (key == "truncate-every") return Number(value, s.truncateEvery);
  if (key == "disconnect-after") return Number(value, s.disconnectAfter);
  if (key == "silent") {
    s.silent = value.empty() || value == "1" || value == "yes";
    return true;
  }
  known = false;
  return false;
}

}  // namespace

const char* Usage() {
  return "tavoro-sim [options]\n"
         "  --sensors=N              number of simulated sensors (default 1)\n"
         "  --machine=NAME           serve \\\\NAME\\PIPE\\... (default .)\n"
         "  --no-main                do not serve the service's main pipe\n"
         "  --describe-status=S      status word of every describe reply\n"
         "  --count=N                device count the main pipe reports\n"
         "  --config=FILE            more options from FILE, one per line\n"
         "  --control=FILE           FILE containing 'stop' pauses serving, 'serve' resumes, 'quit' ends\n"
         "  --seconds=N              end after N seconds (default: run until quit)\n"
         "  --log                    print every request\n"
         "  --dump=DIR               write each distinct image served to DIR/sensor<I>-<N>.raw\n"
         " sensor settings, for all sensors (--KEY=V) or one (--sensorI-KEY=V, I from 0):\n"
         "  model=HHHH:HHHH  serial=HHHHHHHH  size=WxH  acceptance=V  type=T  pipe=NAME\n"
         "  usb=PATH (serve the stand-in USB pipes below PATH, e.g. \\\\?\\tavo#sim#0)\n"
         "  finger-after=N  status-script=S,S,...  error=OPCODE:CODE  delay=MS\n"
         "  drop-every=N  truncate-every=N  disconnect-after=N  silent\n";
}

bool ReadOptionsFile(const std::string& path, std::vector<std::string>& args, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    line = line.substr(first);
    args.push_back(line.rfind("--", 0) == 0 ? line : "--" + line);
  }
  return true;
}

bool ParseOptions(const std::vector<std::string>& input, SimConfig& config, std::string& error,
                  std::string* controlFile, uint32_t* seconds) {
  std::vector<std::string> args;
  for (const std::string& a : input) {
    if (a.rfind("--config=", 0) == 0) {
      if (!ReadOptionsFile(a.substr(9), args, error)) return false;
    } else {
      args.push_back(a);
    }
  }
  uint32_t count = 1;
  std::vector<std::pair<std::string, std::string>> global;
  std::vector<std::tuple<uint32_t, std::string, std::string>> single;
  for (const std::string& a : args) {
    if (a.rfind("--", 0) != 0) {
      error = "unexpected argument " + a;
      return false;
    }
    size_t eq = a.find('=');
    std::string key = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
    std::string value = eq == std::string::npos ? std::string() : a.substr(eq + 1);
    uint32_t n = 0;
    if (key == "sensors") {
      if (!Number(value, count) || count > 64) {
        error = "bad sensor count " + value;
        return false;
      }
    } else if (key == "machine") {
      config.machine = value;
    } else if (key == "no-main") {
      config.serveMain = false;
    } else if (key == "describe-status") {
      if (!Number(value, config.describeStatus)) return error = "bad " + a, false;
    } else if (key == "count") {
      if (!Number(value, config.reportedCount)) return error = "bad " + a, false;
    } else if (key == "dump") {
      if (value.empty()) return error = "bad " + a, false;
      config.dumpDir = value;
    } else if (key == "log") {
      config.log = true;
    } else if (key == "control" && controlFile) {
      *controlFile = value;
    } else if (key == "seconds" && seconds) {
      if (!Number(value, *seconds)) return error = "bad " + a, false;
    } else if (key.rfind("sensor", 0) == 0 && key.size() > 6 && key.find('-') != std::string::npos) {
      size_t dash = key.find('-');
      if (!Number(key.substr(6, dash - 6), n)) return error = "bad sensor number in " + a, false;
      single.emplace_back(n, key.substr(dash + 1), value);
    } else {
      global.emplace_back(key, value);
    }
  }
  config.sensors.assign(count, SensorConfig{});
  for (uint32_t i = 0; i < count; ++i) {
    config.sensors[i].serialHigh = 0x00AB;
    config.sensors[i].serialLow = static_cast<uint16_t>(0x1000 + i);
  }
  bool known = false;
  for (auto& [key, value] : global) {
    for (auto& s : config.sensors) {
      if (!ApplySensorKey(s, key, value, known)) {
        error = known ? "bad value for " + key + ": " + value : "unknown option --" + key;
        return false;
      }
    }
  }
  for (auto& [i, key, value] : single) {
    if (i >= count) return error = "no sensor " + std::to_string(i), false;
    if (!ApplySensorKey(config.sensors[i], key, value, known)) {
      error = known ? "bad value for " + key + ": " + value : "unknown option " + key;
      return false;
    }
  }
  return true;
}

}  // namespace tavosim
