// Evaluation of the engine: accuracy against a set of prints whose minutiae
// were placed (tools/fpplace, truth no detector computed), stability on real
// pictures moved and turned a little, and time per picture.
//
//   omextract_eval <set folder> [--real DIR] [--count N] [--margin PX] [--draw DIR] [--runs N]
//
// The set folder holds <finger>_<impression>.bmp with its .txt truth and
// area/<finger>_<impression>.bmp (the touched area); --real names a folder
// with probe.bmp, matching.bmp, nonmatching.bmp and large.bmp.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bmp.h"
#include "config.h"
#include "draw.h"
#include "extractor.h"
#include "fpplace/fpplace.h"
#include "transform.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMaxDist = 12, kMaxAngle = 30 * kPi / 180;
constexpr double kSingularZone = 30;

double AngleGap(double a, double b) {
  double d = std::fmod(std::fabs(a - b), 2 * kPi);
  return d > kPi ? 2 * kPi - d : d;
}

struct Pt {
  double x, y, angle;
  int type;
};

struct Match {
  size_t i, j;
  double dist, angle;
};

// Greedy pairing, closest pairs first.
std::vector<Match> Pairs(const std::vector<Pt>& a, const std::vector<Pt>& b) {
  std::vector<Match> c;
  for (size_t i = 0; i < a.size(); ++i)
    for (size_t j = 0; j < b.size(); ++j) {
      double d = std::hypot(a[i].x - b[j].x, a[i].y - b[j].y), g = AngleGap(a[i].angle, b[j].angle);
      if (d <= kMaxDist && g <= kMaxAngle) c.push_back({i, j, d, g});
    }
  std::sort(c.begin(), c.end(), [](const Match& p, const Match& q) { return p.dist < q.dist || (p.dist == q.dist && p.angle < q.angle); });
  std::vector<bool> ua(a.size()), ub(b.size());
  std::vector<Match> out;
  for (const auto& p : c) {
    if (ua[p.i] || ub[p.j]) continue;
    ua[p.i] = ub[p.j] = true;
    out.push_back(p);
  }
  return out;
}

int Pair(const std::vector<Pt>& a, const std::vector<Pt>& b) { return static_cast<int>(Pairs(a, b).size()); }

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

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

struct Tally {
  long truth = 0, found = 0, paired = 0, sameType = 0, images = 0;
  long cores = 0, coresFound = 0, deltas = 0, deltasFound = 0;
  std::vector<double> dist, angle;  // of the pairs: pixels, degrees
  double along = 0, across = 0;     // sums over the pairs: found minus truth, along the truth's direction and left of it
  void Add(const Tally& t) {
    images += t.images, truth += t.truth, found += t.found, paired += t.paired, sameType += t.sameType;
    cores += t.cores, coresFound += t.coresFound, deltas += t.deltas, deltasFound += t.deltasFound;
    along += t.along, across += t.across;
    dist.insert(dist.end(), t.dist.begin(), t.dist.end());
    angle.insert(angle.end(), t.angle.begin(), t.angle.end());
  }
  void Count(const std::vector<Pt>& truthIn, const std::vector<Pt>& foundIn) {
    ++images;
    truth += static_cast<long>(truthIn.size());
    found += static_cast<long>(foundIn.size());
    for (const auto& p : Pairs(truthIn, foundIn)) {
      const Pt &t = truthIn[p.i], &f = foundIn[p.j];
      ++paired;
      sameType += t.type == f.type;
      dist.push_back(p.dist);
      angle.push_back(p.angle * 180 / kPi);
      double dx = f.x - t.x, dy = -(f.y - t.y);  // seen: y up
      along += dx * std::cos(t.angle) + dy * std::sin(t.angle);
      across += -dx * std::sin(t.angle) + dy * std::cos(t.angle);
    }
  }
  void Print(const std::string& name) const {
    double p = found ? static_cast<double>(paired) / found : 0, r = truth ? static_cast<double>(paired) / truth : 0;
    double md = 0, ma = 0;
    for (double d : dist) md += d / static_cast<double>(dist.size());
    for (double g : angle) ma += g / static_cast<double>(angle.size());
    std::printf("| %s | %ld | %ld | %ld | %ld | %.3f | %.3f | %.2f / %.2f | %+.2f, %+.2f | %.1f / %.1f | %.3f | %s | %s |\n", name.c_str(),
                images, truth, found, paired, p, r, md, Median(dist), paired ? along / paired : 0, paired ? across / paired : 0, ma,
                Median(angle), paired ? static_cast<double>(sameType) / paired : 0,
                cores ? (std::to_string(coresFound) + "/" + std::to_string(cores)).c_str() : "-",
                deltas ? (std::to_string(deltasFound) + "/" + std::to_string(deltas)).c_str() : "-");
  }
};

