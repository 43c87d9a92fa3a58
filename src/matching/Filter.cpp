#include "matching/Filter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "matching/Matcher.h"

namespace matching {

TFilterTuning& FilterTuning() {
  static TFilterTuning t;
  return t;
}

namespace {

struct TPoint {
  int X, Y, Angle;
};

// Calls f(a, b, c) for every triangle of a minutia with two of its nearest
// neighbours (by the block's edges). A triangle met from more than one of its
// corners comes more than once: its cell is the same each time.
template <class F>
void ForEachTriangle(const uint8_t* block, int nearest, F&& f) {
  TBlockHeader h;
  std::memcpy(&h, block, sizeof h);
  const int n = h.Count;
  const auto* pm = reinterpret_cast<const TPackedMinutia*>(block + sizeof(TBlockHeader));
  const uint8_t* typeForward = block + sizeof(TBlockHeader) + sizeof(TPackedMinutia) * n;
  const auto* pe = reinterpret_cast<const TPackedEdge*>(typeForward + n);
  // Each minutia's edges (both ends) as length * 256 + neighbour, to sort.
  uint16_t near[kMaxMinutiae][kMaxNeighbours];
  uint8_t degree[kMaxMinutiae] = {};
  int e = 0;
  for (int i = 0; i < n; ++i)
    for (int k = typeForward[i] >> 2; k > 0; --k, ++e) {
      const TPackedEdge& x = pe[e];
      near[i][degree[i]++] = static_cast<uint16_t>(x.Length << 8 | x.To);
      near[x.To][degree[x.To]++] = static_cast<uint16_t>(x.Length << 8 | i);
    }
  const int keep = std::clamp(nearest, 2, kMaxNeighbours);
  auto point = [&](int i) { return TPoint{pm[i].X, pm[i].Y, pm[i].Angle}; };
  for (int i = 0; i < n; ++i) {
    uint16_t* ni = near[i];
    const int d = degree[i];
    std::sort(ni, ni + d);
    const int m = std::min(d, keep);
    for (int a = 0; a < m; ++a)
      for (int b = a + 1; b < m; ++b) {
        f(point(i), point(ni[a] & 255), point(ni[b] & 255));
      }
  }
}

int Side(const TPoint& a, const TPoint& b) {
  const int dx = a.X - b.X, dy = a.Y - b.Y;
  return static_cast<int>(std::lround(std::sqrt(static_cast<double>(dx * dx + dy * dy))));
}

// Sine and cosine (Q30) of the bounds between the directions 0 to 32 (256
// steps a turn), the same bits everywhere.
struct TBounds {
  int64_t Sin[32], Cos[32];
  TBounds() {
    for (int k = 0; k < 32; ++k) {
      double sn, cs;
      SinCosSeries(2 * 3.14159265358979323846 * (k + 0.5) / 256, sn, cs);
      Sin[k] = static_cast<int64_t>(std::floor(sn * (1 << 30) + 0.5));
      Cos[k] = static_cast<int64_t>(std::floor(cs * (1 << 30) + 0.5));
    }
  }
};

// Direction from a to b, 256 steps counter-clockwise (block coordinates are y
// up), the nearest step: within the first eighth of the turn by the bounds
// passed, the rest by symmetry.
int Direction(const TPoint& a, const TPoint& b) {
  static const TBounds bounds;
  const int dx = b.X - a.X, dy = b.Y - a.Y;
  int64_t x = std::abs(dx), y = std::abs(dy);
  const bool steep = y > x;
  if (steep) std::swap(x, y);
  int lo = 0, hi = 32;  // steps passed: the bounds k < lo are below the direction
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (y * bounds.Cos[mid] > x * bounds.Sin[mid])
      lo = mid + 1;
    else
      hi = mid;
  }
  int d = steep ? 64 - lo : lo;
  if (dx < 0) d = 128 - d;
  if (dy < 0) d = 256 - d;
  return d & 255;
}

// A value's cell and the neighbour cell nearer to it.
struct TCells {
  int Cell, Near;
};

// Cell c holds the sides s with c <= steps * log2(s / 2) < c + 1, found in
// integers: s^steps against powers of two.
TCells SideCells(int side) {
  const int steps = std::clamp(FilterTuning().SideSteps, 1, 3);
  const uint64_t s = static_cast<uint64_t>(std::clamp(side, 2, 1023));
  uint64_t p = 1;
  for (int k = 0; k < steps; ++k) p *= s;
  const int c = std::bit_width(p) - 1 - steps;
  // The upper half of the cell: s^(2 steps) at least 2^(2 (c + steps) + 1).
  const bool upper = p * p >> (2 * (c + steps) + 1) != 0;
  return {c, upper ? c + 1 : std::max(c - 1, 0)};
}

TCells AngleCells(int angle) {
  const int step = FilterTuning().AngleStep, cells = 256 / step;
  const int c = angle / step;
  return {c, (angle - c * step) * 2 < step ? (c + cells - 1) % cells : (c + 1) % cells};
}

uint16_t Hash(const int* v) {
  uint64_t z = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 6; ++i) {
    z ^= static_cast<uint64_t>(v[i]) + 0x632BE59BD9B4E019ull + (z << 6) + (z >> 2);
    z *= 0xBF58476D1CE4E5B9ull;
  }
  return static_cast<uint16_t>(z >> 48);
}

// The triangle's corners in the order given: sides p0-p1, p1-p2, p2-p0, and
// each corner's direction relative to the side that leaves it.
struct TShape {
  int Side[3];
  int Turn[3];
};

