// Matching evaluation: extracts a template from every impression of a folder
// with the engine, compares every pair with the matcher, and reports the
// genuine and impostor score distributions, EER and FNMR at fixed FMRs.
//
//   match_eval <folder> [--plot scores.png] [--thresholds ThresholdTable.h]
//              [--real DIR] [--scores scores.tsv] [--threads N]
//              [--templates DIR] [--details FILE]
//
// Impressions are named <finger:04d>_<impression:02d>.bmp. Genuine pairs: two
// impressions of one finger; impostor pairs: impressions of two fingers.
// --thresholds rewrites the matcher's table of thresholds from this run.
// --real DIR also scores probe.bmp against matching.bmp and nonmatching.bmp.
// --templates DIR keeps the extracted templates there (<stem>.nfr) and reads
// them back on the next run instead of extracting again (delete the folder
// when the engine changes).
// --details FILE writes what every score was made of (binary, see WriteDetails),
// for trying other scorings without running the comparisons again.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bmp.h"
#include "config.h"
#include "eval_common.h"
#include "extractor.h"
#include "matching/Matcher.h"
#include "nfrecord.h"
#include "plot.h"

namespace {

struct Sample {
  int finger = 0, impression = 0;
  std::string path;
  std::vector<uint8_t> record;
  int minutiae = 0;
};

std::vector<uint8_t> Extract(const omx::bmp::Grey& g, int& minutiae) {
  static const auto cfg = omx::DefaultConfig();
  return evaltools::ExtractRecord(g.pixels, g.width, g.height, cfg, minutiae);
}

using evaltools::Parallel;

struct Rates {
  std::vector<long> gen, imp;  // counts per score
  long nGen = 0, nImp = 0;
  // Share of impostors scoring at least t, of genuines scoring below t.
  double Fmr(int t) const {
    long c = 0;
    for (size_t s = static_cast<size_t>(std::max(t, 0)); s < imp.size(); ++s) c += imp[s];
    return nImp ? static_cast<double>(c) / nImp : 0;
  }
  double Fnmr(int t) const {
    long c = 0;
    for (size_t s = 0; s < gen.size() && static_cast<int>(s) < t; ++s) c += gen[s];
    return nGen ? static_cast<double>(c) / nGen : 0;
  }
  int Max() const { return static_cast<int>(std::max(gen.size(), imp.size())); }
  // Least score whose FMR is at most `rate`.
  int Threshold(double rate) const {
    for (int t = 0; t <= Max(); ++t)
      if (Fmr(t) <= rate) return t;
    return Max();
  }
};

void Plot(const Rates& r, const std::string& path, const std::string& title) {
  const int W = 900, H = 620, L = 70, R = 20, T = 40, B = 60;
  plot::Canvas c(W, H);
  // Up to where 99 % of the genuine scores lie (at least past the highest impostor).
  int genuine99 = 0;
  for (long c = 0; genuine99 < static_cast<int>(r.gen.size()) && (c += r.gen[genuine99]) < r.nGen * 99 / 100;) ++genuine99;
  // Bins of a whole number of scores each (equal bins of fractional width
  // alias into a saw-tooth); y is the share of comparisons, log scale 1e-7 .. 1.
  const int binScores = (std::max({10, std::min(r.Max(), std::max(r.Threshold(0) + 20, genuine99))}) + 99) / 100;
  const int bins = (std::max({10, std::min(r.Max(), std::max(r.Threshold(0) + 20, genuine99))}) + binScores - 1) / binScores;
  const int maxScore = bins * binScores;
  const double binW = binScores;
  auto share = [&](const std::vector<long>& h, long n, int b) {
    long s = 0;
    for (int v = static_cast<int>(std::ceil(b * binW)); v < std::ceil((b + 1) * binW) && v < static_cast<int>(h.size()); ++v) s += h[v];
    if (b == bins - 1)
      for (size_t v = static_cast<size_t>(std::ceil((b + 1) * binW)); v < h.size(); ++v) s += h[v];
    return n ? static_cast<double>(s) / n : 0;
  };
  auto px = [&](double score) { return L + static_cast<int>((W - L - R) * score / maxScore); };
  auto py = [&](double v) {
    double lg = v <= 0 ? -7 : std::max(-7.0, std::log10(v));
    return T + static_cast<int>((H - T - B) * (-lg) / 7.0);
  };
  c.Line(L, T, L, H - B, 0x000000);
  c.Line(L, H - B, W - R, H - B, 0x000000);
  for (int e = 0; e <= 7; ++e) {
    const int y = py(std::pow(10.0, -e));
    c.Line(L - 4, y, W - R, y, 0xE0E0E0);
    c.Text(L - 40, y - 3, e == 0 ? "1" : "1E-" + std::to_string(e), 0x000000);
  }
  for (int s = 0; s <= maxScore; s += std::max(1, maxScore / 10 / 5 * 5)) {
    c.Line(px(s), H - B, px(s), H - B + 4, 0x000000);
    c.Text(px(s) - 6, H - B + 8, std::to_string(s), 0x000000);
  }
  for (int pass = 0; pass < 2; ++pass) {
    const auto& h = pass ? r.gen : r.imp;
    const long n = pass ? r.nGen : r.nImp;
    const uint32_t colour = pass ? 0x1A9850 : 0xD73027;
    int lastX = -1, lastY = -1;
    for (int b = 0; b < bins; ++b) {
      const double v = share(h, n, b);
      const int x0 = px(b * binW), x1 = px((b + 1) * binW), y = py(v);
      if (v > 0) c.Box(x0 + 1, y, x1 - 1, y + 1, colour);
      if (lastX >= 0 && v > 0) c.Line(lastX, lastY, x0 + 1, y, colour);
      if (v > 0) { lastX = x1 - 1; lastY = y; }
    }
  }
  for (double rate : {1e-3, 1e-4}) {
    const int t = r.Threshold(rate);
    for (int y = T; y < H - B; y += 6) c.Line(px(t), y, px(t), y + 2, 0x4575B4);
    char label[32];
    std::snprintf(label, sizeof label, "FMR %s", rate == 1e-3 ? "1E-3" : "1E-4");
    c.Text(px(t) + 3, T + (rate == 1e-3 ? 6 : 18), label, 0x4575B4);
  }
  c.Text(L, 12, title, 0x000000, 2);
  c.Box(W - 230, T + 6, W - 220, T + 16, 0x1A9850);
  c.Text(W - 214, T + 8, "GENUINE", 0x000000);
  c.Box(W - 230, T + 22, W - 220, T + 32, 0xD73027);
  c.Text(W - 214, T + 24, "IMPOSTOR", 0x000000);
  c.Text(W / 2 - 30, H - 24, "SCORE", 0x000000);
  c.Text(6, T - 14, "SHARE OF COMPARISONS", 0x000000);
  if (!plot::SavePng(path, c)) std::fprintf(stderr, "match_eval: cannot write %s\n", path.c_str());
}

bool WriteThresholds(const Rates& r, const std::string& path, const std::string& source) {
  std::ofstream o(path);
  o << "// Score thresholds for false match rates, measured by the matching evaluation\n"
       "// (tools/matching-eval). Written by `match_eval --thresholds`; do not edit by hand.\n"
       "#pragma once\n\nnamespace matching {\n\nstruct TThresholdPoint {\n  double Rate;\n  int Score;\n};\n\n"
       "// Measured on "
    << source << ": " << r.nGen << " genuine and " << r.nImp << " impostor comparisons.\n"
    << "constexpr TThresholdPoint kThresholdTable[] = {\n";
  for (double rate : {1e-2, 1e-3, 1e-4}) {
    char line[64];
    std::snprintf(line, sizeof line, "    {%.0e, %d},\n", rate, r.Threshold(rate));
    o << line;
  }
  o << "};\n\n}  // namespace matching\n";
  return static_cast<bool>(o);
}

const char* const kUsage =
    "usage: match_eval <folder> [--plot PNG] [--thresholds HEADER] [--real DIR] [--scores TSV] [--threads N]\n"
    "                  [--templates DIR] [--details FILE]\n";

bool ReadFile(const std::filesystem::path& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !out.empty();
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder, plotPath = "match-scores.png", thresholdsPath, realDir, scoresPath, templatesDir, detailsPath;
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "match_eval: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--plot") plotPath = next();
    else if (a == "--thresholds") thresholdsPath = next();
    else if (a == "--real") realDir = next();
    else if (a == "--scores") scoresPath = next();
    else if (a == "--threads") threads = std::max(1, std::atoi(next().c_str()));
    else if (a == "--templates") templatesDir = next();
    else if (a == "--details") detailsPath = next();
    else if (folder.empty() && a[0] != '-') folder = a;
    else {
      std::fprintf(stderr, "%s", kUsage);
      return 2;
    }
  }
  if (folder.empty()) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  std::vector<Sample> samples;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename().string();
    int f, imp;
    char tail[8] = {};
    if (name.size() == 11 && std::sscanf(name.c_str(), "%4d_%2d.%3s", &f, &imp, tail) == 3 && std::string(tail) == "bmp")
      samples.push_back({f, imp, e.path().string(), {}, 0});
  }
  if (ec || samples.empty()) {
    std::fprintf(stderr, "match_eval: no <finger>_<impression>.bmp files in %s\n", folder.c_str());
    return 1;
  }
  std::sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) {
    return a.finger != b.finger ? a.finger < b.finger : a.impression < b.impression;
  });
  const int n = static_cast<int>(samples.size());
  std::printf("match_eval: %d impressions in %s, %d threads\n", n, folder.c_str(), threads);

  auto t0 = std::chrono::steady_clock::now();
  std::atomic<int> failed{0};
  if (!templatesDir.empty()) std::filesystem::create_directories(templatesDir, ec);
  Parallel(n, threads, [&](int i, int) {
    const auto cached = templatesDir.empty() ? std::filesystem::path()
                                             : std::filesystem::path(templatesDir) /
                                                   std::filesystem::path(samples[i].path).filename().replace_extension(".nfr");
    if (!cached.empty() && ReadFile(cached, samples[i].record) && samples[i].record.size() > 25) {
      samples[i].minutiae = samples[i].record[24];
      return;
    }
    omx::bmp::Grey g;
    std::string why;
    if (!omx::bmp::Load(samples[i].path, g, why)) {
      std::fprintf(stderr, "match_eval: %s: %s\n", samples[i].path.c_str(), why.c_str());
      ++failed;
      return;
    }
    samples[i].record = Extract(g, samples[i].minutiae);
    if (!cached.empty()) {
      std::ofstream o(cached, std::ios::binary);
      o.write(reinterpret_cast<const char*>(samples[i].record.data()), static_cast<std::streamsize>(samples[i].record.size()));
    }
  });
  if (failed) return 1;
  auto t1 = std::chrono::steady_clock::now();
  long minutiae = 0;
  for (const auto& s : samples) minutiae += s.minutiae;
  std::printf("extracted in %.1f s, %.1f minutiae per template\n", std::chrono::duration<double>(t1 - t0).count(),
              static_cast<double>(minutiae) / n);

  std::vector<std::vector<uint8_t>> blocks(n);
  for (int i = 0; i < n; ++i) matching::PrepareTemplate(samples[i].record.data(), samples[i].record.size(), blocks[i]);

  // Every pair once (the score is symmetric).
  struct Local {
    std::vector<long> gen, imp;
    std::vector<std::string> lines;
    std::vector<uint8_t> details;
  };
  std::vector<Local> locals(threads);
  std::vector<matching::TComparison> comparisons(threads);
  std::atomic<long> compared{0};
  Parallel(n, threads, [&](int i, int t) {
    matching::TProbe probe;
    probe.PrepareBlock(blocks[i].data());
    Local& l = locals[t];
    for (int j = i + 1; j < n; ++j) {
      const int s = comparisons[t].Score(probe, blocks[j].data());
      auto& h = samples[i].finger == samples[j].finger ? l.gen : l.imp;
      if (static_cast<size_t>(s) >= h.size()) h.resize(s + 1);
      ++h[s];
      if (!detailsPath.empty()) {
        const auto& d = comparisons[t].Last();
        const uint8_t rec[12] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(j), static_cast<uint8_t>(j >> 8),
                                 static_cast<uint8_t>(d.Paired), static_cast<uint8_t>(d.InP), static_cast<uint8_t>(d.InC), 0,
                                 static_cast<uint8_t>(d.Weight), static_cast<uint8_t>(d.Weight >> 8), static_cast<uint8_t>(d.Weight >> 16), 0};
        l.details.insert(l.details.end(), rec, rec + 12);
      }
      if (!scoresPath.empty() && samples[i].finger == samples[j].finger) {
        char line[96];
        std::snprintf(line, sizeof line, "%04d_%02d\t%04d_%02d\t%d\n", samples[i].finger, samples[i].impression,
                      samples[j].finger, samples[j].impression, s);
        l.lines.push_back(line);
      }
    }
    compared += n - 1 - i;
  });
  auto t2 = std::chrono::steady_clock::now();
  Rates r;
  for (const auto& l : locals) {
    if (l.gen.size() > r.gen.size()) r.gen.resize(l.gen.size());
    if (l.imp.size() > r.imp.size()) r.imp.resize(l.imp.size());
    for (size_t s = 0; s < l.gen.size(); ++s) r.gen[s] += l.gen[s], r.nGen += l.gen[s];
    for (size_t s = 0; s < l.imp.size(); ++s) r.imp[s] += l.imp[s], r.nImp += l.imp[s];
  }
  const double secs = std::chrono::duration<double>(t2 - t1).count();
  std::printf("compared %ld pairs in %.1f s (%.0f per second, %d threads, probe prepared once per row)\n\n",
              compared.load(), secs, compared.load() / secs, threads);

  // EER: where the two error rates cross.
  double eer = 1;
  int eerAt = 0;
  for (int t = 0; t <= r.Max() + 1; ++t) {
    const double a = r.Fmr(t), b = r.Fnmr(t);
    if (std::max(a, b) < eer) {
      eer = std::max(a, b);
      eerAt = t;
    }
  }
  std::printf("| comparisons | genuine | impostor | EER | FNMR at FMR 1e-2 | FNMR at FMR 1e-3 | FNMR at FMR 1e-4 |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  std::printf("| %ld | %ld | %ld | %.2f %% (score %d) |", r.nGen + r.nImp, r.nGen, r.nImp, 100 * eer, eerAt);
  for (double rate : {1e-2, 1e-3, 1e-4}) {
    const int t = r.Threshold(rate);
    std::printf(" %.2f %% (score %d, FMR %.1e) |", 100 * r.Fnmr(t), t, r.Fmr(t));
  }
  std::printf("\n");
  if (r.nImp < 100000)
    std::printf("\n(only %ld impostor comparisons: FMR 1e-4 rests on %ld events at most)\n", r.nImp, r.nImp / 10000);

  if (!plotPath.empty()) {
    char title[128];
    std::snprintf(title, sizeof title, "SCORES: %d IMPRESSIONS, EER %.2f%%", n, 100 * eer);
    Plot(r, plotPath, title);
    std::printf("\nplot: %s\n", plotPath.c_str());
  }
  if (!scoresPath.empty()) {
    std::ofstream o(scoresPath);
    for (const auto& l : locals)
      for (const auto& line : l.lines) o << line;
  }
  if (!detailsPath.empty()) {
    // Per template: finger (u16), minutiae (u16), hull area (u32); then per
    // pair: i, j (u16), paired, inside P's hull... (see TComparison::TDetail):
    // paired (u8), inP (u8), inC (u8), 0, weight (u32, 1/256 units).
    std::ofstream o(detailsPath, std::ios::binary);
    const uint32_t count = static_cast<uint32_t>(n);
    o.write(reinterpret_cast<const char*>(&count), 4);
    for (int i = 0; i < n; ++i) {
      const uint16_t fm[2] = {static_cast<uint16_t>(samples[i].finger), static_cast<uint16_t>(matching::BlockCount(blocks[i].data()))};
      const uint32_t area = static_cast<uint32_t>(matching::BlockHullArea(blocks[i].data()));
      o.write(reinterpret_cast<const char*>(fm), 4);
      o.write(reinterpret_cast<const char*>(&area), 4);
    }
    for (const auto& l : locals) o.write(reinterpret_cast<const char*>(l.details.data()), static_cast<std::streamsize>(l.details.size()));
  }
  if (!thresholdsPath.empty()) {
    const std::string source = std::filesystem::path(folder).filename().string() + " (" + std::to_string(n) + " impressions)";
    if (!WriteThresholds(r, thresholdsPath, source)) {
      std::fprintf(stderr, "match_eval: cannot write %s\n", thresholdsPath.c_str());
      return 1;
    }
    std::printf("thresholds written to %s\n", thresholdsPath.c_str());
  }
  if (!realDir.empty()) {
    std::vector<uint8_t> rec[3];
    const char* names[3] = {"probe.bmp", "matching.bmp", "nonmatching.bmp"};
    for (int k = 0; k < 3; ++k) {
      omx::bmp::Grey g;
      std::string why;
      if (!omx::bmp::Load(realDir + "/" + names[k], g, why)) {
        std::fprintf(stderr, "match_eval: %s/%s: %s\n", realDir.c_str(), names[k], why.c_str());
        return 1;
      }
      int m = 0;
      rec[k] = Extract(g, m);
    }
    const int same = matching::Compare(rec[0].data(), rec[0].size(), rec[1].data(), rec[1].size());
    const int other = matching::Compare(rec[0].data(), rec[0].size(), rec[2].data(), rec[2].size());
    std::printf("\nreal samples: probe/matching %d, probe/nonmatching %d; this run's threshold at FMR 1e-4: %d, "
                "the matcher's table: %d\n",
                same, other, r.Threshold(1e-4), matching::Threshold(1e-4));
  }
  return 0;
}
