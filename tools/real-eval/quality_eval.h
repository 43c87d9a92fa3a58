// How well the engine's image quality score predicts matching errors on real
// sets: the error-versus-reject curve (FNMR at a fixed threshold once the
// worst-scoring share of pictures is set aside, beside setting aside a random
// share), the rank correlation of an image's score with the mean genuine
// score of its pairs, and the score's stability on moved and turned pictures.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "plot.h"

namespace realeval {

struct QualityPair {
  int a, b;   // image indices
  int score;  // the matcher's
};

// FNMR at threshold t over the genuine pairs whose two images are both kept.
inline double FnmrKept(const std::vector<QualityPair>& gen, const std::vector<bool>& kept, int t, long* left = nullptr) {
  long n = 0, below = 0;
  for (const auto& p : gen)
    if (kept[static_cast<size_t>(p.a)] && kept[static_cast<size_t>(p.b)]) {
      ++n;
      below += p.score < t;
    }
  if (left) *left = n;
  return n ? static_cast<double>(below) / static_cast<double>(n) : 0;
}

// Keeps all but the `reject` lowest-scoring images (ties: the earlier image kept).
inline std::vector<bool> KeepBest(const std::vector<int>& quality, int reject) {
  std::vector<int> order(quality.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int x, int y) { return quality[static_cast<size_t>(x)] < quality[static_cast<size_t>(y)]; });
  std::vector<bool> kept(quality.size(), true);
  for (int k = 0; k < reject && k < static_cast<int>(order.size()); ++k) kept[static_cast<size_t>(order[static_cast<size_t>(k)])] = false;
  return kept;
}

// Mean FNMR when `reject` images chosen at random are set aside (fixed seed).
inline double FnmrRandomReject(const std::vector<QualityPair>& gen, size_t images, int reject, int t, int draws = 200) {
  std::mt19937 rng(12345);
  std::vector<int> order(images);
  double sum = 0;
  for (int d = 0; d < draws; ++d) {
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<bool> kept(images, true);
    for (int k = 0; k < reject && k < static_cast<int>(images); ++k) kept[static_cast<size_t>(order[static_cast<size_t>(k)])] = false;
    sum += FnmrKept(gen, kept, t);
  }
  return sum / draws;
}

// Ranks 1..n, ties sharing their mean rank.
inline std::vector<double> Ranks(const std::vector<double>& v) {
  std::vector<size_t> order(v.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return v[a] < v[b]; });
  std::vector<double> r(v.size());
  for (size_t i = 0; i < order.size();) {
    size_t j = i;
    while (j + 1 < order.size() && v[order[j + 1]] == v[order[i]]) ++j;
    for (size_t k = i; k <= j; ++k) r[order[k]] = (i + j) / 2.0 + 1;
    i = j + 1;
  }
  return r;
}

inline double Spearman(const std::vector<double>& x, const std::vector<double>& y) {
  const auto rx = Ranks(x), ry = Ranks(y);
  const double n = static_cast<double>(x.size());
  if (n < 2) return 0;
  double mx = 0, my = 0;
  for (size_t i = 0; i < rx.size(); ++i) mx += rx[i], my += ry[i];
  mx /= n;
  my /= n;
  double sxy = 0, sxx = 0, syy = 0;
  for (size_t i = 0; i < rx.size(); ++i) {
    sxy += (rx[i] - mx) * (ry[i] - my);
    sxx += (rx[i] - mx) * (rx[i] - mx);
    syy += (ry[i] - my) * (ry[i] - my);
  }
  return sxx > 0 && syy > 0 ? sxy / std::sqrt(sxx * syy) : 0;
}

// The error-versus-reject curve, 0 to 30 % set aside: by score and at random.
inline void PlotRejectCurve(const std::vector<double>& share, const std::vector<double>& byScore, const std::vector<double>& random,
                            const std::string& path) {
  const int W = 800, H = 560, L = 80, R = 40, T = 50, B = 60;
  plot::Canvas c(W, H);
  double yMax = 0;
  for (double v : byScore) yMax = std::max(yMax, v);
  for (double v : random) yMax = std::max(yMax, v);
  yMax = std::max(0.01, std::ceil(yMax * 100 / 2) * 2 / 100);
  const double xMax = share.empty() ? 0.3 : share.back();
  auto px = [&](double x) { return L + static_cast<int>((W - L - R) * x / xMax); };
  auto py = [&](double y) { return T + static_cast<int>((H - T - B) * (1 - y / yMax)); };
  for (int k = 0; k <= 6; ++k) {
    const double x = xMax * k / 6;
    c.Line(px(x), T, px(x), H - B, 0xE0E0E0);
    c.Text(px(x) - 8, H - B + 8, std::to_string(static_cast<int>(std::lround(100 * x))) + "%", 0x000000);
  }
  for (int k = 0; k <= 5; ++k) {
    const double y = yMax * k / 5;
    c.Line(L, py(y), W - R, py(y), 0xE0E0E0);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.1f%%", 100 * y);
    c.Text(L - 50, py(y) - 3, buf, 0x000000);
  }
  c.Line(L, T, L, H - B, 0x000000);
  c.Line(L, H - B, W - R, H - B, 0x000000);
  auto curve = [&](const std::vector<double>& ys, uint32_t colour) {
    for (size_t k = 1; k < ys.size(); ++k)
      for (int d = 0; d < 2; ++d) c.Line(px(share[k - 1]), py(ys[k - 1]) + d, px(share[k]), py(ys[k]) + d, colour);
  };
  curve(random, 0x7F7F7F);
  curve(byScore, 0x1F77B4);
  c.Box(W - R - 250, T + 10, W - R - 240, T + 18, 0x1F77B4);
  c.Text(W - R - 234, T + 11, "WORST BY QUALITY SET ASIDE", 0x000000);
  c.Box(W - R - 250, T + 26, W - R - 240, T + 34, 0x7F7F7F);
  c.Text(W - R - 234, T + 27, "SET ASIDE AT RANDOM", 0x000000);
  c.Text(L, 14, "FNMR AT THRESHOLD(1E-3) AGAINST PICTURES SET ASIDE", 0x000000, 2);
  c.Text(W / 2 - 80, H - 26, "SHARE OF PICTURES SET ASIDE", 0x000000);
  if (!plot::SavePng(path, c)) std::fprintf(stderr, "real_eval: cannot write %s\n", path.c_str());
}

}  // namespace realeval
