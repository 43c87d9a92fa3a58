// CPU time of one extraction on the calling thread, for the benchmark script:
// the real pictures of a folder (388 x 374 and 832 x 768), or synthetic prints
// of the same sizes when the folder is missing, and a 2048 x 2048 noise
// picture. One line per picture: name, size, CPU ms per extraction (median of
// --runs after one warm-up), minutiae. The median, not the mean: on a shared
// virtual machine a burst of the host's other work inflates a few extractions'
// CPU time by half or more, and one such burst would move a mean of ten.
//
//   omextract_time [--real DIR] [--runs N] [--only NAME]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bmp.h"
#include "config.h"
#include "extractor.h"
#include "fpsynth/fpsynth.h"

namespace {

double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

void Time(const std::string& name, const omx::bmp::Grey& g, int runs) {
  const auto cfg = omx::DefaultConfig();
  omx::Features f;
  omx::Extract(g.pixels.data(), g.width, g.height, 500, cfg, false, nullptr, f);  // warm-up
  std::vector<double> each(static_cast<size_t>(runs));
  for (double& ms : each) {
    const double t0 = CpuMs();
    omx::Extract(g.pixels.data(), g.width, g.height, 500, cfg, false, nullptr, f);
    ms = CpuMs() - t0;
  }
  std::nth_element(each.begin(), each.begin() + runs / 2, each.end());
  const double ms = each[static_cast<size_t>(runs / 2)];
  std::printf("%s %dx%d cpu_ms %.3f minutiae %zu\n", name.c_str(), g.width, g.height, ms, f.minutiae.size());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string real = "../shared/fingerprints", only;
  int runs = 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--real") real = argv[i + 1];
    else if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    else if (a == "--only") only = argv[i + 1];
  }
  auto wanted = [&](const std::string& n) { return only.empty() || only == n; };
  struct Pic { const char* file; int w, h; };
  for (const Pic& p : {Pic{"probe.bmp", 388, 374}, Pic{"large.bmp", 832, 768}}) {
    if (!wanted(p.file)) continue;
    omx::bmp::Grey g;
    std::string why;
    if (omx::bmp::Load(real + "/" + p.file, g, why)) {
      Time(p.file, g, runs);
      continue;
    }
    std::fprintf(stderr, "%s/%s: %s; a synthetic print instead\n", real.c_str(), p.file, why.c_str());
    fpsynth::Params sp;
    sp.width = p.w;
    sp.height = p.h;
    sp.fast = true;
    auto fp = fpsynth::Generate(sp, 5);
    Time(std::string("synthetic-") + p.file, omx::bmp::Grey{fp.width, fp.height, fp.pixels}, runs);
  }
  if (wanted("noise2048")) {
    omx::bmp::Grey g{2048, 2048, std::vector<uint8_t>(2048u * 2048u)};
    uint32_t seed = 3;
    for (auto& p : g.pixels) {
      seed = seed * 1664525u + 1013904223u;
      p = static_cast<uint8_t>(seed >> 24);
    }
    Time("noise2048", g, 1);
  }
  return 0;
}
