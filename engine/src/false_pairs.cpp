#include "false_pairs.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace omx {

namespace {

constexpr double kPi = 3.14159265358979323846;

}  // namespace

double WrapPi(double a) {
  a = std::fmod(a, 2 * kPi);
  if (a > kPi) a -= 2 * kPi;
  if (a <= -kPi) a += 2 * kPi;
  return a;
}

namespace {

// a comes before b in the list; the decision uses a's period and b - a.
void Check(PairCandidate& a, PairCandidate& b) {
  const double T = a.period;
  const double dx = b.x - a.x, dy = b.y - a.y, d = std::hypot(dx, dy);
  if (d > 2 * T) return;
  if (d < 0.5 * T) {
    a.drop = b.drop = true;
    return;
  }
  if (a.type == 0 && b.type == 0 && d < 1.6 * T) {
    const double ab = std::atan2(-dy, dx);
    const bool facing = std::fabs(WrapPi(a.angle - b.angle)) > 2.4 && std::fabs(WrapPi(a.angle + kPi - ab)) < 0.8 &&
                        std::fabs(WrapPi(b.angle - ab)) < 0.8;
    if (facing) a.drop = b.drop = true;
  }
}

}  // namespace

void DropFalsePairs(std::vector<PairCandidate>& cand) {
  const size_t n = cand.size();
  if (n < 2) return;
  int x0 = cand[0].x, y0 = cand[0].y, x1 = x0, y1 = y0;
  double reach = 0;
  for (const auto& c : cand) {
    x0 = std::min(x0, c.x);
    y0 = std::min(y0, c.y);
    x1 = std::max(x1, c.x);
    y1 = std::max(y1, c.y);
    reach = std::max(reach, 2 * c.period);
  }
  // A side of at least the largest reach: a qualifying pair is never more than
  // one cell apart in either direction. Larger cells are still right, only
  // slower; the grid is kept to at most 512 x 512 cells. (A NaN period fails
  // every test, so it qualifies nothing and is left out of the reach.)
  const long span = std::max(x1 - x0, y1 - y0) + 1L;
  long side = std::max(1L, (span + 511) / 512);
  if (reach < static_cast<double>(span)) side = std::max(side, static_cast<long>(std::ceil(reach)));
  else side = span;
  const int gw = static_cast<int>((x1 - x0) / side) + 1, gh = static_cast<int>((y1 - y0) / side) + 1;
  auto cellOf = [&](const PairCandidate& c) {
    return static_cast<size_t>((c.y - y0) / side) * static_cast<size_t>(gw) + static_cast<size_t>((c.x - x0) / side);
  };
  // Counting sort by cell; within a cell the list order is kept.
  std::vector<size_t> start(static_cast<size_t>(gw) * gh + 1, 0), order(n);
  for (const auto& c : cand) ++start[cellOf(c) + 1];
  for (size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
  {
    std::vector<size_t> fill(start.begin(), start.end() - 1);
    for (size_t i = 0; i < n; ++i) order[fill[cellOf(cand[i])]++] = i;
  }
  for (size_t i = 0; i < n; ++i) {
    const int cx = static_cast<int>((cand[i].x - x0) / side), cy = static_cast<int>((cand[i].y - y0) / side);
    for (int gy = std::max(0, cy - 1); gy <= std::min(gh - 1, cy + 1); ++gy)
      for (int gx = std::max(0, cx - 1); gx <= std::min(gw - 1, cx + 1); ++gx) {
        const size_t cell = static_cast<size_t>(gy) * gw + gx;
        for (size_t k = start[cell]; k < start[cell + 1]; ++k)
          if (order[k] > i) Check(cand[i], cand[order[k]]);
      }
  }
}

}  // namespace omx
