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

int Side(const TPoint& a, const TPoint& b) {
  const int dx = a.X - b.X, dy = a.Y - b.Y;
  // The root of an integer is never a half: adding a half and truncating rounds it as lround would.
  return static_cast<int>(std::sqrt(static_cast<double>(dx * dx + dy * dy)) + 0.5);
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

// The steps of the first eighth of the turn that (x, y), 0 <= y <= x, has
// passed: the bounds below its direction.
int OctantSteps(int64_t x, int64_t y) {
  static const TBounds bounds;
  int lo = 0, hi = 32;  // steps passed: the bounds k < lo are below the direction
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (y * bounds.Cos[mid] > x * bounds.Sin[mid])
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

// OctantSteps for x below kOctantTable, worked out once: a key asks it for
// every triangle, and the search's branches cost more than a table in the
// second-level cache.
constexpr int kOctantTable = 512;
// Never freed: a gallery's key makers may still run while the process exits.
const uint8_t* OctantTable() {
  static const uint8_t* const table = [] {
    auto* t = new uint8_t[static_cast<size_t>(kOctantTable) * (kOctantTable + 1) / 2];
    for (int x = 0; x < kOctantTable; ++x)
      for (int y = 0; y <= x; ++y) t[static_cast<size_t>(x) * (x + 1) / 2 + y] = static_cast<uint8_t>(OctantSteps(x, y));
    return t;
  }();
  return table;
}

// Direction from a to b, 256 steps counter-clockwise (block coordinates are y
// up), the nearest step: within the first eighth of the turn by the bounds
// passed, the rest by symmetry (so that the direction from b to a is this
// one plus half a turn, exactly).
int Direction(const TPoint& a, const TPoint& b) {
  static const uint8_t* const table = OctantTable();
  const int dx = b.X - a.X, dy = b.Y - a.Y;
  int64_t x = std::abs(dx), y = std::abs(dy);
  const bool steep = y > x;
  if (steep) std::swap(x, y);
  const int lo = x < kOctantTable ? table[x * (x + 1) / 2 + y] : OctantSteps(x, y);
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
TCells SideCellsOf(int side, int steps) {
  const uint64_t s = static_cast<uint64_t>(std::clamp(side, 2, 1023));
  uint64_t p = 1;
  for (int k = 0; k < steps; ++k) p *= s;
  const int c = std::bit_width(p) - 1 - steps;
  // The upper half of the cell: s^(2 steps) at least 2^(2 (c + steps) + 1).
  const bool upper = p * p >> (2 * (c + steps) + 1) != 0;
  return {c, upper ? c + 1 : std::max(c - 1, 0)};
}

// Looked up: a key asks for three per triangle.
TCells SideCells(int side) {
  static const auto* table = [] {
    auto* t = new TCells[3][1024];
    for (int steps = 1; steps <= 3; ++steps)
      for (int v = 0; v < 1024; ++v) t[steps - 1][v] = SideCellsOf(v, steps);
    return t;
  }();
  return table[std::clamp(FilterTuning().SideSteps, 1, 3) - 1][std::clamp(side, 0, 1023)];
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
  return static_cast<uint16_t>((z >> 48) & static_cast<uint64_t>(FilterTuning().CellMask));
}

// The triangle's corners in the order given: sides p0-p1, p1-p2, p2-p0, and
// each corner's direction relative to the side that leaves it.
struct TShape {
  int Side[3];
  int Turn[3];
  int Dir[3];  // of each side, 256 steps a turn
};

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
    out.Dir[k] = s.Dir[kTurns[r][k]];
  }
}


// Calls f(shape) for every triangle of a minutia with two of its nearest
// neighbours (by the block's edges), the corners counter-clockwise from the
// minutia as seen (so that the cyclic order is the same in every
// impression). A triangle met from more than one of its corners comes more
// than once: its cell is the same each time. The sides to a minutia's
// neighbours and their directions both ways are worked out once per
// neighbour, not once per triangle.
template <class F>
void ForEachShape(const uint8_t* block, int nearest, F&& f) {
  TBlockHeader h;
  std::memcpy(&h, block, sizeof h);
  const int n = h.Count;
  const auto* pm = reinterpret_cast<const TPackedMinutia*>(block + sizeof(TBlockHeader));
  const uint8_t* typeForward = block + sizeof(TBlockHeader) + sizeof(TPackedMinutia) * n;
  const auto* pe = reinterpret_cast<const TPackedEdge*>(typeForward + n);
  // Each minutia's edges (both ends) as length * 256 + neighbour, to sort.
  uint16_t near[kMaxMinutiae][kMaxNeighbours];
  uint8_t degree[kMaxMinutiae] = {};
  const uint8_t* lengthOf = EdgeLengths();
  int e = 0;
  for (int i = 0; i < n; ++i)
    for (int k = typeForward[i] >> 2; k > 0; --k, ++e) {
      const TPackedEdge& x = pe[e];
      const int32_t dx = pm[x.To].X - pm[i].X, dy = pm[x.To].Y - pm[i].Y;
      const int length = lengthOf[dx * dx + dy * dy];
      near[i][degree[i]++] = static_cast<uint16_t>(length << 8 | x.To);
      near[x.To][degree[x.To]++] = static_cast<uint16_t>(length << 8 | i);
    }
  const int keep = std::clamp(nearest, 2, kMaxNeighbours);
  auto point = [&](int i) { return TPoint{pm[i].X, pm[i].Y, pm[i].Angle}; };
  TPoint p[kMaxNeighbours];
  int side[kMaxNeighbours], out[kMaxNeighbours], back[kMaxNeighbours];
  for (int i = 0; i < n; ++i) {
    uint16_t* ni = near[i];
    const int d = degree[i];
    std::sort(ni, ni + d);
    const int m = std::min(d, keep);
    const TPoint o = point(i);
    for (int k = 0; k < m; ++k) {
      p[k] = point(ni[k] & 255);
      side[k] = ni[k] >> 8;  // the edge's length, as sorted
      out[k] = Direction(o, p[k]);
      back[k] = (out[k] + 128) & 255;
    }
    for (int a = 0; a < m; ++a)
      for (int b = a + 1; b < m; ++b) {
        // Counter-clockwise from o: o, x, y.
        const int64_t cross = int64_t{p[a].X - o.X} * (p[b].Y - o.Y) - int64_t{p[a].Y - o.Y} * (p[b].X - o.X);
        const int x = cross >= 0 ? a : b, y = cross >= 0 ? b : a;
        TShape t;
        t.Side[0] = side[x], t.Dir[0] = out[x];
        t.Side[1] = Side(p[x], p[y]), t.Dir[1] = Direction(p[x], p[y]);
        t.Side[2] = side[y], t.Dir[2] = back[y];
        t.Turn[0] = (o.Angle - t.Dir[0]) & 255;
        t.Turn[1] = (p[x].Angle - t.Dir[1]) & 255;
        t.Turn[2] = (p[y].Angle - t.Dir[2]) & 255;
        f(static_cast<const TShape&>(t));
      }
  }
}

int Turns() { return std::clamp(FilterTuning().Turns, 1, kMaxFilterTurns); }

// The turn of a triangle in its corner order: its first side's direction.
int TurnOf(const TShape& t) { return t.Dir[0] * Turns() / 256; }

// A cell gap of 255 and more takes escape bytes (0), each 255 on; a gap g
// below it is the byte g + 1.
constexpr int kGapEscape = 255;

// Sorts a key's triangles (cell << 4 | turn, below 2^20) in two passes of
// ten bits: a thousand of them sort several times faster that way than by
// comparisons.
void SortCells(std::vector<uint32_t>& v) {
  constexpr int kBits = 10;
  constexpr uint32_t kMask = (1u << kBits) - 1;
  static_assert(kMaxFilterTurns <= 16 && sizeof(uint16_t) * 8 + 4 <= 2 * kBits, "a triangle fits two passes");
  std::vector<uint32_t> work(v.size());
  uint32_t count[1u << kBits];
  for (int pass = 0; pass < 2; ++pass) {
    const int shift = pass * kBits;
    std::memset(count, 0, sizeof count);
    for (uint32_t x : v) ++count[(x >> shift) & kMask];
    uint32_t sum = 0;
    for (uint32_t& c : count) {
      const uint32_t here = c;
      c = sum;
      sum += here;
    }
    for (uint32_t x : v) work[count[(x >> shift) & kMask]++] = x;
    v.swap(work);
  }
}

}  // namespace

