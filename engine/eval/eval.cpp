// Evaluation of the engine: accuracy against synthetic ground truth, stability
// on real pictures moved and turned a little, and time per picture.
//
//   omextract_eval [--count N] [--real DIR] [--draw DIR] [--runs N]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "bmp.h"
#include "config.h"
#include "draw.h"
#include "extractor.h"
#include "fpsynth/fpsynth.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMaxDist = 12, kMaxAngle = 30 * kPi / 180;

double AngleGap(double a, double b) {
  double d = std::fmod(std::fabs(a - b), 2 * kPi);
  return d > kPi ? 2 * kPi - d : d;
}

struct Pt {
  double x, y, angle;
  int type;
};

// Greedy pairing, closest pairs first.
int Pair(const std::vector<Pt>& a, const std::vector<Pt>& b, int* sameType = nullptr) {
  struct Cand { double d; size_t i, j; };
  std::vector<Cand> c;
  for (size_t i = 0; i < a.size(); ++i)
    for (size_t j = 0; j < b.size(); ++j) {
      double d = std::hypot(a[i].x - b[j].x, a[i].y - b[j].y);
      if (d <= kMaxDist && AngleGap(a[i].angle, b[j].angle) <= kMaxAngle) c.push_back({d, i, j});
    }
  std::sort(c.begin(), c.end(), [](const Cand& p, const Cand& q) { return p.d < q.d; });
  std::vector<bool> ua(a.size()), ub(b.size());
  int n = 0, same = 0;
  for (const auto& p : c) {
    if (ua[p.i] || ub[p.j]) continue;
    ua[p.i] = ub[p.j] = true;
    ++n;
    same += a[p.i].type == b[p.j].type;
  }
  if (sameType) *sameType = same;
  return n;
}

std::vector<int> MaskDistance(const std::vector<uint8_t>& mask, int w, int h) {
  std::vector<int> d(mask.size(), 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      size_t i = static_cast<size_t>(y) * w + x;
      if (!mask[i]) continue;
      int v = std::min({x, y, w - 1 - x, h - 1 - y}) + 1;
      if (y > 0) v = std::min(v, d[i - w] + 1);
      if (x > 0) v = std::min(v, d[i - 1] + 1);
      d[i] = v;
    }
  for (int y = h - 1; y >= 0; --y)
    for (int x = w - 1; x >= 0; --x) {
      size_t i = static_cast<size_t>(y) * w + x;
      if (y < h - 1) d[i] = std::min(d[i], d[i + w] + 1);
      if (x < w - 1) d[i] = std::min(d[i], d[i + 1] + 1);
    }
  return d;
}

struct Tally {
  long truth = 0, found = 0, paired = 0, sameType = 0, images = 0;
  long cores = 0, coresFound = 0, deltas = 0, deltasFound = 0;
  void Print(const char* name) const {
    double p = found ? static_cast<double>(paired) / found : 0, r = truth ? static_cast<double>(paired) / truth : 0;
    std::printf("| %s | %ld | %ld | %ld | %ld | %.3f | %.3f | %.3f | %.2f | %.2f |\n", name, images, truth, found, paired, p, r,
                paired ? static_cast<double>(sameType) / paired : 0, cores ? static_cast<double>(coresFound) / cores : 0,
                deltas ? static_cast<double>(deltasFound) / deltas : 0);
  }
};

