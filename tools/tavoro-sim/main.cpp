// tavoro-sim: serves a simulated Tavoro device service and its sensors until
// the time is up, the control file says "quit", or the process is ended.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TavoroSim.h"
#include "platform/pipes.h"

namespace {

// The lines of the control file not run yet. Lines added since the last look
// are new; a file that no longer starts with what was run was rewritten, and
// all of its lines are new.
std::vector<std::string> NewCommands(const std::string& path, std::string& seen) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Only whole lines: a writer may be half-way through the last one.
  size_t end = text.rfind('\n');
  text = end == std::string::npos ? std::string() : text.substr(0, end + 1);
  std::string fresh;
  if (text.compare(0, seen.size(), seen) == 0) {
    fresh = text.substr(seen.size());
  } else {
    fresh = text;
  }
  seen = text;
  std::vector<std::string> lines;
  std::istringstream s(fresh);
  std::string line;
  while (std::getline(s, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(tavosim::Usage(), stdout);
      return 0;
    }
  }
  // --until-stdin-closes: a test that starts the simulator keeps its standard
  // input open; when that program ends, however it ends (a harness's time-out
  // kills it), the input closes and the simulator goes too, rather than holding
  // the pipes against the next run.
  bool untilStdinCloses = false;
  for (auto it = args.begin(); it != args.end();) {
    if (*it == "--until-stdin-closes") {
      untilStdinCloses = true;
      it = args.erase(it);
    } else {
      ++it;
    }
  }
  tavosim::SimConfig config;
  std::string error, control;
  uint32_t seconds = 0;
  if (!tavosim::ParseOptions(args, config, error, &control, &seconds)) {
    std::fprintf(stderr, "tavoro-sim: %s\n%s", error.c_str(), tavosim::Usage());
    return 2;
  }
  tavosim::Simulator sim(config);
  if (!sim.Start()) {
    std::fprintf(stderr, "tavoro-sim: cannot create the pipes (another service running?)\n");
    return 1;
  }
  // Always printed: whoever started the program learns from it that the pipes
  // exist, and where the library finds them.
  std::printf("tavoro-sim: serving %zu sensor(s)\n", config.sensors.size());
  std::string mainPath = plat::PipeNameToPath(sim.MainPipe());
  std::printf("tavoro-sim: main pipe %s%s\n", sim.MainPipe().c_str(),
              mainPath == sim.MainPipe() ? "" : (" (" + mainPath + ")").c_str());
  for (size_t i = 0; i < config.sensors.size(); ++i) {
    const tavosim::SensorConfig& s = config.sensors[i];
    std::string kind = "fast";
    if (s.realistic) {
      char text[160];
      const tavosim::TouchPlan& t = s.touches;
      std::snprintf(text, sizeof text, "%u finger%s, %u touch%s each, %u image%s a second, %u ms on, %u ms lifted",
                    t.fingers, t.fingers == 1 ? "" : "s", t.touches, t.touches == 1 ? "" : "es", t.rate,
                    t.rate == 1 ? "" : "s", t.touchMs, t.liftMs);
      kind = text;
    }
    std::printf("tavoro-sim: sensor %zu: reader %s (%ux%u, %s)\n", i, sim.ReaderId(i).c_str(), s.width, s.height,
                kind.c_str());
  }
  std::fflush(stdout);
  static std::atomic<bool> inputClosed{false};
  if (untilStdinCloses) {
    std::thread([] {
      char c;
      while (std::cin.get(c)) {
      }
      inputClosed = true;
    }).detach();
  }
  auto start = std::chrono::steady_clock::now();
  std::string seen;
  bool quit = false;
  while (!quit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (inputClosed) {
      std::printf("tavoro-sim: standard input closed: ending\n");
      break;
    }
    if (seconds && std::chrono::steady_clock::now() - start >= std::chrono::seconds(seconds)) break;
    if (control.empty()) continue;
    for (const std::string& line : NewCommands(control, seen)) {
      if (line == "quit") {
        quit = true;
        break;
      }
      if (sim.Execute(line, error)) {
        std::printf("tavoro-sim: %s (faults so far: %llu)\n", line.c_str(),
                    static_cast<unsigned long long>(sim.FaultsInjected()));
      } else {
        std::printf("tavoro-sim: ignored '%s': %s\n", line.c_str(), error.c_str());
      }
    }
    std::fflush(stdout);
  }
  sim.Stop();
  return 0;
}