size_t MakeFilterKey(const uint8_t* block, std::vector<uint8_t>& out) {
  std::vector<uint32_t> tri;
  tri.reserve(1024);
  ForEachShape(block, FilterTuning().Near, [&](const TShape& s) {
    TShape t;
    Rotate(s, Canonical(s), t);
    int v[6];
    for (int k = 0; k < 3; ++k) v[k] = SideCells(t.Side[k]).Cell, v[3 + k] = AngleCells(t.Turn[k]).Cell;
    tri.push_back(uint32_t{Hash(v)} << 4 | static_cast<uint32_t>(TurnOf(t)));
  });
  SortCells(tri);
  tri.erase(std::unique(tri.begin(), tri.end()), tri.end());
  // Dropped from the top when there are too many: cells are hashes, so an even sample.
  const size_t most = static_cast<size_t>(std::clamp(FilterTuning().Most, 1, kMaxFilterCells));
  if (tri.size() > most) tri.resize(most);
  const size_t start = out.size();
  const size_t n = tri.size();
  if (n == 0) return 0;  // no triangle: no key, so the template is always compared in full
  // The gap bytes first, each with its turn (an escape's is 0).
  std::vector<uint8_t> gaps, turns;
  gaps.reserve(n + n / 4);
  turns.reserve(n + n / 4);
  uint32_t cell = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t gap = (tri[i] >> 4) - cell;
    cell = tri[i] >> 4;
    for (; gap >= kGapEscape; gap -= kGapEscape) gaps.push_back(0), turns.push_back(0);
    gaps.push_back(static_cast<uint8_t>(gap + 1));
    turns.push_back(static_cast<uint8_t>(tri[i] & 15));
  }
  const size_t m = gaps.size();
  for (size_t v : {n, m}) out.push_back(static_cast<uint8_t>(v & 255)), out.push_back(static_cast<uint8_t>(v >> 8));
  const size_t at = out.size();
  out.resize(at + (m + 1) / 2, 0);
  for (size_t k = 0; k < m; ++k) out[at + k / 2] |= static_cast<uint8_t>(turns[k] << (4 * (k & 1)));
  out.insert(out.end(), gaps.begin(), gaps.end());
  return out.size() - start;
}

