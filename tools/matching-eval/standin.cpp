// A small stand-in set of impressions for developing the matcher:
// <finger:04d>_<impression:02d>.bmp, several impressions of each synthetic
// finger, each one turned, moved, elastically distorted, cut to a window and
// rendered with its own pressure, blur and noise.
//
//   match_standin <folder> [--fingers N] [--impressions M] [--seed S]
//
// The prints come from tools/fpsynth, so this set is not independent of the
// engine's own methods; it only serves until a set with placed minutiae exists.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bmp.h"
#include "fpsynth/fpsynth.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kOutW = 388, kOutH = 374, kMasterW = 480, kMasterH = 500;

struct Wave {
  double kx, ky, ph;
};

void Impression(const fpsynth::Fingerprint& fp, uint32_t seed, const std::string& path) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  const double rot = (u(rng) - 0.5) * 2 * 25 * kPi / 180;
  const double tx = (u(rng) - 0.5) * 2 * 35, ty = (u(rng) - 0.5) * 2 * 35;
  const double amp = 2 + 5 * u(rng);  // elastic displacement, pixels
  Wave wx[3], wy[3];
  for (int k = 0; k < 3; ++k) {
    const double len = 250 + 250 * u(rng), dir = 2 * kPi * u(rng);
    wx[k] = {2 * kPi / len * std::cos(dir), 2 * kPi / len * std::sin(dir), 2 * kPi * u(rng)};
    const double len2 = 250 + 250 * u(rng), dir2 = 2 * kPi * u(rng);
    wy[k] = {2 * kPi / len2 * std::cos(dir2), 2 * kPi / len2 * std::sin(dir2), 2 * kPi * u(rng)};
  }
  const double quality = 0.35 + 0.65 * u(rng);
  const double noise = 4 + 22 * (1 - quality), contrast = 120 + 100 * quality, bg = 215 + 30 * u(rng);
  const double pressure = (u(rng) - 0.5) * 0.5 * (1.2 - quality);
  // Ink of the master: its binary ridges, lightly smoothed.
  const int mw = fp.width, mh = fp.height;
  std::vector<float> ink(static_cast<size_t>(mw) * mh, 0);
  for (int y = 1; y + 1 < mh; ++y)
    for (int x = 1; x + 1 < mw; ++x) {
      float s = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) s += fp.pixels[static_cast<size_t>(y + dy) * mw + x + dx] == 0 ? 1.f : 0.f;
      ink[static_cast<size_t>(y) * mw + x] = s / 9;
    }
  omx::bmp::Grey out{kOutW, kOutH, std::vector<uint8_t>(static_cast<size_t>(kOutW) * kOutH, 255)};
  std::normal_distribution<double> gauss(0, noise);
  const double c = std::cos(rot), s = std::sin(rot);
  for (int y = 0; y < kOutH; ++y)
    for (int x = 0; x < kOutW; ++x) {
      // Output pixel back to the master: undo move and turn, then the distortion.
      double u0 = x - kOutW / 2.0 - tx, v0 = y - kOutH / 2.0 - ty;
      double mx = c * u0 - s * v0 + mw / 2.0, my = s * u0 + c * v0 + mh / 2.0;
      double ddx = 0, ddy = 0;
      for (int k = 0; k < 3; ++k) {
        ddx += std::cos(wx[k].kx * mx + wx[k].ky * my + wx[k].ph);
        ddy += std::cos(wy[k].kx * mx + wy[k].ky * my + wy[k].ph);
      }
      mx += amp * ddx / 3;
      my += amp * ddy / 3;
      const int x0 = static_cast<int>(std::floor(mx)), y0 = static_cast<int>(std::floor(my));
      double v = 0;
      if (x0 >= 0 && y0 >= 0 && x0 + 1 < mw && y0 + 1 < mh) {
        const double ax = mx - x0, ay = my - y0;
        auto at = [&](int xx, int yy) { return ink[static_cast<size_t>(yy) * mw + xx]; };
        v = (1 - ay) * ((1 - ax) * at(x0, y0) + ax * at(x0 + 1, y0)) + ay * ((1 - ax) * at(x0, y0 + 1) + ax * at(x0 + 1, y0 + 1));
        v = std::clamp(v + pressure, 0.0, 1.0);
      }
      const double g = bg - contrast * v + gauss(rng);
      out.pixels[static_cast<size_t>(y) * kOutW + x] = static_cast<uint8_t>(std::clamp(std::lround(g), 0l, 255l));
    }
  if (!omx::bmp::Save(path, omx::bmp::EncodeGrey(out))) {
    std::fprintf(stderr, "match_standin: cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder;
  int fingers = 40, impressions = 6;
  uint32_t seed = 7;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--fingers" && i + 1 < argc) fingers = std::atoi(argv[++i]);
    else if (a == "--impressions" && i + 1 < argc) impressions = std::atoi(argv[++i]);
    else if (a == "--seed" && i + 1 < argc) seed = static_cast<uint32_t>(std::atoi(argv[++i]));
    else if (folder.empty() && a[0] != '-') folder = a;
    else {
      std::fprintf(stderr, "usage: match_standin <folder> [--fingers N] [--impressions M] [--seed S]\n");
      return 2;
    }
  }
  if (folder.empty() || fingers < 1 || impressions < 1 || impressions > 99 || fingers > 9999) {
    std::fprintf(stderr, "usage: match_standin <folder> [--fingers N] [--impressions M] [--seed S]\n");
    return 2;
  }
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      for (int f = static_cast<int>(t); f < fingers; f += static_cast<int>(threads)) {
        fpsynth::Params p;
        p.width = kMasterW;
        p.height = kMasterH;
        p.render = false;
        const auto fp = fpsynth::Generate(p, seed * 100003u + static_cast<uint32_t>(f));
        for (int i = 0; i < impressions; ++i) {
          char name[32];
          std::snprintf(name, sizeof name, "/%04d_%02d.bmp", f, i);
          Impression(fp, seed * 7919u + static_cast<uint32_t>(f * 131 + i), folder + name);
        }
        std::printf("finger %d done\n", f);
        std::fflush(stdout);
      }
    });
  for (auto& t : pool) t.join();
  return 0;
}
