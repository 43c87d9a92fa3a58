#include <cstdlib>
#include <fstream>
#include <iterator>

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
  if (key == "fast") {
    s.realistic = !(value.empty() || value == "1" || value == "yes");
    return value.empty() || value == "1" || value == "yes" || value == "0" || value == "no";
  }
  if (key == "fingers") return Number(value, s.touches.fingers);
  if (key == "touches") return Number(value, s.touches.touches);
  if (key == "rate") return Number(value, s.touches.rate);
  if (key == "touch") return Number(value, s.touches.touchMs);
  if (key == "lift") return Number(value, s.touches.liftMs);
  if (key == "poor-every") return Number(value, s.touches.poorEvery);
  if (key == "seed") {
    uint32_t seed = 0;
    if (!Number(value, seed)) return false;
    s.touches.seed = seed;
    return true;
  }
  known = false;
  return false;
}

// Settings of one kind of sensor given to the other kind: refused rather
// than ignored.
const char* const kFastOnly[] = {"finger-after", "status-script"};
const char* const kRealisticOnly[] = {"fingers", "touches", "rate", "touch", "lift", "seed", "poor-every"};

bool Among(const std::string& key, const char* const* list, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (key == list[i]) return true;
  return false;
}

}  // namespace

bool ParseCommand(const std::string& text, SimCommand& command, std::string& error) {
  command = SimCommand{};
  std::vector<std::string> words;
  std::string word;
  for (char ch : text + " ") {
    if (ch == ' ' || ch == ',' || ch == '\t' || ch == '\r' || ch == '\n') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += ch;
    }
  }
  if (words.empty()) return error = "empty command", false;
  if (words.back() == "renumber") {
    command.renumber = true;
    words.pop_back();
  }
  command.verb = words[0];
  // Least and most numbers each command takes.
  static const struct {
    const char* verb;
    size_t least, most;
    bool renumber;
  } kCommands[] = {
      {"stop", 0, 0, false},   {"serve", 0, 0, false},       {"restart", 1, 1, true},
      {"unplug", 1, 2, true},  {"plug", 1, 1, true},         {"late", 2, 3, false},
      {"cut", 1, 2, false},    {"overlong", 2, 3, false},    {"short-image", 2, 2, false},
      {"garbage", 2, 3, false}, {"busy", 2, 2, false},      {"poor", 1, 2, false},
  };
  for (const auto& k : kCommands) {
    if (command.verb != k.verb) continue;
    if (command.renumber && !k.renumber) return error = "'renumber' does not go with " + command.verb, false;
    if (words.size() - 1 < k.least || words.size() - 1 > k.most) {
      return error = "wrong number of arguments for " + command.verb, false;
    }
    for (size_t i = 1; i < words.size(); ++i) {
      uint32_t n = 0;
      if (!Number(words[i], n)) return error = "bad number " + words[i] + " in " + text, false;
      command.args.push_back(n);
    }
    return true;
  }
  return error = "unknown command " + command.verb, false;
}

