// Accuracy on sets of real prints: the engine extracts a template from every
// impression, the matcher compares the pairs of the usual protocol, and the
// figures are printed per set and pooled, with the shipped thresholds measured
// on held-out sets and the aims checked.
//
//   real_eval [ROOT] [--set NAME]... [--plot DET.png] [--scores FILE] [--threads N]
//             [--templates-out DIR] [--templates-in DIR] [--through iso|ansi]
//             [--no-timing] [--aims] [--config FIELD=VALUE]...
//             [--quality] [--quality-plot EVR.png] [--quality-out FILE]
//             [--minutia-quality] [--minutia-out FILE]
//
// ROOT holds one folder per set (default ../shared/fingerprints/fvc from the
// project's top folder); each set holds FFF_I.png, impression I of finger FFF.
// Genuine pairs: every pair of impressions of one finger; impostor pairs:
// every pair of impressions of different fingers of the same set. Pooled
// figures put the scores of all sets together; pairs never cross sets.
//
// --templates-out DIR keeps the templates (DIR/SET/FFF_I.nfr); --templates-in
// DIR compares those instead of extracting (for trying the matcher alone).
// --scores FILE writes "set a b genuine score paired weight inA inB minutiaeA
// minutiaeB supported supported2 supportEdges areaA areaB supportWeight
// anchor" lines for every pair (what the score is made of: see
// TComparison::TDetail).
// --through iso|ansi compares every template after a trip through an
// ISO/IEC 19794-2:2005 or ANSI INCITS 378-2004 record and back, to measure what
// the exchange costs in accuracy (the templates written are the converted ones).
// --config sets one of the engine's configuration fields for every extraction
// (for trying other values: tools/real-eval/loso.py).
// --quality adds how well the engine's image quality score predicts errors
// (quality_eval.h), --quality-plot draws its error-versus-reject curve, and
// --quality-out writes every image's score and measures (for
// tools/real-eval/quality_loso.py).
// --minutia-quality compares the per-minutia quality bytes of the minutiae the
// matcher pairs in genuine comparisons with those it never pairs, and
// --minutia-out writes every minutia's byte, measures and pairings (for
// tools/real-eval/minutia_quality_loso.py).
#include <png.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "eval_common.h"
#include "extractor.h"
#include "matching/Matcher.h"
#include "nfrecord.h"
#include "plot.h"
#include "quality_eval.h"
#include "rates.h"
#include "templates/MinutiaeRecords.h"
#include "templates/udOmfwTemplates.h"
#include "transform.h"
#include "tuning.h"

namespace fs = std::filesystem;

namespace {

struct Image {
  int set = 0, finger = 0, impression = 0;
  std::string path, name;
  std::vector<uint8_t> record, block;
  int minutiae = 0;
  double cpuMs = 0;
  int quality = 0;
  omx::QualityMeasures measures;
  int moved[4] = {0, 0, 0, 0};  // quality of the picture moved 8 px right, down, turned +10 and -10 degrees
  std::vector<double> periodErrors;  // --through: each minutia's ridge period after the trip over before, less 1
  // Per minutia of the template, in its order: the quality byte, what the
  // extractor measured (when it was extracted here), how often the matcher
  // paired it in genuine comparisons.
  std::vector<int> minutiaQuality;
  std::vector<omx::MinutiaMeasures> minutiaMeasures;
  std::vector<int> timesPaired;
};

// How far the ridge periods that come back through a record (from its ridge
// counts) lie from the template's own, minutia by minutia (the trip keeps
// their order); none where either has no period.
std::vector<double> PeriodErrors(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after) {
  std::vector<double> out;
  const auto a = LocalizarItensNF(before.data(), before.size(), tiMinucia), b = LocalizarItensNF(after.data(), after.size(), tiMinucia);
  if (!a || !b || a->Quantidade != b->Quantidade) return out;
  for (int32_t k = 0; k < a->Quantidade; ++k) {
    const int p = LerItemNF(before.data(), *a, k).G, q = LerItemNF(after.data(), *b, k).G;
    if (p > 0 && p < 255 && q > 0 && q < 255) out.push_back(static_cast<double>(q) / p - 1);
  }
  return out;
}

struct Set {
  std::string name;
  int width = 0, height = 0;
  std::vector<int> images;  // indices into the image list
  realeval::Scores scores;
};

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

bool ReadPng(const std::string& path, int& w, int& h, std::vector<uint8_t>& pixels, std::string& why) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&img, path.c_str())) {
    why = img.message;
    return false;
  }
  img.format = PNG_FORMAT_GRAY;
  pixels.assign(PNG_IMAGE_SIZE(img), 0);
  if (!png_image_finish_read(&img, nullptr, pixels.data(), 0, nullptr)) {
    why = img.message;
    png_image_free(&img);
    return false;
  }
  w = static_cast<int>(img.width);
  h = static_cast<int>(img.height);
  return true;
}