std::string ReadText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// One impression of the set: its picture, truth and touched area.
struct Sample {
  std::string stem, quality;
  omx::bmp::Grey picture;
  std::vector<uint8_t> area;  // 1 touched; all 1 when the set has no area pictures
  std::vector<fpplace::Minutia> truth;
  std::vector<fpplace::Point> cores, deltas;
};

bool LoadSample(const std::filesystem::path& dir, const std::string& stem, Sample& s, std::string& why) {
  s.stem = stem;
  if (!omx::bmp::Load((dir / (stem + ".bmp")).string(), s.picture, why)) return false;
  std::string text = ReadText(dir / (stem + ".txt"));
  int w = 0, h = 0;
  if (!fpplace::ParseTruth(text, s.truth, w, h, why)) return false;
  if (w != s.picture.width || h != s.picture.height) return why = "truth size differs from the picture", false;
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    char word[32] = {};
    double x = 0, y = 0;
    if (std::sscanf(line.c_str(), "# size %*d %*d quality %31s", word) == 1) s.quality = word;
    if (std::sscanf(line.c_str(), "# core %lf %lf", &x, &y) == 2) s.cores.push_back({x, y});
    if (std::sscanf(line.c_str(), "# delta %lf %lf", &x, &y) == 2) s.deltas.push_back({x, y});
  }
  omx::bmp::Grey area;
  std::string ignored;
  if (omx::bmp::Load((dir / "area" / (stem + ".bmp")).string(), area, ignored) && area.width == w && area.height == h) {
    s.area.resize(area.pixels.size());
    for (size_t i = 0; i < area.pixels.size(); ++i) s.area[i] = area.pixels[i] >= 128;
  } else {
    s.area.assign(static_cast<size_t>(w) * h, 1);
  }
  return true;
}

std::vector<std::string> SetStems(const std::filesystem::path& dir) {
  std::vector<std::string> stems;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = e.path().filename().string();
    int f = 0, i = 0;
    char tail[8] = {};
    if (name.size() == 11 && std::sscanf(name.c_str(), "%4d_%2d.%3s", &f, &i, tail) == 3 && std::string(tail) == "txt")
      stems.push_back(name.substr(0, 7));
  }
  std::sort(stems.begin(), stems.end());
  return stems;
}