namespace {

constexpr size_t kKeyHeader = 4;  // triangles, gap bytes: 16 bits each

// The parts of a packed key; false when the bytes cannot be one.
struct TKeyParts {
  size_t Triangles, Gaps;
  const uint8_t* Turns;  // a half byte for each gap byte
  const uint8_t* Gap;
};

bool KeyParts(const uint8_t* key, size_t bytes, TKeyParts& k) {
  if (bytes < kKeyHeader) return false;
  k.Triangles = size_t{key[0]} | size_t{key[1]} << 8;
  k.Gaps = size_t{key[2]} | size_t{key[3]} << 8;
  if (k.Triangles == 0 || k.Triangles > kMaxFilterCells || k.Triangles > k.Gaps) return false;
  if (bytes < kKeyHeader + (k.Gaps + 1) / 2 + k.Gaps) return false;
  k.Turns = key + kKeyHeader;
  k.Gap = k.Turns + (k.Gaps + 1) / 2;
  return true;
}

int TurnAt(const TKeyParts& k, size_t at) { return k.Turns[at / 2] >> (4 * (at & 1)) & 15; }

// Walks a packed key: f(cell, turn) for each triangle.
template <class F>
void ForEachCell(const uint8_t* key, size_t bytes, F&& f) {
  TKeyParts k;
  if (!KeyParts(key, bytes, k)) return;
  uint32_t cell = 0;
  for (size_t at = 0, seen = 0; at < k.Gaps && seen < k.Triangles; ++at) {
    const uint32_t g = k.Gap[at];
    cell += g == 0 ? kGapEscape : g - 1;
    if (cell >= (1u << kFilterCellBits)) return;
    if (g == 0) continue;
    f(cell, TurnAt(k, at));
    ++seen;
  }
}

}  // namespace

