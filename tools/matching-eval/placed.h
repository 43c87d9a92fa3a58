// Templates made directly from placed minutiae, for the matcher's tests and
// benchmarks: no image and no extraction, so that the truth is known exactly.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace placed {

constexpr double kPi = 3.14159265358979323846;

// Picture coordinates (y down); angle in 256 steps counter-clockwise from +X
// as the picture is seen.
struct Minutia {
  int x, y, type, angle;
};

// NFRecord bytes with the minutiae given (no optional minutia bytes, empty
// blocks after them). Minutiae outside 0..2047 are left out.
inline std::vector<uint8_t> Record(const std::vector<Minutia>& m) {
  std::vector<uint8_t> rec(26, 0);
  int count = 0;
  for (const auto& p : m) {
    if (p.x < 0 || p.y < 0 || p.x > 2047 || p.y > 2047 || count == 255) continue;
    const uint32_t w = static_cast<uint32_t>(p.x) << 21 | static_cast<uint32_t>(p.y) << 10 |
                       static_cast<uint32_t>(p.type & 3) << 8 | static_cast<uint32_t>(p.angle & 255);
    for (int b = 0; b < 4; ++b) rec.push_back(static_cast<uint8_t>(w >> (8 * b)));
    ++count;
  }
  rec[24] = static_cast<uint8_t>(count);
  rec[25] = 4;
  rec.insert(rec.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0});  // empty block, no cores, deltas or double cores
  return rec;
}

// 30 to 70 minutiae at least 10 pixels apart inside an elliptic area about
// (194, 187), directions following a loop-shaped ridge flow (so that, as in
// real prints, neighbouring minutiae have related directions), about half of
// them bifurcations.
inline std::vector<Minutia> Finger(std::mt19937& rng) {
  std::uniform_real_distribution<double> u(0, 1);
  const int count = 30 + static_cast<int>(u(rng) * 41);
  const double cx = 194 + 20 * (u(rng) - 0.5), cy = 187 + 20 * (u(rng) - 0.5), ra = 150, rb = 175;
  const double coreX = cx + 40 * (u(rng) - 0.5), coreY = cy - 40 + 40 * (u(rng) - 0.5), turn = 0.6 * (u(rng) - 0.5);
  std::vector<Minutia> out;
  int tries = 0;
  while (static_cast<int>(out.size()) < count && ++tries < 10000) {
    const double x = cx + ra * (2 * u(rng) - 1), y = cy + rb * (2 * u(rng) - 1);
    if (std::pow((x - cx) / ra, 2) + std::pow((y - cy) / rb, 2) > 1) continue;
    bool close = false;
    for (const auto& p : out) close |= std::hypot(p.x - x, p.y - y) < 10;
    if (close) continue;
    double flow = 0.5 * std::atan2(-(y - coreY), x - coreX) + turn + 0.2 * (u(rng) - 0.5);
    const int type = u(rng) < 0.5 ? 1 : 2;
    if (type == 2) flow += kPi;
    out.push_back({static_cast<int>(x), static_cast<int>(y), type, static_cast<int>(std::lround(flow / (2 * kPi) * 256)) & 255});
  }
  return out;
}

// Another impression of the same minutiae: turned by `degrees` (counter-
// clockwise as seen) about (cx, cy), moved by (dx, dy), every minutia shifted
// by up to `jitter` pixels and turned by up to `angleJitter` steps.
inline std::vector<Minutia> Transform(const std::vector<Minutia>& m, double degrees, int dx, int dy, std::mt19937& rng,
                                      double jitter = 0, int angleJitter = 0, double cx = 194, double cy = 187) {
  std::uniform_real_distribution<double> u(-1, 1);
  const double a = degrees * kPi / 180, c = std::cos(a), s = std::sin(a);
  std::vector<Minutia> out;
  for (const auto& p : m) {
    // y up while turning, so that a positive angle turns counter-clockwise as seen.
    const double ux = p.x - cx, uy = -(p.y - cy);
    const double rx = c * ux - s * uy, ry = s * ux + c * uy;
    const int x = static_cast<int>(std::lround(cx + rx + dx + jitter * u(rng)));
    const int y = static_cast<int>(std::lround(cy - ry + dy + jitter * u(rng)));
    const int turn = static_cast<int>(std::lround(degrees * 256 / 360 + angleJitter * u(rng)));
    out.push_back({x, y, p.type, (p.angle + turn) & 255});
  }
  return out;
}

// Drops `share` of the minutiae at random and adds `spurious` random ones
// within the bounding box of the rest.
inline std::vector<Minutia> Corrupt(std::vector<Minutia> m, double share, int spurious, std::mt19937& rng) {
  std::shuffle(m.begin(), m.end(), rng);
  m.resize(m.size() - static_cast<size_t>(std::lround(share * m.size())));
  int x0 = 2047, y0 = 2047, x1 = 0, y1 = 0;
  for (const auto& p : m) x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
  std::uniform_int_distribution<int> ux(x0, std::max(x0, x1)), uy(y0, std::max(y0, y1)), ua(0, 255), ut(1, 2);
  for (int k = 0; k < spurious; ++k) m.push_back({ux(rng), uy(rng), ut(rng), ua(rng)});
  std::shuffle(m.begin(), m.end(), rng);
  return m;
}

}  // namespace placed