const char* Usage() {
  return "tavoro-sim [options]\n"
         " The sensors are realistic: fingers touch them one after the other, each several\n"
         " times; while a finger rests, images come at the sensor's rate; between touches\n"
         " the finger is lifted and no image comes. --fast gives the fast sensor instead:\n"
         " three pictures in turn, as fast as the client asks (for tests).\n"
         "  --sensors=N              number of simulated sensors (default 1)\n"
         "  --machine=NAME           serve \\\\NAME\\PIPE\\... (default .)\n"
         "  --no-main                do not serve the service's main pipe\n"
         "  --describe-status=S      status word of every describe reply\n"
         "  --count=N                device count the main pipe reports\n"
         "  --config=FILE            more options from FILE, one per line\n"
         "  --control=FILE           run the commands written to FILE, one a line (see below)\n"
         "  --at=MS:COMMAND          run COMMAND MS ms after the start (repeatable)\n"
         "  --instances=N            clients each pipe serves at once (default 4; 1: one,\n"
         "                           and a client that comes meanwhile waits or is told busy)\n"
         "  --seconds=N              end after N seconds (default: run until quit)\n"
         "  --until-stdin-closes     end when standard input closes (the program that started it ended)\n"
         "  --log                    print every request (and every image a realistic sensor serves)\n"
         "  --dump=DIR               write each distinct image served to DIR/sensor<I>-<N>.raw (--fast)\n"
         " sensor settings, for all sensors (--KEY=V) or one (--sensorI-KEY=V, I from 0):\n"
         "  model=HHHH:HHHH  serial=HHHHHHHH  size=WxH  acceptance=V  type=T  pipe=NAME\n"
         "  usb=PATH (serve the stand-in USB pipes below PATH, e.g. \\\\?\\tavo#sim#0)\n"
         "  error=OPCODE:CODE  delay=MS  drop-every=N  truncate-every=N  disconnect-after=N  silent\n"
         " realistic sensor (the default):\n"
         "  fingers=N (3)  touches=N (4, of one finger before the next)  rate=N (10 images a second)\n"
         "  touch=MS (800, a finger resting)  lift=MS (700, lifted between touches)  seed=N (1)\n"
         "  poor-every=N (every Nth touch is poor: light and partial; 0 none)\n"
         " fast sensor:\n"
         "  fast  finger-after=N (2)  status-script=S,S,...\n"
         " commands (control file lines, --at; words separated by spaces or commas;\n"
         " I is a sensor number from 0; OPCODE limits a fault to the reply to that request):\n"
         "  stop | serve | quit       the service goes away (pipes vanish) | comes back | the program ends\n"
         "  restart MS [renumber]     the service goes away and comes back after MS ms; with renumber\n"
         "                            it lists the sensors in reverse order under new pipe names and ids\n"
         "  unplug I [MS] [renumber]  sensor I is unplugged (pipes vanish, not listed), plugged back\n"
         "                            after MS ms (0 or none: on 'plug'); with renumber listed last\n"
         "                            under a new pipe name and id; plugged back, it is not armed\n"
         "  plug I [renumber]         sensor I is plugged back\n"
         "  late I MS [OPCODE]        the next reply is sent MS ms late\n"
         "  cut I [OPCODE]            the next reply is cut to half its bytes and the connection closed\n"
         "  overlong I N [OPCODE]     the next reply announces N bytes more than it sends\n"
         "  short-image I PIXELS      the next composite image carries PIXELS pixels only\n"
         "  garbage I N [OPCODE]      N pseudo-random bytes instead of the next reply (header included)\n"
         "  busy I MS                 every instance of sensor I's pipe is held by another client for\n"
         "                            MS ms: new clients are told busy\n"
         "  poor I [N]                the next N (default 1) touches of sensor I are poor: light and\n"
         "                            partial (realistic sensor)\n"
         " The control file is read every 100 ms; lines added to it are run once each (a file\n"
         " rewritten from the start is run again from its first line).\n";
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
    } else if (key == "instances") {
      if (!Number(value, config.instances) || config.instances == 0 || config.instances > 64) {
        return error = "bad " + a, false;
      }
    } else if (key == "at") {
      size_t colon = value.find(':');
      uint32_t ms = 0;
      SimCommand command;
      if (colon == std::string::npos || !Number(value.substr(0, colon), ms)) return error = "bad " + a, false;
      if (!ParseCommand(value.substr(colon + 1), command, error)) return false;
      config.at.emplace_back(ms, value.substr(colon + 1));
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
    config.sensors[i].realistic = true;
  }
  bool known = false;
  // Per sensor: each setting given, as written and by its key.
  std::vector<std::vector<std::pair<std::string, std::string>>> given(count);
  for (auto& [key, value] : global) {
    for (uint32_t i = 0; i < count; ++i) {
      if (!ApplySensorKey(config.sensors[i], key, value, known)) {
        error = known ? "bad value for " + key + ": " + value : "unknown option --" + key;
        return false;
      }
      given[i].emplace_back("--" + key, key);
    }
  }
  for (auto& [i, key, value] : single) {
    if (i >= count) return error = "no sensor " + std::to_string(i), false;
    if (!ApplySensorKey(config.sensors[i], key, value, known)) {
      error = known ? "bad value for " + key + ": " + value : "unknown option " + key;
      return false;
    }
    given[i].emplace_back("--sensor" + std::to_string(i) + "-" + key, key);
  }
  for (uint32_t i = 0; i < count; ++i) {
    const SensorConfig& s = config.sensors[i];
    for (const auto& [option, key] : given[i]) {
      if (s.realistic && Among(key, kFastOnly, std::size(kFastOnly)))
        return error = option + " sets the fast sensor's status sequence: give --fast too", false;
      if (!s.realistic && Among(key, kRealisticOnly, std::size(kRealisticOnly)))
        return error = option + " sets the realistic sensor's touches: leave out --fast", false;
    }
    if (s.realistic) {
      std::string why = s.touches.Check();
      if (!why.empty()) return error = why, false;
    }
  }
  if (!config.dumpDir.empty()) {
    for (const SensorConfig& s : config.sensors)
      if (s.realistic) return error = "--dump writes the fast sensor's few pictures: give --fast too", false;
  }
  return true;
}

}  // namespace tavosim