std::vector<uint32_t> UnpackFilterKey(const uint8_t* key, size_t bytes) {
  std::vector<uint32_t> out;
  ForEachCell(key, bytes, [&](uint32_t cell, int turn) { out.push_back(cell << 4 | static_cast<uint32_t>(turn)); });
  return out;
}

TFilterProbe::TFilterProbe() : FMap(kFilterMapWords), FTurns(1 << kFilterCellBits) {}

void TFilterProbe::Prepare(const uint8_t* block) {
  std::fill(FMap.begin(), FMap.end(), 0);
  std::fill(FTurns.begin(), FTurns.end(), 0);
  const auto& tune = FilterTuning();
  const int spread = tune.Spread ? 2 : 1;
  ForEachShape(block, FilterTuning().ProbeNear, [&](const TShape& s) {
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
      const uint16_t turn = static_cast<uint16_t>(1u << TurnOf(t));
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
        FTurns[bit] |= turn;
      }
    }
  });
  FTurnFill = 0;
  for (uint16_t w : FTurns) FTurnFill += std::popcount(w);
}

int64_t TFilterProbe::Fill() const {
  int64_t fill = 0;
  for (uint64_t w : FMap) fill += std::popcount(w);
  return fill;
}

int32_t TFilterProbe::Score(const uint8_t* key, size_t bytes) const {
  TKeyParts k;
  if (!KeyParts(key, bytes, k)) return INT32_MIN;
  const size_t n = k.Triangles;
  const int turns = Turns();
  const uint32_t all = (1u << turns) - 1;
  // votes[r]: the candidate's triangles the probe met turned by r.
  int32_t votes[kMaxFilterTurns] = {};
  const uint64_t* map = FMap.data();
  const uint16_t* probeTurns = FTurns.data();
  // The walk of ForEachCell with only the test of the map in the loop, which
  // costs more than the rest here: an escape byte 0 adds 255 (g - 1 in a
  // byte) and is no triangle, told apart only where the map is met. The
  // cell stays within the map whatever the bytes.
  uint32_t cell = 0;
  for (size_t at = 0; at < k.Gaps; ++at) {
    const uint32_t g = k.Gap[at];
    cell = (cell + ((g - 1) & 255)) & 0xFFFF;
    // Most cells are not the probe's: the bit map (first-level cache) tells.
    if (map[cell >> 6] >> (cell & 63) & 1) {
      if (g == 0) continue;
      const int turn = TurnAt(k, at) % turns;
      const uint32_t m = probeTurns[cell];
      uint32_t r = turn ? ((m >> turn) | (m << (turns - turn))) & all : m;
      for (; r; r &= r - 1) ++votes[std::countr_zero(r)];
    }
  }
  int32_t best = votes[0];
  if (turns > 1)
    for (int r = 0; r < turns; ++r) best = std::max(best, votes[r] + votes[(r + 1) % turns]);
  // Votes over what chance gives at n triangles, in standard deviations
  // (scaled alike for every candidate of this probe): a random triangle meets
  // FTurnFill / 65536 of the probe's turns, spread over the rotations, and the
  // best window takes two of them.
  static const auto* table = [] {
    auto* t = new int32_t[kMaxFilterCells + 1];
    for (int i = 0; i <= kMaxFilterCells; ++i) t[i] = static_cast<int32_t>(std::lround(64 * std::sqrt(static_cast<double>(i))));
    return t;
  }();
  const int window = turns > 1 ? 2 : 1;
  const int64_t excess = int64_t{best} * turns * (int64_t{1} << kFilterCellBits) - static_cast<int64_t>(n) * window * FTurnFill;
  return static_cast<int32_t>((excess << 6) / table[n] / 1024);
}

}  // namespace matching