bool ReadFile(const fs::path& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The configuration fields the engine reads, by name.
bool SetField(omx::TOmExtractorConfiguration& c, const std::string& name, double v) {
  const std::map<std::string, std::function<void(double)>> fields = {
      {"LimiarVariancia", [&](double x) { c.LimiarVariancia = static_cast<int32_t>(x); }},
      {"MinContrasteFG", [&](double x) { c.MinContrasteFG = x; }},
      {"MinQFG", [&](double x) { c.MinQFG = x; }},
      {"SemNormalizar", [&](double x) { c.SemNormalizar = x != 0; }},
      {"PassoSuavizar1", [&](double x) { c.PassoSuavizar1 = x != 0; }},
      {"SigmaGabor", [&](double x) { c.SigmaGabor = x; }},
      {"FatorGabor", [&](double x) { c.FatorGabor = x; }},
      {"EscalaGabor", [&](double x) { c.EscalaGabor = static_cast<int32_t>(x); }},
      {"BinSimples", [&](double x) { c.BinSimples = x != 0; }},
      {"EliminarMinucias", [&](double x) { c.EliminarMinucias = x != 0; }},
      {"TruncarArea", [&](double x) { c.TruncarArea = x != 0; }},
      {"MaxLegMinutia", [&](double x) { c.MaxLegMinutia = static_cast<int32_t>(x); }},
      {"LimiarQ1", [&](double x) { c.LimiarQ1 = x; }},
      {"LimiarQ2", [&](double x) { c.LimiarQ2 = x; }},
  };
  const auto it = fields.find(name);
  if (it == fields.end()) return false;
  it->second(v);
  return true;
}

using evaltools::ExtractRecord;
using evaltools::Parallel;

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// DET curves: FNMR against FMR, both on log scales.
void PlotDet(const std::vector<Set>& sets, const realeval::Scores& pooled, const std::string& path) {
  const int W = 900, H = 700, L = 80, R = 220, T = 50, B = 60;
  plot::Canvas c(W, H);
  const double xMin = -4, xMax = 0, yMin = -3, yMax = 0;  // decades
  auto px = [&](double fmr) {
    const double lg = std::clamp(fmr > 0 ? std::log10(fmr) : xMin, xMin, xMax);
    return L + static_cast<int>((W - L - R) * (lg - xMin) / (xMax - xMin));
  };
  auto py = [&](double fnmr) {
    const double lg = std::clamp(fnmr > 0 ? std::log10(fnmr) : yMin, yMin, yMax);
    return T + static_cast<int>((H - T - B) * (yMax - lg) / (yMax - yMin));
  };
  for (int e = 0; e <= 4; ++e) {
    const int x = px(std::pow(10.0, -e));
    c.Line(x, T, x, H - B, 0xE0E0E0);
    c.Text(x - 14, H - B + 8, e == 0 ? "1" : "1E-" + std::to_string(e), 0x000000);
  }
  for (int e = 0; e <= 3; ++e) {
    const int y = py(std::pow(10.0, -e));
    c.Line(L, y, W - R, y, 0xE0E0E0);
    c.Text(L - 40, y - 3, e == 0 ? "1" : "1E-" + std::to_string(e), 0x000000);
  }
  c.Line(L, T, L, H - B, 0x000000);
  c.Line(L, H - B, W - R, H - B, 0x000000);
  const uint32_t colours[] = {0x1F77B4, 0xFF7F0E, 0x2CA02C, 0xD62728, 0x9467BD, 0x8C564B, 0xE377C2, 0x7F7F7F};
  auto curve = [&](const realeval::Scores& s, uint32_t colour, int thick) {
    int lastX = -1, lastY = -1;
    for (const auto& p : s.Det()) {
      const int x = px(p.first), y = py(p.second);
      if (lastX >= 0)
        for (int d = 0; d < thick; ++d) c.Line(lastX, lastY + d, x, y + d, colour);
      lastX = x;
      lastY = y;
    }
  };
  for (size_t k = 0; k < sets.size(); ++k) {
    const uint32_t colour = colours[k % 8];
    curve(sets[k].scores, colour, 1);
    c.Box(W - R + 12, T + 10 + 16 * static_cast<int>(k), W - R + 22, T + 18 + 16 * static_cast<int>(k), colour);
    std::string label = sets[k].name;
    for (auto& ch : label) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    std::replace(label.begin(), label.end(), '_', '-');
    c.Text(W - R + 28, T + 11 + 16 * static_cast<int>(k), label, 0x000000);
  }
  curve(pooled, 0x000000, 3);
  const int k = static_cast<int>(sets.size());
  c.Box(W - R + 12, T + 10 + 16 * k, W - R + 22, T + 18 + 16 * k, 0x000000);
  c.Text(W - R + 28, T + 11 + 16 * k, "POOLED", 0x000000);
  c.Text(L, 14, "DET: FNMR AGAINST FMR", 0x000000, 2);
  c.Text(W / 2 - 60, H - 26, "FALSE MATCH RATE", 0x000000);
  c.Text(6, T - 16, "FALSE NON-MATCH RATE", 0x000000);
  if (!plot::SavePng(path, c)) std::fprintf(stderr, "real_eval: cannot write %s\n", path.c_str());
}

struct Pair {
  int a, b;
};

// The advice codes of the engine's summary block, "-" when none.
std::string HintCodes(const std::vector<uint8_t>& r) {
  std::string s;
  if (r.size() < 26) return "-";
  const size_t a = 26 + static_cast<size_t>(r[24]) * r[25];
  if (a + 3 > r.size()) return "-";
  const size_t len = r[a + 1] | (r[a + 2] << 8);
  for (size_t k = 8; k < len && a + 3 + k < r.size() && r[a + 3 + k]; ++k) s += static_cast<char>('0' + r[a + 3 + k]);
  return s.empty() ? "-" : s;
}

// The quality score against the errors it should predict; the curve and the
// correlation pooled over the sets, the stability over every picture.
void ReportQuality(const std::vector<Set>& sets, const std::vector<Image>& images, const std::vector<Pair>& pairs,
                   const std::vector<int>& score, const std::string& plotPath, const std::string& outPath, bool moved) {
  const int t = matching::Threshold(1e-3);
  std::vector<realeval::QualityPair> gen;
  std::vector<double> sum(images.size(), 0), count(images.size(), 0);
  for (size_t k = 0; k < pairs.size(); ++k) {
    const Image& a = images[static_cast<size_t>(pairs[k].a)];
    const Image& b = images[static_cast<size_t>(pairs[k].b)];
    if (a.finger != b.finger) continue;
    gen.push_back({pairs[k].a, pairs[k].b, score[k]});
    for (int i : {pairs[k].a, pairs[k].b}) {
      sum[static_cast<size_t>(i)] += score[k];
      count[static_cast<size_t>(i)] += 1;
    }
  }
  std::vector<int> q;
  for (const auto& im : images) q.push_back(im.quality);
  const int n = static_cast<int>(images.size());
  std::printf("\nImage quality: FNMR at threshold(1e-3) = %d over the genuine pairs whose two pictures are kept, "
              "the worst-scoring share set aside (pooled order), beside the same share set aside at random (mean of 200 draws)\n\n",
              t);
  std::printf("| set aside | quality below | genuine pairs left | FNMR %% | FNMR %%, random | change %% | change %%, random |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  const double base = realeval::FnmrKept(gen, std::vector<bool>(images.size(), true), t);
  std::vector<double> share, byScore, random;
  double change10 = 0;
  for (int pct = 0; pct <= 30; ++pct) {
    const int reject = (n * pct + 50) / 100;
    const auto kept = realeval::KeepBest(q, reject);
    long left = 0;
    const double f = realeval::FnmrKept(gen, kept, t, &left);
    const double r = realeval::FnmrRandomReject(gen, images.size(), reject, t);
    int cut = 101;
    for (int i = 0; i < n; ++i)
      if (kept[static_cast<size_t>(i)]) cut = std::min(cut, q[static_cast<size_t>(i)]);
    share.push_back(pct / 100.0);
    byScore.push_back(f);
    random.push_back(r);
    if (pct == 10) change10 = base > 0 ? (f - base) / base : 0;
    if (pct % 5 == 0 || pct <= 2)
      std::printf("| %d %% | %d | %ld | %.2f | %.2f | %+.1f | %+.1f |\n", pct, cut, left, 100 * f, 100 * r,
                  base > 0 ? 100 * (f - base) / base : 0.0, base > 0 ? 100 * (r - base) / base : 0.0);
  }
  std::printf("\nSetting aside the worst 10 %% changes the pooled FNMR at threshold(1e-3) by %+.1f %% (aim: -40 %% or better)\n",
              100 * change10);
  std::vector<double> qs, means;
  for (size_t i = 0; i < images.size(); ++i)
    if (count[i] > 0) {
      qs.push_back(q[i]);
      means.push_back(sum[i] / count[i]);
    }
  std::printf("Spearman correlation of an image's quality with the mean genuine score of its pairs: %.3f pooled;", realeval::Spearman(qs, means));
  for (const auto& s : sets) {
    std::vector<double> x, y;
    for (int i : s.images)
      if (count[static_cast<size_t>(i)] > 0) {
        x.push_back(q[static_cast<size_t>(i)]);
        y.push_back(sum[static_cast<size_t>(i)] / count[static_cast<size_t>(i)]);
      }
    std::printf(" %s %.3f%s", s.name.c_str(), realeval::Spearman(x, y), &s == &sets.back() ? "\n" : ",");
  }
  std::vector<int> hist(11, 0);
  int hinted = 0;
  for (int v : q) ++hist[static_cast<size_t>(std::min(10, v / 10))];
  std::printf("Scores:");
  for (int k = 0; k <= 10; ++k) std::printf(" %d-%d: %d%s", 10 * k, k == 10 ? 100 : 10 * k + 9, hist[static_cast<size_t>(k)], k == 10 ? "\n" : ",");
  for (const auto& im : images) {
    hinted += HintCodes(im.record) != "-";
  }
  std::printf("Pictures with advice: %d of %d\n", hinted, n);
  if (moved) {
    const char* names[4] = {"moved 8 px right", "moved 8 px down", "turned +10 degrees", "turned -10 degrees"};
    std::printf("\nStability: the same picture moved or turned (aim: within 5 points)\n\n| change | within 5 points | mean difference | largest |\n|---|---|---|---|\n");
    int allWithin = 0, all = 0;
    for (int k = 0; k < 4; ++k) {
      int within = 0, worst = 0;
      double mean = 0;
      for (const auto& im : images) {
        const int d = std::abs(im.moved[k] - im.quality);
        within += d <= 5;
        worst = std::max(worst, d);
        mean += d;
      }
      allWithin += within;
      all += n;
      std::printf("| %s | %d of %d (%.1f %%) | %.2f | %d |\n", names[k], within, n, 100.0 * within / n, mean / n, worst);
    }
    std::printf("| all | %d of %d (%.1f %%) | | |\n", allWithin, all, 100.0 * allWithin / all);
  }
  if (!plotPath.empty()) {
    realeval::PlotRejectCurve(share, byScore, random, plotPath);
    std::printf("\nError-versus-reject plot: %s\n", plotPath.c_str());
  }
  if (!outPath.empty()) {
    std::FILE* o = std::fopen(outPath.c_str(), "w");
    if (!o) {
      std::fprintf(stderr, "real_eval: cannot write %s\n", outPath.c_str());
      return;
    }
    std::fprintf(o, "set\timage\tquality\tminutiae\tareaMm2\tareaShare\tclarity\tcoherence\tclearAreaMm2\tprintGrey\tpictureGrey"
                    "\tcontrast\toffCentre\tedgeShare\tpoorShare\tpoorGrey\tridgeGrey\tvalleyGrey\tmeanGenuine\thints"
                    "\tright8\tdown8\tturned+10\tturned-10\n");
    for (size_t i = 0; i < images.size(); ++i) {
      const Image& im = images[i];
      const auto& m = im.measures;
      std::fprintf(o, "%s\t%s\t%d\t%d\t%.2f\t%.4f\t%.4f\t%.4f\t%.2f\t%.2f\t%.2f\t%.2f\t%.4f\t%.4f\t%.4f\t%.2f\t%.0f\t%.0f\t%.2f\t%s\t%d\t%d\t%d\t%d\n",
                   sets[static_cast<size_t>(im.set)].name.c_str(), im.name.c_str(), im.quality, im.minutiae, m.areaMm2, m.areaShare,
                   m.clarity, m.coherence, m.clearAreaMm2, m.printGrey, m.pictureGrey, m.contrast, m.offCentre, m.edgeShare, m.poorShare,
                   m.poorGrey, m.ridgeGrey, m.valleyGrey, count[i] > 0 ? sum[i] / count[i] : 0.0, HintCodes(im.record).c_str(),
                   im.moved[0], im.moved[1], im.moved[2], im.moved[3]);
    }
    std::fclose(o);
    std::printf("Per-image quality measures: %s\n", outPath.c_str());
  }
}

// The per-minutia quality bytes of minutiae the matcher paired in at least
// one genuine comparison against those it never paired, per set and pooled.
void ReportMinutiaQuality(const std::vector<Set>& sets, const std::vector<Image>& images, const std::string& outPath) {
  struct Group {
    std::vector<int> paired, never;
  };
  std::vector<Group> perSet(sets.size());
  Group all;
  for (const auto& im : images)
    for (size_t k = 0; k < im.minutiaQuality.size(); ++k) {
      const int q = im.minutiaQuality[k];
      if (q > 100) continue;  // no quality byte
      (im.timesPaired[k] > 0 ? perSet[static_cast<size_t>(im.set)].paired : perSet[static_cast<size_t>(im.set)].never).push_back(q);
      (im.timesPaired[k] > 0 ? all.paired : all.never).push_back(q);
    }
  auto mean = [](const std::vector<int>& v) {
    double s = 0;
    for (int x : v) s += x;
    return v.empty() ? 0.0 : s / static_cast<double>(v.size());
  };
  auto quantile = [](std::vector<int> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
  };
  // The chance that a paired minutia's byte is above a never-paired one's (ties half).
  auto above = [](const std::vector<int>& p, const std::vector<int>& n) {
    std::vector<double> counts(102, 0);
    for (int x : n) counts[static_cast<size_t>(std::clamp(x, 0, 100)) + 1] += 1;
    std::vector<double> below(102, 0);
    for (size_t k = 1; k < counts.size(); ++k) below[k] = below[k - 1] + counts[k - 1];
    double s = 0;
    for (int x : p) {
      const size_t i = static_cast<size_t>(std::clamp(x, 0, 100)) + 1;
      s += below[i] + counts[i] / 2;
    }
    return p.empty() || n.empty() ? 0.5 : s / (static_cast<double>(p.size()) * static_cast<double>(n.size()));
  };
  std::printf("\nMinutia quality: the quality byte of minutiae the matcher paired in at least one genuine comparison, beside "
              "those it never paired\n\n");
  std::printf("| set | paired | mean | quartiles | never paired | mean | quartiles | P(paired above never paired) |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  auto row = [&](const std::string& name, const Group& g) {
    std::printf("| %s | %zu | %.1f | %d / %d / %d | %zu | %.1f | %d / %d / %d | %.3f |\n", name.c_str(), g.paired.size(), mean(g.paired),
                quantile(g.paired, 0.25), quantile(g.paired, 0.5), quantile(g.paired, 0.75), g.never.size(), mean(g.never),
                quantile(g.never, 0.25), quantile(g.never, 0.5), quantile(g.never, 0.75), above(g.paired, g.never));
  };
  for (size_t k = 0; k < sets.size(); ++k) row(sets[k].name, perSet[k]);
  row("pooled", all);
  std::printf("\nDistribution of the byte, pooled (share of each group per tenth of the scale)\n\n| quality | paired %% | never paired %% |\n|---|---|---|\n");
  for (int d = 0; d < 10; ++d) {
    auto share = [&](const std::vector<int>& v) {
      size_t n = 0;
      for (int x : v) n += std::min(9, x / 10) == d;
      return v.empty() ? 0.0 : 100.0 * static_cast<double>(n) / static_cast<double>(v.size());
    };
    std::printf("| %d-%d | %.1f | %.1f |\n", 10 * d, d == 9 ? 100 : 10 * d + 9, share(all.paired), share(all.never));
  }
  if (outPath.empty()) return;
  std::FILE* o = std::fopen(outPath.c_str(), "w");
  if (!o) {
    std::fprintf(stderr, "real_eval: cannot write %s\n", outPath.c_str());
    return;
  }
  std::fprintf(o, "set\timage\tminutia\tquality\tcoherence\tclarity\tcontrast\tborder\tspacing\ttimesPaired\n");
  for (const auto& im : images)
    for (size_t k = 0; k < im.minutiaQuality.size(); ++k) {
      const omx::MinutiaMeasures m = k < im.minutiaMeasures.size() ? im.minutiaMeasures[k] : omx::MinutiaMeasures{};
      std::fprintf(o, "%s\t%s\t%zu\t%d\t%.4f\t%.4f\t%.4f\t%.4f\t%.4f\t%d\n", sets[static_cast<size_t>(im.set)].name.c_str(),
                   im.name.c_str(), k, im.minutiaQuality[k], m.coherence, m.clarity, m.contrast, m.border, m.spacing, im.timesPaired[k]);
    }
  std::fclose(o);
  std::printf("\nPer-minutia measures: %s\n", outPath.c_str());
}

struct Aim {
  std::string what;
  double value, limit;
  bool atMost;  // else: at least
  std::string unit;
};

// Reads a threshold table (as match_eval --thresholds writes for a generated
// set): lines "{1e-02, S}," for 1e-2, 1e-3 and 1e-4.
bool ReadFarTail(const std::string& path, realeval::FarTail& tail) {
  std::ifstream in(path);
  std::string line;
  int found = 0;
  while (std::getline(in, line)) {
    double rate = 0;
    int score = 0;
    const auto open = line.find('{');
    if (open == std::string::npos || std::sscanf(line.c_str() + open, "{%lf, %d}", &rate, &score) != 2) continue;
    if (std::abs(rate - 1e-2) < 1e-12) tail.t2 = score, found |= 1;
    if (std::abs(rate - 1e-3) < 1e-13) tail.t3 = score, found |= 2;
    if (std::abs(rate - 1e-4) < 1e-14) tail.t4 = score, found |= 4;
  }
  return found == 7 && tail.Valid();
}

bool WriteThresholds(const std::string& path, const realeval::Thresholds& t, const realeval::Scores& pooled, size_t sets,
                     const realeval::FarTail& tail) {
  std::ofstream o(path);
  o << "// Score thresholds for false match rates. Written by `real_eval --thresholds`\n"
       "// (scripts/thresholds.sh); do not edit by hand.\n"
       "#pragma once\n\nnamespace matching {\n\nstruct TThresholdPoint {\n  double Rate;\n  int Score;\n};\n\n";
  char line[512];
  std::snprintf(line, sizeof line,
                "// 1e-2 and 1e-3: quantiles of %zu real impostor scores (%zu sets of real prints).\n"
                "// 1e-4: the real tail continued beyond 1e-3 with the shape of a generated set's\n"
                "// (thresholds %d, %d, %d at 1e-2, 1e-3, 1e-4 there)%s.\n",
                pooled.imp.size(), sets, tail.t2, tail.t3, tail.t4, tail.Valid() ? "" : " -- none given: empirical, rough");
  o << line << "constexpr TThresholdPoint kThresholdTable[] = {\n";
  const int scores[3] = {t.t2, t.t3, t.t4};
  const double rates[3] = {1e-2, 1e-3, 1e-4};
  for (int k = 0; k < 3; ++k) {
    std::snprintf(line, sizeof line, "    {%.0e, %d},\n", rates[k], scores[k]);
    o << line;
  }
  o << "};\n\n}  // namespace matching\n";
  return static_cast<bool>(o);
}

const char* const kUsage =
    "usage: real_eval [ROOT] [--set NAME]... [--plot DET.png] [--scores FILE] [--threads N]\n"
    "                 [--templates-out DIR] [--templates-in DIR] [--through iso|ansi] [--no-timing] [--aims]\n"
    "                 [--far-tail GENERATED.h] [--thresholds ThresholdTable.h] [--tune NAME=VALUE]...\n"
    "                 [--config FIELD=VALUE]... [--quality] [--quality-plot EVR.png] [--quality-out FILE]\n"
    "                 [--minutia-quality] [--minutia-out FILE]\n";

// The better of the two open references' EER per set (%), and the cap the
// aims put on FVC2000_DB1_B.
const std::map<std::string, double> kEerAim = {{"FVC2000_DB1_B", 8.0}, {"FVC2000_DB2_B", 8.8}, {"FVC2000_DB3_B", 10.6},
                                               {"FVC2000_DB4_B", 6.8}, {"FVC2002_DB1_B", 3.0}};

}  // namespace

int main(int argc, char** argv) {
  std::string root, plotPath, scoresPath, outDir, inDir, tailPath, thresholdsPath;
  std::vector<std::string> only;
  bool timing = true, aims = false, quality = false;
  std::string qualityPlot, qualityOut, minutiaOut;
  bool minutiaQuality = false;
  auto cfg = omx::DefaultConfig();
  std::string through;
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "real_eval: %s needs a value\n%s", a.c_str(), kUsage);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--set") only.push_back(next());
    else if (a == "--plot") plotPath = next();
    else if (a == "--scores") scoresPath = next();
    else if (a == "--threads") threads = std::max(1, std::atoi(next().c_str()));
    else if (a == "--templates-out") outDir = next();
    else if (a == "--templates-in") inDir = next();
    else if (a == "--through") through = next();
    else if (a == "--no-timing") timing = false;
    else if (a == "--far-tail") tailPath = next();
    else if (a == "--thresholds") thresholdsPath = next();
    else if (a == "--aims") aims = true;
    else if (a == "--quality") quality = true;
    else if (a == "--quality-plot") qualityPlot = next(), quality = true;
    else if (a == "--quality-out") qualityOut = next(), quality = true;
    else if (a == "--minutia-quality") minutiaQuality = true;
    else if (a == "--minutia-out") minutiaOut = next(), minutiaQuality = true;
    else if (a == "--config") {
      const std::string v = next();
      const size_t eq = v.find('=');
      char* end = nullptr;
      const double x = eq == std::string::npos ? 0 : std::strtod(v.c_str() + eq + 1, &end);
      if (eq == std::string::npos || !end || *end || end == v.c_str() + eq + 1 || !SetField(cfg, v.substr(0, eq), x)) {
        std::fprintf(stderr, "real_eval: --config %s: not FIELD=NUMBER with a field the engine reads\n", v.c_str());
        return 2;
      }
    }
    else if (a == "--tune") {
      const std::string v = next();
      const auto eq = v.find('=');
      if (eq == std::string::npos || !tuning::Set(v.substr(0, eq), std::atoi(v.c_str() + eq + 1))) {
        std::fprintf(stderr, "real_eval: --tune NAME=VALUE, NAME one of%s\n", tuning::Names().c_str());
        return 2;
      }
    }
    else if (root.empty() && !a.empty() && a[0] != '-') root = a;
    else {
      std::fprintf(stderr, "%s", kUsage);
      return 2;
    }
  }
  if (root.empty()) root = "../shared/fingerprints/fvc";
  if (!through.empty() && through != "iso" && through != "ansi") {
    std::fprintf(stderr, "real_eval: --through takes iso or ansi\n%s", kUsage);
    return 2;
  }
  const fmr::TFormat record = through == "ansi" ? fmr::TFormat::Ansi2004 : fmr::TFormat::Iso2005;
  realeval::FarTail tail;
  if (!tailPath.empty() && !ReadFarTail(tailPath, tail)) {
    std::fprintf(stderr, "real_eval: %s holds no thresholds at 1e-2, 1e-3 and 1e-4 (ascending)\n", tailPath.c_str());
    return 2;
  }

  // The sets and their impressions.
  std::vector<Set> sets;
  std::vector<Image> images;
  std::error_code ec;
  std::vector<fs::path> dirs;
  for (const auto& e : fs::directory_iterator(root, ec))
    if (e.is_directory()) dirs.push_back(e.path());
  std::sort(dirs.begin(), dirs.end());
  for (const auto& d : dirs) {
    const std::string name = d.filename().string();
    if (!only.empty() && std::find(only.begin(), only.end(), name) == only.end()) continue;
    Set s;
    s.name = name;
    std::vector<Image> found;
    for (const auto& e : fs::directory_iterator(d, ec)) {
      int f = 0, imp = 0;
      char tail[8] = {};
      const std::string file = e.path().filename().string();
      if (std::sscanf(file.c_str(), "%d_%d.%3s", &f, &imp, tail) == 3 && std::string(tail) == "png") {
        Image im;
        im.set = static_cast<int>(sets.size());
        im.finger = f;
        im.impression = imp;
        im.path = e.path().string();
        im.name = e.path().stem().string();
        found.push_back(im);
      }
    }
    if (found.empty()) continue;
    std::sort(found.begin(), found.end(), [](const Image& a, const Image& b) {
      return a.finger != b.finger ? a.finger < b.finger : a.impression < b.impression;
    });
    for (auto& im : found) {
      s.images.push_back(static_cast<int>(images.size()));
      images.push_back(std::move(im));
    }
    sets.push_back(std::move(s));
  }
  if (ec || sets.empty()) {
    std::fprintf(stderr, "real_eval: no sets of FFF_I.png impressions in %s\n", root.c_str());
    return 1;
  }
  const int n = static_cast<int>(images.size());
  std::printf("real_eval: %d impressions in %zu sets under %s, %d threads\n", n, sets.size(), root.c_str(), threads);
  if (!through.empty()) std::printf("every template through an %s record and back\n", fmr::FormatName(record));

  // Templates.
  std::atomic<int> failed{0};
  const auto t0 = std::chrono::steady_clock::now();
  Parallel(n, threads, [&](int i, int) {
    Image& im = images[static_cast<size_t>(i)];
    const Set& s = sets[static_cast<size_t>(im.set)];
    if (!inDir.empty()) {
      if (!ReadFile(fs::path(inDir) / s.name / (im.name + ".nfr"), im.record) || im.record.size() < 26) {
        std::fprintf(stderr, "real_eval: no template for %s/%s in %s\n", s.name.c_str(), im.name.c_str(), inDir.c_str());
        ++failed;
        return;
      }
      im.minutiae = im.record[24];
    } else {
      int w = 0, h = 0;
      std::vector<uint8_t> px;
      std::string why;
      if (!ReadPng(im.path, w, h, px, why)) {
        std::fprintf(stderr, "real_eval: %s: %s\n", im.path.c_str(), why.c_str());
        ++failed;
        return;
      }
      omx::Features f;
      im.record = ExtractRecord(px, w, h, cfg, im.minutiae, &f);
      im.measures = f.qualityMeasures;
      if (const auto l = LocalizarItensNF(im.record.data(), im.record.size(), tiMinucia))
        for (int32_t k = 0; k < l->Quantidade; ++k) {
          const TItemNF it = LerItemNF(im.record.data(), *l, k);
          omx::MinutiaMeasures found;
          for (const auto& m : f.minutiae)
            if (m.x == it.X && m.y == it.Y && m.quality == it.Qualidade) {
              found = m.measures;
              break;
            }
          im.minutiaMeasures.push_back(found);
        }
      if (quality) {
        // The same picture moved and turned, for the score's stability.
        const omx::bmp::Grey g{w, h, px};
        const double turn = 10 * 3.14159265358979323846 / 180;
        const double moves[4][3] = {{8, 0, 0}, {0, 8, 0}, {0, 0, turn}, {0, 0, -turn}};
        for (int k = 0; k < 4; ++k) {
          const auto t = omx::eval::Transform(g, moves[k][0], moves[k][1], moves[k][2]);
          int m = 0;
          im.moved[k] = ExtractRecord(t.pixels, w, h, cfg, m)[16];
        }
      }
    }
    im.quality = im.record.size() > 16 ? im.record[16] : 0;
    if (const auto l = LocalizarItensNF(im.record.data(), im.record.size(), tiMinucia))
      for (int32_t k = 0; k < l->Quantidade; ++k) im.minutiaQuality.push_back(LerItemNF(im.record.data(), *l, k).Qualidade);
    im.timesPaired.assign(im.minutiaQuality.size(), 0);
    try {
      if (!through.empty()) {
        const std::vector<uint8_t> r = fmr::FromNFRecord(im.record.data(), im.record.size(), record, {});
        std::vector<uint8_t> back = fmr::ToNFRecord(r.data(), r.size(), record, 0);
        im.periodErrors = PeriodErrors(im.record, back);
        im.record = std::move(back);
      }
      matching::PrepareTemplate(im.record.data(), im.record.size(), im.block);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "real_eval: %s/%s: %s\n", s.name.c_str(), im.name.c_str(), e.what());
      ++failed;
    }
  });
  if (failed) return 1;
  if (!through.empty()) {
    std::vector<double> errors;
    size_t minutiae = 0;
    for (const auto& im : images) {
      errors.insert(errors.end(), im.periodErrors.begin(), im.periodErrors.end());
      minutiae += static_cast<size_t>(im.minutiae);
    }
    std::vector<double> absolute;
    double mean = 0;
    for (double e : errors) absolute.push_back(std::abs(e)), mean += e;
    std::sort(absolute.begin(), absolute.end());
    auto at = [&](double q) { return absolute.empty() ? 0.0 : 100 * absolute[static_cast<size_t>(q * (absolute.size() - 1))]; };
    std::printf("ridge periods back from the record's ridge counts: %zu of %zu minutiae, off by %.1f %% (median), %.1f %% "
                "(90th percentile), %+.1f %% on average\n",
                errors.size(), minutiae, at(0.5), at(0.9), errors.empty() ? 0.0 : 100 * mean / static_cast<double>(errors.size()));
  }
  const double extractSecs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!outDir.empty()) {
    for (const auto& im : images) {
      const fs::path dir = fs::path(outDir) / sets[static_cast<size_t>(im.set)].name;
      fs::create_directories(dir, ec);
      std::ofstream o(dir / (im.name + ".nfr"), std::ios::binary);
      o.write(reinterpret_cast<const char*>(im.record.data()), static_cast<std::streamsize>(im.record.size()));
    }
  }

  // Scores: every pair of a set once (the score is symmetric).
  std::vector<Pair> pairs;
  for (const auto& s : sets)
    for (size_t x = 0; x < s.images.size(); ++x)
      for (size_t y = x + 1; y < s.images.size(); ++y) pairs.push_back({s.images[x], s.images[y]});
  std::vector<int> score(pairs.size());
  std::vector<std::vector<std::pair<int, int>>> pairedIn(pairs.size());  // genuine pairs: minutiae paired (a's, b's)
  std::vector<matching::TComparison::TDetail> detail(pairs.size());
  std::vector<matching::TComparison> comparisons(static_cast<size_t>(threads));
  const auto t1 = std::chrono::steady_clock::now();
  {
    // Rows of one probe at a time, so that each probe is prepared once.
    std::vector<size_t> rowStart;
    for (size_t k = 0; k < pairs.size(); ++k)
      if (k == 0 || pairs[k].a != pairs[k - 1].a) rowStart.push_back(k);
    rowStart.push_back(pairs.size());
    Parallel(static_cast<int>(rowStart.size()) - 1, threads, [&](int r, int t) {
      matching::TProbe probe;
      probe.PrepareBlock(images[static_cast<size_t>(pairs[rowStart[r]].a)].block.data());
      for (size_t k = rowStart[r]; k < rowStart[r + 1]; ++k)
      {
        auto& cmp = comparisons[static_cast<size_t>(t)];
        score[k] = cmp.Score(probe, images[static_cast<size_t>(pairs[k].b)].block.data());
        detail[k] = cmp.Last();
        if (minutiaQuality && images[static_cast<size_t>(pairs[k].a)].finger == images[static_cast<size_t>(pairs[k].b)].finger)
          for (int j = 0; j < probe.Template().Count; ++j)
            if (const int b = cmp.PairOf(j); b >= 0) pairedIn[k].push_back({j, b});
      }
    });
  }
  const double compareSecs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
  realeval::Scores pooled;
  std::FILE* scores = scoresPath.empty() ? nullptr : std::fopen(scoresPath.c_str(), "w");
  for (size_t k = 0; k < pairs.size(); ++k) {
    const Image& a = images[static_cast<size_t>(pairs[k].a)];
    const Image& b = images[static_cast<size_t>(pairs[k].b)];
    const bool genuine = a.finger == b.finger;
    sets[static_cast<size_t>(a.set)].scores.Add(genuine, score[k]);
    pooled.Add(genuine, score[k]);
    if (scores)
      std::fprintf(scores, "%s\t%s\t%s\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\n", sets[static_cast<size_t>(a.set)].name.c_str(), a.name.c_str(),
                   b.name.c_str(), genuine ? 1 : 0, score[k], detail[k].Paired, detail[k].Weight, detail[k].InP, detail[k].InC,
                   a.minutiae, b.minutiae, detail[k].Supported, detail[k].Supported2, detail[k].SupportEdges,
                   detail[k].AreaP, detail[k].AreaC, detail[k].SupportWeight, detail[k].Anchor);
  }
  if (scores) std::fclose(scores);
  for (auto& s : sets) s.scores.Sort();
  pooled.Sort();
  std::printf("templates in %.1f s, %zu comparisons in %.1f s\n", extractSecs, pairs.size(), compareSecs);
  {
    // Native memory of the prepared blocks that a gallery keeps.
    double bytes = 0, minutiae = 0;
    for (const auto& im : images) bytes += static_cast<double>(im.block.size()), minutiae += matching::BlockCount(im.block.data());
    std::printf("prepared blocks: %.0f bytes a template on average, %.1f bytes a minutia\n\n", bytes / static_cast<double>(images.size()),
                bytes / std::max(1.0, minutiae));
  }

  // Per set and pooled.
  const double shipped[3] = {1e-2, 1e-3, 1e-4};
  int thresholds[3];
  for (int k = 0; k < 3; ++k) thresholds[k] = matching::Threshold(shipped[k]);
  std::printf("Shipped thresholds: %d at FMR 1e-2, %d at 1e-3, %d at 1e-4\n\n", thresholds[0], thresholds[1], thresholds[2]);
  std::printf("| set | genuine | impostor | EER %% | FMR100 %% | FMR1000 %% | minutiae | < 6 minutiae |"
              " FNMR / FMR %% at 1e-2 | at 1e-3 | at 1e-4 |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  int fewPooled = 0;
  double minutiaePooled = 0;
  auto row = [&](const std::string& name, const realeval::Scores& s, const std::vector<int>& ims) {
    int few = 0;
    double m = 0;
    for (int i : ims) {
      m += images[static_cast<size_t>(i)].minutiae;
      few += images[static_cast<size_t>(i)].minutiae < 6;
    }
    std::printf("| %s | %zu | %zu | %.2f | %.2f | %.2f | %.1f | %d of %zu |", name.c_str(), s.gen.size(), s.imp.size(), 100 * s.Eer(),
                100 * s.FnmrAtFmr(1e-2), 100 * s.FnmrAtFmr(1e-3), m / std::max<size_t>(1, ims.size()), few, ims.size());
    for (int t : thresholds) std::printf(" %.2f / %.3f |", 100 * s.Fnmr(t), 100 * s.Fmr(t));
    std::printf("\n");
    return std::make_pair(few, m);
  };
  std::vector<int> all(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) all[static_cast<size_t>(i)] = i;
  for (const auto& s : sets) row(s.name, s.scores, s.images);
  std::tie(fewPooled, minutiaePooled) = row("pooled", pooled, all);

  // Thresholds derived without the set they are measured on.
  std::printf("\nHeld out: thresholds derived from the other sets' impostor scores%s, measured on the set left out\n\n",
              tail.Valid() ? " and the generated set's far tail" : "");
  std::printf("| set left out | threshold at 1e-2 | FMR %% | FNMR %% | threshold at 1e-3 | FMR %% | FNMR %% |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  long passes[2] = {0, 0}, rejected[2] = {0, 0}, impTotal = 0, genTotal = 0;
  double worstSet1e3 = 0;
  for (size_t k = 0; k < sets.size(); ++k) {
    realeval::Scores others;
    for (size_t j = 0; j < sets.size(); ++j)
      if (j != k) others.Merge(sets[j].scores);
    others.Sort();
    const auto& s = sets[k].scores;
    std::printf("| %s |", sets[k].name.c_str());
    int r = 0;
    const realeval::Thresholds derived = realeval::DeriveThresholds(others, tail);
    for (double rate : {1e-2, 1e-3}) {
      const int t = rate == 1e-2 ? derived.t2 : derived.t3;
      std::printf(" %d | %.3f | %.2f |", t, 100 * s.Fmr(t), 100 * s.Fnmr(t));
      passes[r] += s.ImpostorsAtLeast(t);
      rejected[r] += s.GenuinesBelow(t);
      if (rate == 1e-3) worstSet1e3 = std::max(worstSet1e3, s.Fmr(t));
      ++r;
    }
    impTotal += static_cast<long>(s.imp.size());
    genTotal += static_cast<long>(s.gen.size());
    std::printf("\n");
  }
  const double heldFmr2 = impTotal ? static_cast<double>(passes[0]) / impTotal : 0;
  const double heldFmr3 = impTotal ? static_cast<double>(passes[1]) / impTotal : 0;
  const double heldFnmr3 = genTotal ? static_cast<double>(rejected[1]) / genTotal : 0;
  std::printf("| pooled over the held-out runs | | %.3f | %.2f | | %.3f | %.2f |\n", 100 * heldFmr2,
              genTotal ? 100.0 * rejected[0] / genTotal : 0, 100 * heldFmr3, 100 * heldFnmr3);
  const realeval::Thresholds derivedAll = realeval::DeriveThresholds(pooled, tail);
  std::printf("\nThresholds from all sets: %d at 1e-2, %d at 1e-3, %d at 1e-4 (%s)\n", derivedAll.t2, derivedAll.t3, derivedAll.t4,
              tail.Valid() ? "1e-4: the real tail continued with the generated set's shape" : "1e-4: empirical, rough");
  if (!thresholdsPath.empty()) {
    if (!WriteThresholds(thresholdsPath, derivedAll, pooled, sets.size(), tail)) {
      std::fprintf(stderr, "real_eval: cannot write %s\n", thresholdsPath.c_str());
      return 1;
    }
    std::printf("thresholds written to %s\n", thresholdsPath.c_str());
  }

  // Speed: one thread, after the parallel work.
  double extractMs = 0, compareUs = 0;
  if (timing) {
    const Set* big = nullptr;
    for (const auto& s : sets)
      if (s.name == "FVC2002_DB1_B") big = &s;
    if (!big) big = &sets.front();
    std::vector<double> ms;
    for (size_t k = 0; k < big->images.size() && k < 40 && inDir.empty(); ++k) {
      const Image& im = images[static_cast<size_t>(big->images[k])];
      int w = 0, h = 0, m = 0;
      std::vector<uint8_t> px;
      std::string why;
      if (!ReadPng(im.path, w, h, px, why)) continue;
      const double c0 = ThreadCpuMs();
      ExtractRecord(px, w, h, cfg, m);
      ms.push_back(ThreadCpuMs() - c0);
    }
    extractMs = Median(ms);
    // Prepared probes against every other template of the pooled list, one thread.
    matching::TComparison cmp;
    long count = 0;
    const double c0 = ThreadCpuMs();
    volatile int sink = 0;
    for (int i = 0; i < n && (ThreadCpuMs() - c0) < 3000; i += 7) {
      matching::TProbe probe;
      probe.PrepareBlock(images[static_cast<size_t>(i)].block.data());
      for (int j = 0; j < n; ++j)
        if (j != i) {
          sink = sink + cmp.Score(probe, images[static_cast<size_t>(j)].block.data());
          ++count;
        }
    }
    const double us = (ThreadCpuMs() - c0) * 1e3;
    compareUs = count ? us / static_cast<double>(count) : 0;
    std::printf("\nSpeed on one core (CPU time): extraction %.2f ms per picture (median of %zu, %s), comparison with a prepared "
                "probe %.1f us (%.0f per second)\n",
                extractMs, ms.size(), big->name.c_str(), compareUs, compareUs > 0 ? 1e6 / compareUs : 0.0);
  }

  if (quality) ReportQuality(sets, images, pairs, score, qualityPlot, qualityOut, inDir.empty());
  if (minutiaQuality) {
    for (size_t k = 0; k < pairs.size(); ++k)
      for (const auto& [j, b] : pairedIn[k]) {
        auto& pa = images[static_cast<size_t>(pairs[k].a)].timesPaired;
        auto& pb = images[static_cast<size_t>(pairs[k].b)].timesPaired;
        if (static_cast<size_t>(j) < pa.size()) ++pa[static_cast<size_t>(j)];
        if (static_cast<size_t>(b) < pb.size()) ++pb[static_cast<size_t>(b)];
      }
    ReportMinutiaQuality(sets, images, minutiaOut);
  }

  if (!plotPath.empty()) {
    PlotDet(sets, pooled, plotPath);
    std::printf("\nDET plot: %s\n", plotPath.c_str());
  }

  if (aims) {
    std::vector<Aim> list;
    for (const auto& s : sets) {
      auto it = kEerAim.find(s.name);
      if (it != kEerAim.end()) list.push_back({s.name + " EER", 100 * s.scores.Eer(), it->second, true, "%"});
    }
    list.push_back({"pooled EER", 100 * pooled.Eer(), 6.0, true, "%"});
    list.push_back({"pooled FMR100", 100 * pooled.FnmrAtFmr(1e-2), 9.0, true, "%"});
    list.push_back({"pooled FMR1000", 100 * pooled.FnmrAtFmr(1e-3), 13.0, true, "%"});
    list.push_back({"images with fewer than 6 minutiae", static_cast<double>(fewPooled), 1, true, ""});
    list.push_back({"held-out FMR at threshold(1e-3), pooled, at least", 100 * heldFmr3, 0.05, false, "%"});
    list.push_back({"held-out FMR at threshold(1e-3), pooled, at most", 100 * heldFmr3, 0.2, true, "%"});
    list.push_back({"held-out FMR at threshold(1e-3), worst set", 100 * worstSet1e3, 0.4, true, "%"});
    list.push_back({"held-out FMR at threshold(1e-2), pooled, at least", 100 * heldFmr2, 0.5, false, "%"});
    list.push_back({"held-out FMR at threshold(1e-2), pooled, at most", 100 * heldFmr2, 2.0, true, "%"});
    list.push_back({"genuine pairs rejected at threshold(1e-3), held out", 100 * heldFnmr3, 13.0, true, "%"});
    if (timing) {
      list.push_back({"extraction CPU time per picture", extractMs, 7.0, true, " ms"});
      list.push_back({"comparisons per second per core", compareUs > 0 ? 1e6 / compareUs : 0, 40000, false, ""});
    }
    std::printf("\n| aim | measured | limit | met |\n|---|---|---|---|\n");
    int unmet = 0;
    for (const auto& a : list) {
      const bool met = a.atMost ? a.value <= a.limit : a.value >= a.limit;
      unmet += !met;
      std::printf("| %s | %.3g%s | %s %.3g%s | %s |\n", a.what.c_str(), a.value, a.unit.c_str(), a.atMost ? "<=" : ">=", a.limit,
                  a.unit.c_str(), met ? "yes" : "NO");
    }
    std::printf("\n%d of %zu aims met\n", static_cast<int>(list.size()) - unmet, list.size());
  }
  return 0;
}