void Synthetic(int count, const std::string& drawDir) {
  const double levels[4] = {0.95, 0.8, 0.6, 0.35};
  const char* names[4] = {"quality 0.95", "quality 0.80", "quality 0.60", "quality 0.35"};
  Tally t[4];
  auto cfg = omx::DefaultConfig();
  for (int s = 0; s < count; ++s) {
    int lv = s % 4;
    fpsynth::Params p;
    p.width = 388;
    p.height = 374;
    p.quality = levels[lv];
    auto fp = fpsynth::Generate(p, static_cast<uint32_t>(1000 + s));
    omx::Features f;
    omx::Extract(fp.pixels.data(), static_cast<uint32_t>(fp.width), static_cast<uint32_t>(fp.height), 500, cfg, false, nullptr, f);
    // Compare only where the truth is defined: well inside the finger area.
    auto dist = MaskDistance(fp.mask, fp.width, fp.height);
    const int border = static_cast<int>(std::lround(p.ridgePeriod * 1.5));
    std::vector<Pt> truth, found;
    for (const auto& m : fp.minutiae) truth.push_back({double(m.x), double(m.y), m.angle, int(m.type)});
    for (const auto& m : f.minutiae)
      if (dist[static_cast<size_t>(m.y) * fp.width + m.x] > border) found.push_back({double(m.x), double(m.y), m.angle, m.type});
    int same = 0;
    int paired = Pair(truth, found, &same);
    Tally& k = t[lv];
    ++k.images;
    k.truth += static_cast<long>(truth.size());
    k.found += static_cast<long>(found.size());
    k.paired += paired;
    k.sameType += same;
    for (const auto& c : fp.cores) {
      ++k.cores;
      for (const auto& d : f.cores)
        if (std::hypot(c.x - d.x, c.y - d.y) <= 24) { ++k.coresFound; break; }
    }
    for (const auto& c : fp.deltas) {
      ++k.deltas;
      for (const auto& d : f.deltas)
        if (std::hypot(c.x - d.x, c.y - d.y) <= 24) { ++k.deltasFound; break; }
    }
    if (!drawDir.empty() && s < 8) {
      omx::bmp::Grey g{fp.width, fp.height, fp.pixels};
      auto pic = omx::draw::FromGrey(g);
      for (const auto& m : fp.minutiae) omx::draw::Mark(pic, m.x, m.y, m.angle, 0, 200, 0);
      omx::draw::Features(pic, f);
      omx::bmp::Save(drawDir + "/synthetic" + std::to_string(s) + ".bmp", omx::bmp::EncodeRgb(pic));
    }
  }
  std::printf("\n### Synthetic prints (388x374, paired within %.0f px and %.0f degrees)\n\n", kMaxDist, kMaxAngle * 180 / kPi);
  std::printf("| set | prints | truth | found | paired | precision | recall | same type | cores found | deltas found |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  Tally good, all;
  for (int i = 0; i < 4; ++i) {
    t[i].Print(names[i]);
    for (Tally* sum : {&all, i < 2 ? &good : nullptr}) {
      if (!sum) continue;
      sum->images += t[i].images; sum->truth += t[i].truth; sum->found += t[i].found; sum->paired += t[i].paired;
      sum->sameType += t[i].sameType; sum->cores += t[i].cores; sum->coresFound += t[i].coresFound;
      sum->deltas += t[i].deltas; sum->deltasFound += t[i].deltasFound;
    }
  }
  good.Print("good (0.95, 0.80)");
  all.Print("all");
}

// Moves the picture by (dx, dy) and turns it by angle about its centre; white where nothing maps.
omx::bmp::Grey Transform(const omx::bmp::Grey& g, double dx, double dy, double angle) {
  omx::bmp::Grey o{g.width, g.height, std::vector<uint8_t>(g.pixels.size(), 255)};
  double cx = g.width / 2.0, cy = g.height / 2.0, c = std::cos(angle), s = std::sin(angle);
  for (int y = 0; y < g.height; ++y)
    for (int x = 0; x < g.width; ++x) {
      // Inverse map: seen rotation by angle is (x, -y) rotation, i.e. picture rows turn by -angle.
      double u = x - cx - dx, v = y - cy - dy;
      double sx = c * u - s * v + cx, sy = s * u + c * v + cy;
      int x0 = static_cast<int>(std::floor(sx)), y0 = static_cast<int>(std::floor(sy));
      if (x0 < 0 || y0 < 0 || x0 + 1 >= g.width || y0 + 1 >= g.height) continue;
      double ax = sx - x0, ay = sy - y0;
      auto at = [&](int xx, int yy) { return g.pixels[static_cast<size_t>(yy) * g.width + xx]; };
      double val = (1 - ay) * ((1 - ax) * at(x0, y0) + ax * at(x0 + 1, y0)) + ay * ((1 - ax) * at(x0, y0 + 1) + ax * at(x0 + 1, y0 + 1));
      o.pixels[static_cast<size_t>(y) * g.width + x] = static_cast<uint8_t>(std::lround(val));
    }
  return o;
}

void Real(const std::string& dir, const std::string& drawDir) {
  const char* files[4] = {"probe.bmp", "matching.bmp", "nonmatching.bmp", "large.bmp"};
  struct Move { double dx, dy, deg; };
  const Move moves[4] = {{6, -4, 3}, {-5, 7, -3}, {0, 0, 5}, {10, 5, -5}};
  auto cfg = omx::DefaultConfig();
  std::printf("\n### Real pictures moved and turned (paired within %.0f px and %.0f degrees)\n\n", kMaxDist, kMaxAngle * 180 / kPi);
  std::printf("| picture | move | minutiae before | after | comparable | paired | pairing |\n|---|---|---|---|---|---|---|\n");
  long totComparable = 0, totPaired = 0;
  for (const char* name : files) {
    omx::bmp::Grey g;
    std::string why;
    if (!omx::bmp::Load(dir + "/" + name, g, why)) {
      std::printf("| %s | %s | | | | | |\n", name, why.c_str());
      continue;
    }
    omx::Features base;
    omx::Extract(g.pixels.data(), g.width, g.height, 500, cfg, false, nullptr, base);
    if (!drawDir.empty()) {
      auto pic = omx::draw::FromGrey(g);
      omx::draw::Features(pic, base);
      omx::bmp::Save(drawDir + "/" + name, omx::bmp::EncodeRgb(pic));
    }
    for (const auto& mv : moves) {
      double a = mv.deg * kPi / 180;
      auto moved = Transform(g, mv.dx, mv.dy, a);
      omx::Features f;
      omx::Extract(moved.pixels.data(), moved.width, moved.height, 500, cfg, false, nullptr, f);
      // Where each original minutia lands in the moved picture.
      std::vector<Pt> expect, got;
      double cx = g.width / 2.0, cy = g.height / 2.0, c = std::cos(a), s = std::sin(a);
      const int margin = 24;
      for (const auto& m : base.minutiae) {
        double u = m.x - cx, v = m.y - cy;
        double x = c * u + s * v + cx + mv.dx, y = -s * u + c * v + cy + mv.dy;
        if (x < margin || y < margin || x >= g.width - margin || y >= g.height - margin) continue;
        expect.push_back({x, y, m.angle + a, m.type});
      }
      for (const auto& m : f.minutiae) got.push_back({double(m.x), double(m.y), m.angle, m.type});
      int paired = Pair(expect, got);
      size_t comparable = std::min(expect.size(), got.size());
      totComparable += static_cast<long>(comparable);
      totPaired += paired;
      std::printf("| %s | %+.0f,%+.0f px %+.0f deg | %zu | %zu | %zu | %d | %.3f |\n", name, mv.dx, mv.dy, mv.deg,
                  base.minutiae.size(), f.minutiae.size(), comparable, paired, comparable ? double(paired) / comparable : 0);
    }
  }
  std::printf("| all | | | | %ld | %ld | %.3f |\n", totComparable, totPaired, totComparable ? double(totPaired) / totComparable : 0);
}

void Timing(const std::string& dir, int runs) {
  auto cfg = omx::DefaultConfig();
  std::printf("\n### Time per picture (one core, mean of %d runs)\n\n| picture | size | CPU ms | wall ms |\n|---|---|---|---|\n", runs);
  auto time = [&](const char* name, const omx::bmp::Grey& g) {
    omx::Features f;
    omx::Extract(g.pixels.data(), g.width, g.height, 500, cfg, false, nullptr, f);  // warm-up
    auto t0 = std::chrono::steady_clock::now();
    std::clock_t c0 = std::clock();
    for (int i = 0; i < runs; ++i) omx::Extract(g.pixels.data(), g.width, g.height, 500, cfg, false, nullptr, f);
    double cpu = 1000.0 * static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC / runs;
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / runs;
    std::printf("| %s | %dx%d | %.2f | %.2f |\n", name, g.width, g.height, cpu, ms);
  };
  for (const char* name : {"probe.bmp", "large.bmp"}) {
    omx::bmp::Grey g;
    std::string why;
    if (omx::bmp::Load(dir + "/" + name, g, why)) time(name, g);
  }
  fpsynth::Params p;
  p.width = 388;
  p.height = 374;
  auto fp = fpsynth::Generate(p, 5);
  time("synthetic", omx::bmp::Grey{fp.width, fp.height, fp.pixels});
  p.width = 832;
  p.height = 768;
  p.fast = true;
  fp = fpsynth::Generate(p, 5);
  time("synthetic", omx::bmp::Grey{fp.width, fp.height, fp.pixels});
}

}  // namespace

int main(int argc, char** argv) {
  int count = 200, runs = 20;
  std::string real = "/work/shared/fingerprints", drawDir;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--count") count = std::atoi(argv[i + 1]);
    else if (a == "--real") real = argv[i + 1];
    else if (a == "--draw") drawDir = argv[i + 1];
    else if (a == "--runs") runs = std::atoi(argv[i + 1]);
  }
  if (count > 0) Synthetic(count, drawDir);
  if (!real.empty()) Real(real, drawDir);
  if (runs > 0) Timing(real, runs);
  return 0;
}
