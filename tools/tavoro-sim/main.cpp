// tavoro-sim: serves a simulated Tavoro device service and its sensors until
// the time is up, the control file says "quit", or the process is ended.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TavoroSim.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(tavosim::Usage(), stdout);
      return 0;
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
  if (config.log) std::printf("tavoro-sim: serving %zu sensor(s)\n", config.sensors.size());
  std::fflush(stdout);
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (seconds && std::chrono::steady_clock::now() - start >= std::chrono::seconds(seconds)) break;
    if (control.empty()) continue;
    std::ifstream in(control);
    std::string word;
    if (!(in >> word)) continue;
    if (word == "quit") break;
    if (word == "stop" && sim.Serving()) sim.SetServing(false);
    if (word == "serve" && !sim.Serving()) sim.SetServing(true);
    std::fflush(stdout);
  }
  sim.Stop();
  return 0;
}