TShape Shape(const TPoint* p) {
  TShape s;
  for (int k = 0; k < 3; ++k) {
    const TPoint& a = p[k];
    const TPoint& b = p[(k + 1) % 3];
    s.Side[k] = Side(a, b);
    s.Turn[k] = (a.Angle - Direction(a, b)) & 255;
  }
  return s;
}

// Orders of the corners (a cyclic turn keeps the triangle's sense: a mirror
// image is another triangle): the three rotations.
constexpr int kTurns[3][3] = {{0, 1, 2}, {1, 2, 0}, {2, 0, 1}};

// The rotation that puts the longest side first (ties: the largest following side, then the first).
int Canonical(const TShape& s) {
  int best = 0;
  for (int r = 1; r < 3; ++r) {
    const int a = s.Side[r], b = s.Side[(r + 1) % 3];
    const int ba = s.Side[best], bb = s.Side[(best + 1) % 3];
    if (a > ba || (a == ba && b > bb)) best = r;
  }
  return best;
}

void Rotate(const TShape& s, int r, TShape& out) {
  for (int k = 0; k < 3; ++k) {
    out.Side[k] = s.Side[kTurns[r][k]];
    out.Turn[k] = s.Turn[kTurns[r][k]];
  }
}

TShape ShapeOf(const TPoint& a, const TPoint& b, const TPoint& c) {
  // Counter-clockwise as seen, so that the cyclic order is the same in every impression.
  const int64_t cross = int64_t{b.X - a.X} * (c.Y - a.Y) - int64_t{b.Y - a.Y} * (c.X - a.X);
  const TPoint p[3] = {a, cross >= 0 ? b : c, cross >= 0 ? c : b};
  return Shape(p);
}

}  // namespace

size_t MakeFilterKey(const uint8_t* block, std::vector<uint16_t>& out) {
  const size_t start = out.size();
  ForEachTriangle(block, FilterTuning().Near, [&](const TPoint& a, const TPoint& b, const TPoint& c) {
    TShape s = ShapeOf(a, b, c), t;
    Rotate(s, Canonical(s), t);
    int v[6];
    for (int k = 0; k < 3; ++k) v[k] = SideCells(t.Side[k]).Cell, v[3 + k] = AngleCells(t.Turn[k]).Cell;
    out.push_back(Hash(v));
  });
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
  out.erase(std::unique(out.begin() + static_cast<std::ptrdiff_t>(start), out.end()), out.end());
  if (out.size() - start > kMaxFilterCells) out.resize(start + kMaxFilterCells);
  return out.size() - start;
}

TFilterProbe::TFilterProbe() : FMap(kFilterMapWords) {}

void TFilterProbe::Prepare(const uint8_t* block) {
  std::fill(FMap.begin(), FMap.end(), 0);
  const auto& tune = FilterTuning();
  const int spread = tune.Spread ? 2 : 1;
  ForEachTriangle(block, FilterTuning().ProbeNear, [&](const TPoint& a, const TPoint& b, const TPoint& c) {
    const TShape s = ShapeOf(a, b, c);
    const int first = Canonical(s);
    for (int r = 0; r < 3; ++r) {
      TShape t;
      Rotate(s, r, t);
      // Another impression may take this rotation where the longest side is
      // not clearly the longest, or the next not clearly the longer.
      if (r != first) {
        TShape c0;
        Rotate(s, first, c0);
        if (t.Side[0] + tune.SideTol < c0.Side[0]) continue;
        if (t.Side[0] + tune.SideTol < t.Side[1] || t.Side[0] + tune.SideTol < t.Side[2]) continue;
      }
      TCells cells[6];
      for (int k = 0; k < 3; ++k) cells[k] = SideCells(t.Side[k]), cells[3 + k] = AngleCells(t.Turn[k]);
      for (int mask = 0; mask < 64; ++mask) {
        int v[6];
        bool skip = false;
        for (int k = 0; k < 6; ++k) {
          const bool n = mask >> k & 1;
          if (n && (spread == 1 || !(tune.SpreadMask >> k & 1))) skip = true;
          v[k] = n ? cells[k].Near : cells[k].Cell;
        }
        if (skip) continue;
        const uint16_t bit = Hash(v);
        FMap[bit >> 6] |= uint64_t{1} << (bit & 63);
      }
    }
  });
  FFill = 0;
  for (uint64_t w : FMap) FFill += std::popcount(w);
}

int32_t TFilterProbe::Score(const uint16_t* cells, size_t count) const {
  if (count == 0) return INT32_MIN;
  int64_t h = 0;
  const uint64_t* map = FMap.data();
  for (size_t i = 0; i < count; ++i) h += map[cells[i] >> 6] >> (cells[i] & 63) & 1;
  // Hits over what chance gives at `count` cells, in standard deviations
  // (scaled alike for every candidate of this probe).
  static const auto* table = [] {
    auto* t = new int32_t[kMaxFilterCells + 1];
    for (int i = 0; i <= kMaxFilterCells; ++i) t[i] = static_cast<int32_t>(std::lround(64 * std::sqrt(static_cast<double>(i))));
    return t;
  }();
  const int64_t excess = h * (int64_t{1} << kFilterCellBits) - static_cast<int64_t>(count) * FFill;
  return static_cast<int32_t>((excess << 6) / table[count] / 1024);
}

}  // namespace matching