// Accuracy against the placed truth, only where both can be judged: in the
// touched area, more than `margin` pixels from its rim and from the picture's
// edge (ridges cut by the rim end there without being minutiae).
bool Synthetic(const std::string& dir, int count, double margin, const std::string& drawDir) {
  auto stems = SetStems(dir);
  if (stems.empty()) {
    std::fprintf(stderr, "omextract_eval: no <finger>_<impression>.txt in %s\n", dir.c_str());
    return false;
  }
  if (count > 0 && static_cast<size_t>(count) < stems.size()) stems.resize(static_cast<size_t>(count));
  std::map<std::string, Tally> byQuality, awayBy;
  auto cfg = omx::DefaultConfig();
  int drawn = 0;
  for (const auto& stem : stems) {
    Sample s;
    std::string why;
    if (!LoadSample(dir, stem, s, why)) {
      std::fprintf(stderr, "omextract_eval: %s: %s\n", stem.c_str(), why.c_str());
      return false;
    }
    const int w = s.picture.width, h = s.picture.height;
    omx::Features f;
    omx::Extract(s.picture.pixels.data(), static_cast<uint32_t>(w), static_cast<uint32_t>(h), 500, cfg, false, nullptr, f);
    auto dist = MaskDistance(s.area, w, h);
    auto inside = [&](double x, double y) {
      int xi = static_cast<int>(std::lround(x)), yi = static_cast<int>(std::lround(y));
      return xi >= 0 && yi >= 0 && xi < w && yi < h && dist[static_cast<size_t>(yi) * w + xi] > margin;
    };
    std::vector<Pt> truth, found;
    for (const auto& m : s.truth)
      if (inside(m.x, m.y)) truth.push_back({m.x, m.y, m.angle, m.type});
    for (const auto& m : f.minutiae)
      if (inside(m.x, m.y)) found.push_back({double(m.x), double(m.y), m.angle, m.type});
    // The same again away from cores and deltas, where the set's ridges are
    // least faithful (see docs/engine-evaluation.md).
    auto away = [&](const std::vector<Pt>& in) {
      std::vector<Pt> out;
      for (const auto& m : in) {
        bool ok = true;
        for (const auto& c : s.cores) ok = ok && std::hypot(m.x - c.x, m.y - c.y) > kSingularZone;
        for (const auto& c : s.deltas) ok = ok && std::hypot(m.x - c.x, m.y - c.y) > kSingularZone;
        if (ok) out.push_back(m);
      }
      return out;
    };
    auto truthAway = away(truth), foundAway = away(found);
    awayBy[s.quality].Count(truthAway, foundAway);
    Tally& k = byQuality[s.quality];
    k.Count(truth, found);
    for (const auto& c : s.cores) {
      if (!inside(c.x, c.y)) continue;
      ++k.cores;
      for (const auto& d : f.cores)
        if (std::hypot(c.x - d.x, c.y - d.y) <= 24) { ++k.coresFound; break; }
    }
    for (const auto& c : s.deltas) {
      if (!inside(c.x, c.y)) continue;
      ++k.deltas;
      for (const auto& d : f.deltas)
        if (std::hypot(c.x - d.x, c.y - d.y) <= 24) { ++k.deltasFound; break; }
    }
    if (!drawDir.empty() && drawn < 8) {
      ++drawn;
      auto pic = omx::draw::FromGrey(s.picture);
      for (const auto& m : s.truth)
        omx::draw::Mark(pic, static_cast<int>(std::lround(m.x)), static_cast<int>(std::lround(m.y)), m.angle, 0, 200, 0);
      omx::draw::Features(pic, f);
      omx::bmp::Save(drawDir + "/" + stem + ".bmp", omx::bmp::EncodeRgb(pic));
    }
  }
  std::printf("\n### Placed-minutiae prints (%s, %zu impressions; paired within %.0f px and %.0f degrees, %.0f px inside the touched area)\n\n",
              dir.c_str(), stems.size(), kMaxDist, kMaxAngle * 180 / kPi, margin);
  std::printf("| quality | prints | truth | found | paired | precision | recall | position error px (mean / median) | mean offset px (along, across) | angle error deg (mean / median) | same type | cores found | deltas found |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  Tally all;
  for (const char* q : {"good", "dry", "wet", "poor"}) {
    auto it = byQuality.find(q);
    if (it == byQuality.end()) continue;
    it->second.Print(q);
    all.Add(it->second);
  }
  for (const auto& [q, t] : byQuality)
    if (q != "good" && q != "dry" && q != "wet" && q != "poor") t.Print(q), all.Add(t);
  all.Print("all");
  std::printf("\n### The same, leaving out %.0f px about every core and delta\n\n", kSingularZone);
  std::printf("| quality | prints | truth | found | paired | precision | recall | position error px (mean / median) | mean offset px (along, across) | angle error deg (mean / median) | same type | cores found | deltas found |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  Tally allAway;
  for (const auto& [q, t] : awayBy) allAway.Add(t);
  for (const char* q : {"good", "dry", "wet", "poor"})
    if (awayBy.count(q)) awayBy[q].Print(q);
  allAway.Print("all");
  return true;
}

void Real(const std::string& dir, const std::string& drawDir) {
  const char* files[4] = {"probe.bmp", "matching.bmp", "nonmatching.bmp", "large.bmp"};
  struct Move { double dx, dy, deg; };
  const Move moves[4] = {{6, -4, 3}, {-5, 7, -3}, {0, 0, 5}, {10, 5, -5}};
  auto cfg = omx::DefaultConfig();
  std::printf("\n### Real pictures moved and turned (paired within %.0f px and %.0f degrees)\n\n", kMaxDist, kMaxAngle * 180 / kPi);
  std::printf("| picture | move | before | after | expected | found there | paired | kept (paired / expected) | agreement (paired / (expected + found - paired)) |\n|---|---|---|---|---|---|---|---|---|\n");
  long totExpected = 0, totFound = 0, totPaired = 0;
  for (const char* name : files) {
    omx::bmp::Grey g;
    std::string why;
    if (!omx::bmp::Load(dir + "/" + name, g, why)) {
      std::printf("| %s | %s | | | | | | | |\n", name, why.c_str());
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
      auto moved = omx::eval::Transform(g, mv.dx, mv.dy, a);
      omx::Features f;
      omx::Extract(moved.pixels.data(), moved.width, moved.height, 500, cfg, false, nullptr, f);
      // Both sides are compared on the same ground: points that lie at least
      // `margin` pixels inside the original picture and inside the moved one.
      double cx = g.width / 2.0, cy = g.height / 2.0, c = std::cos(a), s = std::sin(a);
      const int margin = 24;
      auto within = [&](double x, double y) { return x >= margin && y >= margin && x < g.width - margin && y < g.height - margin; };
      std::vector<Pt> expect, got;
      for (const auto& m : base.minutiae) {
        double u = m.x - cx, v = m.y - cy;
        double x = c * u + s * v + cx + mv.dx, y = -s * u + c * v + cy + mv.dy;
        if (within(m.x, m.y) && within(x, y)) expect.push_back({x, y, m.angle + a, m.type});
      }
      for (const auto& m : f.minutiae) {
        double u = m.x - cx - mv.dx, v = m.y - cy - mv.dy;
        double x = c * u - s * v + cx, y = s * u + c * v + cy;  // back in the original picture
        if (within(m.x, m.y) && within(x, y)) got.push_back({double(m.x), double(m.y), m.angle, m.type});
      }
      int paired = Pair(expect, got);
      totExpected += static_cast<long>(expect.size());
      totFound += static_cast<long>(got.size());
      totPaired += paired;
      double uni = static_cast<double>(expect.size() + got.size()) - paired;
      std::printf("| %s | %+.0f,%+.0f px %+.0f deg | %zu | %zu | %zu | %zu | %d | %.3f | %.3f |\n", name, mv.dx, mv.dy, mv.deg,
                  base.minutiae.size(), f.minutiae.size(), expect.size(), got.size(), paired,
                  expect.empty() ? 0 : double(paired) / expect.size(), uni > 0 ? paired / uni : 0);
    }
  }
  double uni = static_cast<double>(totExpected + totFound - totPaired);
  std::printf("| all | | | | %ld | %ld | %ld | %.3f | %.3f |\n", totExpected, totFound, totPaired,
              totExpected ? double(totPaired) / totExpected : 0, uni > 0 ? totPaired / uni : 0);
}

void Timing(const std::string& dir, const std::string& setDir, int runs) {
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
    if (dir.empty()) break;
    omx::bmp::Grey g;
    std::string why;
    if (omx::bmp::Load(dir + "/" + name, g, why)) time(name, g);
  }
  auto stems = SetStems(setDir);
  if (!stems.empty()) {
    omx::bmp::Grey g;
    std::string why;
    if (omx::bmp::Load((std::filesystem::path(setDir) / (stems.front() + ".bmp")).string(), g, why)) time(("set " + stems.front()).c_str(), g);
  }
}

}  // namespace

int Usage(const char* why) {
  std::fprintf(stderr, "omextract_eval: %s\nusage: omextract_eval <set folder> [--real DIR] [--count N] [--margin PX] [--draw DIR] [--runs N]\n", why);
  return 2;
}

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return Usage("no set folder given");
  std::string set = argv[1], real, drawDir;
  int count = 0, runs = 0;
  double margin = 14;
  for (int i = 2; i < argc; i += 2) {
    std::string a = argv[i];
    if (i + 1 >= argc) return Usage(("missing value after " + a).c_str());
    if (a == "--count") count = std::atoi(argv[i + 1]);
    else if (a == "--real") real = argv[i + 1];
    else if (a == "--draw") drawDir = argv[i + 1];
    else if (a == "--runs") runs = std::atoi(argv[i + 1]);
    else if (a == "--margin") margin = std::atof(argv[i + 1]);
    else return Usage(("unknown option " + a).c_str());
  }
  if (!Synthetic(set, count, margin, drawDir)) return 1;
  if (!real.empty()) Real(real, drawDir);
  if (runs > 0) Timing(real, set, runs);
  return 0;
}
