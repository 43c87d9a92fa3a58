// Error rates of a set of genuine and impostor scores. A pair matches at
// threshold t when its score is at least t.
#pragma once

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace realeval {

struct Scores {
  std::vector<int> gen, imp;  // ascending after Sort

  void Add(bool genuine, int score) { (genuine ? gen : imp).push_back(score); }
  void Merge(const Scores& o) {
    gen.insert(gen.end(), o.gen.begin(), o.gen.end());
    imp.insert(imp.end(), o.imp.begin(), o.imp.end());
  }
  void Sort() {
    std::sort(gen.begin(), gen.end());
    std::sort(imp.begin(), imp.end());
  }
  long ImpostorsAtLeast(int t) const { return static_cast<long>(imp.end() - std::lower_bound(imp.begin(), imp.end(), t)); }
  long GenuinesBelow(int t) const { return static_cast<long>(std::lower_bound(gen.begin(), gen.end(), t) - gen.begin()); }
  double Fmr(int t) const { return imp.empty() ? 0 : static_cast<double>(ImpostorsAtLeast(t)) / static_cast<double>(imp.size()); }
  double Fnmr(int t) const { return gen.empty() ? 0 : static_cast<double>(GenuinesBelow(t)) / static_cast<double>(gen.size()); }

  // Every threshold where a rate changes, ascending.
  std::vector<int> Steps() const {
    std::vector<int> t;
    for (int s : gen) t.push_back(s), t.push_back(s + 1);
    for (int s : imp) t.push_back(s), t.push_back(s + 1);
    std::sort(t.begin(), t.end());
    t.erase(std::unique(t.begin(), t.end()), t.end());
    return t;
  }

  // Equal error rate the way the verification competitions compute it: the
  // middle of the interval where the two curves cross.
  double Eer() const {
    const auto steps = Steps();
    if (steps.empty()) return 0;
    int t1 = steps.front(), t2 = steps.back();
    for (int t : steps)
      if (Fnmr(t) <= Fmr(t)) t1 = t;
    for (auto it = steps.rbegin(); it != steps.rend(); ++it)
      if (Fnmr(*it) >= Fmr(*it)) t2 = *it;
    double lo, hi;
    if (Fnmr(t1) + Fmr(t1) <= Fnmr(t2) + Fmr(t2)) {
      lo = Fnmr(t1);
      hi = Fmr(t1);
    } else {
      lo = Fmr(t2);
      hi = Fnmr(t2);
    }
    return (lo + hi) / 2;
  }

  // The least FNMR with an FMR of at most `rate`.
  double FnmrAtFmr(double rate) const;

  // (FMR, FNMR) at every step, FMR descending.
  std::vector<std::pair<double, double>> Det() const {
    std::vector<std::pair<double, double>> d;
    for (int t : Steps()) d.emplace_back(Fmr(t), Fnmr(t));
    return d;
  }
};

// The least threshold whose FMR on these impostor scores is at most `rate`.
inline int DeriveThreshold(const Scores& s, double rate) {
  const size_t n = s.imp.size();
  if (n == 0) return 0;
  const size_t allowed = static_cast<size_t>(rate * static_cast<double>(n) + 1e-9);
  if (allowed >= n) return s.imp.front();
  return s.imp[n - 1 - allowed] + 1;  // above the (allowed+1)-th highest impostor score
}

inline double Scores::FnmrAtFmr(double rate) const { return Fnmr(DeriveThreshold(*this, rate)); }

// Thresholds of a generated set at FMR 1e-2, 1e-3 and 1e-4: the shape of the
// far impostor tail, which real sets of a few thousand pairs cannot measure.
struct FarTail {
  int t2 = 0, t3 = 0, t4 = 0;
  bool Valid() const { return t3 > t2 && t4 > t3; }
};

// The shipped derivation of thresholds at FMR 1e-2, 1e-3 and 1e-4 from real
// impostor scores: 1e-2 and 1e-3 are the empirical quantiles; 1e-4 continues
// the real tail beyond 1e-3 with the generated set's shape, scaled by how
// the two tails' widths between 1e-2 and 1e-3 compare:
//   t4 = t3 + (g4 - g3) (t3 - t2) / (g3 - g2).
// Without a generated tail, 1e-4 is the empirical quantile (rough).
struct Thresholds {
  int t2 = 0, t3 = 0, t4 = 0;
};
inline Thresholds DeriveThresholds(const Scores& s, const FarTail& tail) {
  Thresholds t;
  t.t2 = DeriveThreshold(s, 1e-2);
  t.t3 = std::max(t.t2 + 1, DeriveThreshold(s, 1e-3));
  if (tail.Valid()) {
    const double scale = static_cast<double>(t.t3 - t.t2) / (tail.t3 - tail.t2);
    t.t4 = t.t3 + static_cast<int>(std::ceil((tail.t4 - tail.t3) * scale - 1e-9));
  } else {
    t.t4 = DeriveThreshold(s, 1e-4);
  }
  t.t4 = std::max(t.t4, t.t3 + 1);
  return t;
}

}  // namespace realeval
