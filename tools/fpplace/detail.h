// Small helpers shared by the generator's files. Random numbers are our own
// (not <random>'s distributions, whose output differs between standard
// libraries), so a seed gives the same draws with every compiler.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace fpplace::detail {

constexpr double kPi = 3.14159265358979323846;

inline uint64_t Mix(uint64_t a, uint64_t b) {
  uint64_t z = a * 0x9E3779B97F4A7C15ull + b + 0x632BE59BD9B4E019ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t Next() {
    uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double U() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }  // [0, 1)
  double U(double a, double b) { return a + (b - a) * U(); }
  double Normal() {
    double u1 = std::max(U(), 1e-300), u2 = U();
    return std::sqrt(-2 * std::log(u1)) * std::cos(2 * kPi * u2);
  }

 private:
  uint64_t s_;
};

inline double WrapPi(double a) {  // to [-pi, pi)
  return a - 2 * kPi * std::floor((a + kPi) / (2 * kPi));
}

inline double SmoothStep(double t) {
  t = std::clamp(t, 0.0, 1.0);
  return t * t * (3 - 2 * t);
}

// Value noise in [-1, 1] with features about `cell` pixels across.
inline double ValueNoise(uint64_t seed, double cell, double x, double y) {
  double fx = x / cell, fy = y / cell;
  double ix = std::floor(fx), iy = std::floor(fy);
  double ax = SmoothStep(fx - ix), ay = SmoothStep(fy - iy);
  auto at = [&](double gx, double gy) {
    uint64_t h = Mix(Mix(seed, static_cast<uint64_t>(static_cast<int64_t>(gx))), static_cast<uint64_t>(static_cast<int64_t>(gy)));
    return static_cast<double>(h >> 11) * (2.0 / 9007199254740992.0) - 1;
  };
  double a = at(ix, iy), b = at(ix + 1, iy), c = at(ix, iy + 1), d = at(ix + 1, iy + 1);
  return (1 - ay) * ((1 - ax) * a + ax * b) + ay * ((1 - ax) * c + ax * d);
}

}  // namespace fpplace::detail
