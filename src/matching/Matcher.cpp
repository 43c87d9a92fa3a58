#include "matching/Matcher.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "matching/TemplateCheck.h"
#include "matching/ThresholdTable.h"
#include "support/Formatar.h"
#include "templates/udOmfwTemplates.h"

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#define DL_MATCHER_SSE2 1
#else
#define DL_MATCHER_SSE2 0
#endif

namespace matching {

void SinCosSeries(double x, double& sn, double& cs) {
  const double x2 = x * x;
  double ts = x, tc = 1;
  sn = 0;
  cs = 0;
  for (int n = 1; n < 20; n += 2) {
    sn += ts;
    cs += tc;
    ts *= -x2 / ((n + 1) * (n + 2));
    tc *= -x2 / (n * (n + 1));
  }
}

TTuning& Tuning() {
  static TTuning t;
  return t;
}

bool& VectorPaths() {
  static bool on = true;
  return on;
}

namespace {

// ---- Tolerances -------------------------------------------------------------

constexpr int kHullMargin = 8;     // pixels outside the hull still counted as overlapping

// Edge length tolerance, pixels, for the shorter of two edges.
constexpr int LengthTol(int length) { return 3 + (3 * length) / 32; }

// ---- Deterministic trigonometry (only +, *, / and sqrt: same bits everywhere) --

constexpr double kPi = 3.14159265358979323846;

struct TTrig {
  int32_t Sin[4096];
  int32_t Cos[4096];
  TTrig() {
    // Q14 sine for the first octant by its series, the rest by symmetry, so
    // that sin(-x) == -sin(x) and the quarter turns are exact.
    int32_t s[1025];
    for (int k = 0; k <= 512; ++k) {
      double sn, cs;
      SinCosSeries(2 * kPi * k / 4096, sn, cs);
      s[k] = static_cast<int32_t>(std::floor(sn * 16384 + 0.5));
      s[1024 - k] = static_cast<int32_t>(std::floor(cs * 16384 + 0.5));
    }
    for (int k = 0; k < 4096; ++k) {
      const int q = k & 2047;
      const int32_t v = q <= 1024 ? s[q] : s[2048 - q];
      Sin[k] = k < 2048 ? v : -v;
    }
    for (int k = 0; k < 4096; ++k) Cos[k] = Sin[(k + 1024) & 4095];
  }
};
const TTrig& Trig() {
  static const TTrig t;
  return t;
}

double AtanUnit(double t) {  // 0 <= t <= 1
  // Halve the argument once: atan(t) = 2 atan(t / (1 + sqrt(1 + t^2))).
  const double r = t / (1 + std::sqrt(1 + t * t));
  const double r2 = r * r;
  double term = r, sum = 0;
  for (int n = 1; n < 30; n += 2) {
    sum += term / n;
    term *= -r2;
  }
  return 2 * sum;
}

inline int Wrap4096(int v) { return ((v + 2048) & 4095) - 2048; }

// Rounded quotient, halves away from zero, so that Div(-n, d) == -Div(n, d).
inline int64_t DivSym(int64_t n, int64_t d) { return n >= 0 ? (n + d / 2) / d : -((-n + d / 2) / d); }

// Turns (dx, dy) pixels by `angle` (4096 steps); the result in quarter pixels.
inline void Rotate(int angle, int32_t dx, int32_t dy, int32_t& x, int32_t& y) {
  const TTrig& t = Trig();
  const int32_t c = t.Cos[angle & 4095], s = t.Sin[angle & 4095];
  x = (c * dx - s * dy + 2048) >> 12;
  y = (s * dx + c * dy + 2048) >> 12;
}

#if DL_MATCHER_SSE2
// Two 16-bit values in every 32-bit lane, lo in the low half.
inline __m128i Pair16(int32_t lo, int32_t hi) {
  return _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(lo) | static_cast<uint32_t>(hi) << 16));
}

// Rotate's arithmetic on 16-bit (dx, dy) pairs, one result a 32-bit lane:
// r holds (c, -s) for the x, (s, c) for the y.
inline __m128i TurnLanes(__m128i d, __m128i r) {
  return _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(d, r), _mm_set1_epi32(2048)), 12);
}

// Rotate for two minutiae at once, read as they lie: a TMinutia is four
// 16-bit words, X and Y first, and the other two are multiplied by 0. The
// results are in lanes 0 and 2 of x and y.
class TTurnTwo {
 public:
  TTurnTwo(int angle, int16_t ox, int16_t oy) {
    const TTrig& t = Trig();
    const int16_t c = static_cast<int16_t>(t.Cos[angle & 4095]), s = static_cast<int16_t>(t.Sin[angle & 4095]);
    FX = _mm_set_epi16(0, 0, static_cast<int16_t>(-s), c, 0, 0, static_cast<int16_t>(-s), c);
    FY = _mm_set_epi16(0, 0, c, s, 0, 0, c, s);
    FOrigin = _mm_set_epi16(0, 0, oy, ox, 0, 0, oy, ox);
  }
  void operator()(const TMinutia* m, __m128i& x, __m128i& y) const {
    static_assert(sizeof(TMinutia) == 8 && offsetof(TMinutia, X) == 0 && offsetof(TMinutia, Y) == 2);
    const __m128i d = _mm_sub_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(m)), FOrigin);
    x = TurnLanes(d, FX);
    y = TurnLanes(d, FY);
  }

 private:
  __m128i FX, FY, FOrigin;
};
#endif

uint32_t MinutiaKey(const TMinutia& m) {
  uint32_t h = static_cast<uint16_t>(m.X) * 0x9E3779B1u;
  h ^= static_cast<uint16_t>(m.Y) * 0x85EBCA77u;
  h ^= m.Angle * 0xC2B2AE3Du;
  h ^= h >> 15;
  return h * 0x27D4EB2Fu;
}


// ---- Edge table cells -------------------------------------------------------

struct TLengthBins {
  uint8_t Bin[256];
  int Count = 0;
  TLengthBins() {
    // Each bin at least twice the tolerance of its longest edge, so that a
    // probe edge entered in the bins its tolerance reaches is found from the
    // one bin of any candidate edge within tolerance.
    int start = 0;
    while (start < 256) {
      int w = 1;
      while (w < LengthTol(std::min(255, start + w)) + 1) ++w;
      for (int l = start; l < std::min(256, start + w); ++l) Bin[l] = static_cast<uint8_t>(Count);
      ++Count;
      start += w;
    }
  }
};
// For each edge length, the least and greatest lengths within tolerance of it
// (|difference| <= LengthTol(shorter)).
struct TLengthWindow {
  uint8_t Lo[256], Hi[256];
  TLengthWindow() {
    for (int l = 0; l < 256; ++l) {
      int lo = l, hi = l;
      while (lo > 0 && 32 * (l - (lo - 1) - 3) <= 3 * (lo - 1)) --lo;
      while (hi < 255 && 32 * ((hi + 1) - l - 3) <= 3 * l) ++hi;
      Lo[l] = static_cast<uint8_t>(lo);
      Hi[l] = static_cast<uint8_t>(hi);
    }
  }
};
const TLengthWindow& LengthWindow() {
  static const TLengthWindow w;
  return w;
}

const TLengthBins& LengthBins() {
  static const TLengthBins b;
  return b;
}

// Angle cells of 8 steps (11.25 degrees): a probe edge goes into up to five
// per angle, and a candidate edge meets fewer probe edges that fail the checks
// (a quarter fewer than with cells of 22.5 degrees; the table has 4 times the
// cells, 45 KB of cell starts per probe).
constexpr int kAngleShift = 3;
constexpr int kAngleCells = 256 >> kAngleShift;
inline int Cell(int lengthBin, int alpha, int beta) {
  return (lengthBin * kAngleCells + (alpha >> kAngleShift)) * kAngleCells + (beta >> kAngleShift);
}

// ---- Reading and preparing ----------------------------------------------------

std::vector<TMinutia> ReadMinutiae(const uint8_t* data, size_t size) {
  (void)CheckTemplate(data, size);
  auto local = LocalizarItensNF(data, size, tiMinucia);
  if (!local) throw EMatching("The record's minutiae cannot be located");  // CheckTemplate passed: never
  std::vector<TMinutia> m(static_cast<size_t>(local->Quantidade));
  for (int32_t k = 0; k < local->Quantidade; ++k) {
    const TItemNF it = LerItemNF(data, *local, k);
    // Y up, so that angles and rotations have their usual sense.
    m[k] = TMinutia{static_cast<int16_t>(it.X), static_cast<int16_t>(-it.Y), static_cast<uint8_t>(it.Angulo),
                    static_cast<uint8_t>(it.Tipo & 3), static_cast<uint8_t>(std::clamp(it.G, 0, 255)), 0};
  }
  return m;
}

int64_t Cross(int64_t ox, int64_t oy, int64_t ax, int64_t ay, int64_t bx, int64_t by) {
  return (ax - ox) * (by - oy) - (ay - oy) * (bx - ox);
}

// Convex hull as minutia numbers, counter-clockwise (Y up), collinear points
// dropped; of minutiae at one place, the lowest numbered.
std::vector<int> Hull(const std::vector<TMinutia>& m) {
  std::vector<std::pair<std::pair<int, int>, int>> p;
  p.reserve(m.size());
  for (size_t i = 0; i < m.size(); ++i) p.push_back({{m[i].X, m[i].Y}, static_cast<int>(i)});
  std::sort(p.begin(), p.end());
  p.erase(std::unique(p.begin(), p.end(), [](const auto& a, const auto& b) { return a.first == b.first; }), p.end());
  std::vector<std::pair<std::pair<int, int>, int>> h;
  if (p.size() < 3) {
    h = p;
  } else {
    auto cross = [](const auto& o, const auto& a, const auto& b) {
      return Cross(o.first.first, o.first.second, a.first.first, a.first.second, b.first.first, b.first.second);
    };
    h.resize(2 * p.size());
    size_t k = 0;
    for (size_t i = 0; i < p.size(); ++i) {
      while (k >= 2 && cross(h[k - 2], h[k - 1], p[i]) <= 0) --k;
      h[k++] = p[i];
    }
    for (size_t i = p.size() - 1, t = k + 1; i > 0; --i) {
      while (k >= t && cross(h[k - 2], h[k - 1], p[i - 1]) <= 0) --k;
      h[k++] = p[i - 1];
    }
    h.resize(k - 1);
  }
  std::vector<int> out;
  for (const auto& x : h) out.push_back(x.second);
  return out;
}

size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

size_t BlockSize(int count, int edges, int hull) {
  return Align8(sizeof(TBlockHeader) + (sizeof(TPackedMinutia) + 1) * count + sizeof(TPackedEdge) * edges + hull);
}

const TPackedMinutia* PackedMinutiae(const uint8_t* block) {
  return reinterpret_cast<const TPackedMinutia*>(block + sizeof(TBlockHeader));
}

}  // namespace

// Never freed: a gallery's key makers may still run while the process exits.
const uint8_t* EdgeLengths() {
  static const uint8_t* const table = [] {
    auto* t = new uint8_t[kMostEdge2 + 1];
    for (int32_t d2 = 0; d2 <= kMostEdge2; ++d2) t[d2] = static_cast<uint8_t>(std::floor(std::sqrt(double(d2)) + 0.5));
    return t;
  }();
  return table;
}

int Direction4096(int64_t dx, int64_t dy) {
  if (dx == 0 && dy == 0) return 0;
  const double ax = static_cast<double>(std::abs(dx)), ay = static_cast<double>(std::abs(dy));
  double a = ax >= ay ? AtanUnit(ay / ax) : kPi / 2 - AtanUnit(ax / ay);
  if (dx < 0) a = kPi - a;
  if (dy < 0) a = 2 * kPi - a;
  return static_cast<int>(std::floor(a * 4096 / (2 * kPi) + 0.5)) & 4095;
}


TUnpacked::TUnpacked()
    : FMinutiae(kMaxMinutiae), FEdges(kMaxMinutiae * kMaxNeighbours), FLinks(kMaxMinutiae * kMaxNeighbours / 2 + 1), FHull(kMaxMinutiae) {}

const TTemplateView& TUnpacked::Unpack(const uint8_t* block) {
  TBlockHeader h;
  std::memcpy(&h, block, sizeof h);
  const int n = h.Count;
  TTemplateView& v = FView;
  v.Count = n;
  v.HullCount = h.HullCount;
  v.HullArea = static_cast<int>(h.HullArea);
  v.CentreX = h.CentreX;
  v.CentreY = h.CentreY;
  v.InRadius2 = static_cast<int>(h.InRadius2);
  v.LinkCount = h.EdgeCount;
  const TPackedMinutia* pm = PackedMinutiae(block);
  const uint8_t* typeForward = block + sizeof(TBlockHeader) + sizeof(TPackedMinutia) * n;
  const auto* pe = reinterpret_cast<const TPackedEdge*>(typeForward + n);
  const uint8_t* hull = reinterpret_cast<const uint8_t*>(pe + h.EdgeCount);
  TMinutia* m = FMinutiae.data();
  int16_t x0 = INT16_MAX, x1 = INT16_MIN, y0 = INT16_MAX, y1 = INT16_MIN;
  for (int i = 0; i < n; ++i) {
    m[i] = TMinutia{pm[i].X, pm[i].Y, pm[i].Angle, static_cast<uint8_t>(typeForward[i] & 3), pm[i].Period, 0};
    x0 = std::min(x0, pm[i].X), x1 = std::max(x1, pm[i].X), y0 = std::min(y0, pm[i].Y), y1 = std::max(y1, pm[i].Y);
  }
  v.Span = n ? std::max(x1 - x0, y1 - y0) : 0;
  const uint8_t* lengthOf = EdgeLengths();
  // Each edge from both ends, in the slots of each minutia in the order met.
  uint8_t degree[kMaxMinutiae];
  std::memset(degree, 0, static_cast<size_t>(n));
  TEdge* slots = FEdges.data();
  TLink* links = FLinks.data();
  int e = 0;
  for (int i = 0; i < n; ++i)
    for (int k = typeForward[i] >> 2; k > 0; --k, ++e) {
      const TPackedEdge& x = pe[e];
      const int j = x.To;
      const int32_t dx = m[j].X - m[i].X, dy = m[j].Y - m[i].Y;
      const uint8_t length = lengthOf[dx * dx + dy * dy];
      links[e] = TLink{static_cast<uint8_t>(i), x.To, length, x.Direction};
      const uint8_t beta = static_cast<uint8_t>(m[j].Angle - m[i].Angle);
      slots[i * kMaxNeighbours + degree[i]++] = TEdge{x.To, length, static_cast<uint8_t>(x.Direction - m[i].Angle), beta};
      slots[j * kMaxNeighbours + degree[j]++] =
          TEdge{static_cast<uint8_t>(i), length, static_cast<uint8_t>(x.Direction + 128 - m[j].Angle), static_cast<uint8_t>(-beta)};
    }
  for (int i = 0; i < n; ++i)
    if (degree[i] < kMaxNeighbours) slots[i * kMaxNeighbours + degree[i]].Length = 0;
  THullPoint* hp = FHull.data();
  for (int k = 0; k < h.HullCount; ++k) {
    const TMinutia& a = m[hull[k]];
    const TMinutia& b = m[hull[k + 1 == h.HullCount ? 0 : k + 1]];
    const double len = std::sqrt(double(b.X - a.X) * (b.X - a.X) + double(b.Y - a.Y) * (b.Y - a.Y));
    hp[k] = THullPoint{a.X, a.Y, static_cast<uint16_t>(std::floor(len + 0.5)), 0};
  }
  v.Minutiae = m;
  v.Edges = slots;
  v.Links = links;
  v.Hull = hp;
  return v;
}

int CheckTemplate(const uint8_t* data, size_t size, const char* what) {
  const TTemplateCheck c = ValidateTemplate(data, size);
  if (c.State == tsMalformed)
    throw EMatching(what ? Format("%s is not a valid NFRecord template: %s", what, c.Problem.c_str())
                         : "Not a valid NFRecord template: " + c.Problem);
  return c.Minutiae;
}

void CheckBlock(const uint8_t* block, size_t size) {
  TBlockHeader h;
  if (size < sizeof h) throw EMatching("The prepared template is cut short");
  std::memcpy(&h, block, sizeof h);
  const auto refuse = [] { throw EMatching("The prepared template is not one this library made"); };
  if (h.Format != kBlockFormat || h.Count > kMaxMinutiae || h.HullCount > h.Count || h.Size != size ||
      BlockSize(h.Count, h.EdgeCount, h.HullCount) != size)
    refuse();
  const int n = h.Count;
  TPackedMinutia minutiae[kMaxMinutiae];
  std::memcpy(minutiae, block + sizeof(TBlockHeader), sizeof(TPackedMinutia) * n);
  const uint8_t* typeForward = block + sizeof(TBlockHeader) + sizeof(TPackedMinutia) * n;
  TPackedEdge edges[1];
  const uint8_t* pe = typeForward + n;
  int degree[kMaxMinutiae] = {};
  int e = 0;
  for (int i = 0; i < n; ++i)
    for (int k = typeForward[i] >> 2; k > 0; --k, ++e) {
      if (e >= h.EdgeCount) refuse();
      std::memcpy(edges, pe + sizeof(TPackedEdge) * e, sizeof(TPackedEdge));
      if (edges[0].To <= i || edges[0].To >= n) refuse();
      // Its length comes from its ends: they must be apart, and within the lengths' table.
      const int64_t dx = minutiae[edges[0].To].X - minutiae[i].X, dy = minutiae[edges[0].To].Y - minutiae[i].Y;
      if (dx * dx + dy * dy == 0 || dx * dx + dy * dy > kMostEdge2) refuse();
      if (++degree[i] > kMaxNeighbours || ++degree[edges[0].To] > kMaxNeighbours) refuse();
    }
  if (e != h.EdgeCount) refuse();
  const uint8_t* hull = pe + sizeof(TPackedEdge) * h.EdgeCount;
  for (int k = 0; k < h.HullCount; ++k)
    if (hull[k] >= n) refuse();
}

size_t PrepareTemplate(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  const std::vector<TMinutia> m = ReadMinutiae(data, size);
  const int n = static_cast<int>(m.size());
  const std::vector<int> hull = Hull(m);

  // The nearest neighbours of each minutia (ties by number).
  const int kNear = std::clamp(Tuning().Neighbours, 1, kMaxNeighbours);
  const int kSlots = std::clamp(Tuning().Slots, 1, kMaxNeighbours);
  struct TNear {
    int32_t D2;
    int J;
  };
  std::vector<int> nearest(static_cast<size_t>(n) * kNear, -1);
  for (int i = 0; i < n; ++i) {
    TNear best[kMaxNeighbours];
    int found = 0;
    for (int j = 0; j < n; ++j) {
      if (j == i) continue;
      const int32_t dx = m[j].X - m[i].X, dy = m[j].Y - m[i].Y, d2 = dx * dx + dy * dy;
      if (d2 < std::max(1, Tuning().MinEdge * Tuning().MinEdge) || d2 > kMostEdge2) continue;
      if (found == kNear && d2 >= best[found - 1].D2) continue;
      int k = found < kNear ? found++ : found - 1;
      while (k > 0 && best[k - 1].D2 > d2) {
        best[k] = best[k - 1];
        --k;
      }
      best[k] = TNear{d2, j};
    }
    for (int k = 0; k < found; ++k) nearest[i * kNear + k] = best[k].J;
  }
  // The edges to either end's nearest neighbours, each once; shorter first,
  // none that would give either end more than the slots.
  struct TPair {
    int32_t D2;
    int I, J;
  };
  std::vector<TPair> pairs;
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < kNear && nearest[i * kNear + k] >= 0; ++k) {
      const int j = nearest[i * kNear + k];
      bool mutual = false;
      for (int q = 0; q < kNear && nearest[j * kNear + q] >= 0; ++q) mutual |= nearest[j * kNear + q] == i;
      if (mutual && j < i) continue;
      const int32_t dx = m[j].X - m[i].X, dy = m[j].Y - m[i].Y;
      pairs.push_back(TPair{dx * dx + dy * dy, std::min(i, j), std::max(i, j)});
    }
  std::sort(pairs.begin(), pairs.end(), [](const TPair& x, const TPair& y) {
    return x.D2 != y.D2 ? x.D2 < y.D2 : x.I != y.I ? x.I < y.I : x.J < y.J;
  });
  std::vector<int> degree(static_cast<size_t>(n), 0);
  std::vector<TPair> kept;
  for (const TPair& p : pairs)
    if (degree[p.I] < kSlots && degree[p.J] < kSlots) {
      ++degree[p.I];
      ++degree[p.J];
      kept.push_back(p);
    }
  std::stable_sort(kept.begin(), kept.end(), [](const TPair& x, const TPair& y) { return x.I < y.I; });
  std::vector<int> forward(static_cast<size_t>(n), 0);
  for (const TPair& p : kept) ++forward[p.I];

  const int edgeCount = static_cast<int>(kept.size());
  const size_t total = BlockSize(n, edgeCount, static_cast<int>(hull.size()));
  const size_t start = Align8(out.size());
  out.resize(start + total, 0);
  uint8_t* block = out.data() + start;
  int64_t twiceArea = 0;
  for (size_t k = 0; hull.size() >= 3 && k < hull.size(); ++k) {
    const TMinutia& a = m[hull[k]];
    const TMinutia& b = m[hull[(k + 1) % hull.size()]];
    twiceArea += int64_t{a.X} * b.Y - int64_t{b.X} * a.Y;
  }
  TBlockHeader header{static_cast<uint32_t>(total), static_cast<uint16_t>(n), static_cast<uint16_t>(hull.size()),
                      static_cast<uint32_t>(std::abs(twiceArea) / 2), static_cast<uint16_t>(edgeCount), kBlockFormat, 0, 0, 0};
  if (hull.size() >= 3) {
    int64_t sx = 0, sy = 0;
    for (int k : hull) sx += m[k].X, sy += m[k].Y;
    const int64_t hs = static_cast<int64_t>(hull.size());
    header.CentreX = static_cast<int16_t>(DivSym(sx, hs));
    header.CentreY = static_cast<int16_t>(DivSym(sy, hs));
    int64_t r2 = INT64_MAX;
    for (size_t k = 0; k < hull.size(); ++k) {
      const TMinutia& a = m[hull[k]];
      const TMinutia& b = m[hull[(k + 1) % hull.size()]];
      const int64_t ex = b.X - a.X, ey = b.Y - a.Y;
      const int64_t cross = ex * (header.CentreY - a.Y) - ey * (header.CentreX - a.X);
      const int64_t len2 = ex * ex + ey * ey;
      if (len2 > 0) r2 = std::min(r2, cross <= 0 ? 0 : cross * cross / len2);
    }
    header.InRadius2 = static_cast<uint32_t>(std::min<int64_t>(r2 == INT64_MAX ? 0 : r2, UINT32_MAX));
  }
  std::memcpy(block, &header, sizeof header);
  uint8_t* p = block + sizeof header;
  for (int i = 0; i < n; ++i) {
    const TPackedMinutia pm{m[i].X, m[i].Y, m[i].Angle, m[i].Period};
    std::memcpy(p, &pm, sizeof pm);
    p += sizeof pm;
  }
  for (int i = 0; i < n; ++i) *p++ = static_cast<uint8_t>(m[i].Type | forward[i] << 2);
  for (const TPair& e : kept) {
    const int32_t dx = m[e.J].X - m[e.I].X, dy = m[e.J].Y - m[e.I].Y;
    const int dir = Direction4096(dx, dy);
    *p++ = static_cast<uint8_t>(e.J);
    *p++ = static_cast<uint8_t>((dir + 8) >> 4);
  }
  for (int k : hull) *p++ = static_cast<uint8_t>(k);
  return start;
}

// ---- Probe ------------------------------------------------------------------

void TProbe::Prepare(const uint8_t* data, size_t size) {
  std::vector<uint8_t> block;
  PrepareTemplate(data, size, block);
  PrepareBlock(block.data());
}

void TProbe::PrepareBlock(const uint8_t* block) {
  FBlock.assign(block, block + reinterpret_cast<const TBlockHeader*>(block)->Size);
  const TTemplateView& v = FUnpacked.Unpack(block);
  const TLengthBins& lb = LengthBins();
  const int kAlphaTol = Tuning().AlphaTol, kBetaTol = Tuning().BetaTol;

  // Edge table: every edge, from both ends, in each cell its tolerances reach
  // (counted, then placed).
  const int cells = lb.Count * kAngleCells * kAngleCells;
  FCellStart.assign(static_cast<size_t>(cells) + 1, 0);
  auto forEachCell = [&](const TEdge& e, auto&& f) {
    const int tol = LengthTol(e.Length);
    const int b0 = lb.Bin[std::max(0, e.Length - tol)], b1 = lb.Bin[std::min(255, e.Length + tol)];
    // Angle cells from the one of (angle - tolerance) onwards, round the circle.
    const int a0 = static_cast<uint8_t>(e.Alpha - kAlphaTol) >> kAngleShift;
    const int na = (((static_cast<uint8_t>(e.Alpha + kAlphaTol) >> kAngleShift) - a0) & (kAngleCells - 1)) + 1;
    const int c0 = static_cast<uint8_t>(e.Beta - kBetaTol) >> kAngleShift;
    const int nc = (((static_cast<uint8_t>(e.Beta + kBetaTol) >> kAngleShift) - c0) & (kAngleCells - 1)) + 1;
    for (int b = b0; b <= b1; ++b)
      for (int x = 0; x < na; ++x)
        for (int y = 0; y < nc; ++y)
          f((b * kAngleCells + ((a0 + x) & (kAngleCells - 1))) * kAngleCells + ((c0 + y) & (kAngleCells - 1)));
  };
  for (int i = 0; i < v.Count; ++i)
    for (int k = 0; k < kMaxNeighbours && v.Edges[i * kMaxNeighbours + k].Length; ++k)
      forEachCell(v.Edges[i * kMaxNeighbours + k], [&](int c) { ++FCellStart[c + 1]; });
  for (int c = 0; c < cells; ++c) FCellStart[c + 1] += FCellStart[c];
  // (and a span more: a comparison copies a cell's entries a span at a time)
  FEntries.assign(FCellStart[cells] + 8, TEntry{});
  std::vector<uint32_t> fill(FCellStart.begin(), FCellStart.end() - 1);
  for (int i = 0; i < v.Count; ++i)
    for (int k = 0; k < kMaxNeighbours && v.Edges[i * kMaxNeighbours + k].Length; ++k) {
      const TEdge& e = v.Edges[i * kMaxNeighbours + k];
      const TEntry entry{static_cast<uint8_t>(i), e.To, e.Length, e.Alpha, e.Beta, static_cast<uint8_t>(e.Alpha - e.Beta), {0, 0}};
      forEachCell(e, [&](int c) { FEntries[fill[c]++] = entry; });
    }

  FKeys.resize(static_cast<size_t>(v.Count));
  for (int i = 0; i < v.Count; ++i) FKeys[i] = MinutiaKey(v.Minutiae[i]);

  // Minutiae grid.
  FGridStart.assign(64 * 64 + 1, 0);
  auto cellOf = [](const TMinutia& m) { return ((-m.Y) >> 5) * 64 + (m.X >> 5); };
  for (int i = 0; i < v.Count; ++i) ++FGridStart[cellOf(v.Minutiae[i]) + 1];
  for (int c = 0; c < 64 * 64; ++c) FGridStart[c + 1] = static_cast<uint16_t>(FGridStart[c + 1] + FGridStart[c]);
  FGridItems.assign(static_cast<size_t>(v.Count), 0);
  std::vector<uint16_t> gfill(FGridStart.begin(), FGridStart.end() - 1);
  for (int i = 0; i < v.Count; ++i) FGridItems[gfill[cellOf(v.Minutiae[i])]++] = static_cast<uint8_t>(i);
  FGridCol.assign(static_cast<size_t>(v.Count) + 4, 0);
  FGridAngle.assign(static_cast<size_t>(v.Count) + 4, 0);
  FGridXY.assign(static_cast<size_t>(v.Count) + 4, 0);
  for (int k = 0; k < v.Count; ++k) {
    const TMinutia& m = v.Minutiae[FGridItems[k]];
    FGridCol[k] = cellOf(m) & 63;
    FGridAngle[k] = m.Angle * 16;
    FGridXY[k] = static_cast<uint16_t>(m.X) | static_cast<uint32_t>(static_cast<uint16_t>(m.Y)) << 16;
  }
}

// ---- Score ------------------------------------------------------------------

// Pairings that two unrelated templates reach by chance grow with how many
// minutiae each has in the common area and how densely they lie: with n_p and
// n_c minutiae there, at densities d_p and d_c, about sqrt(n_p d_p n_c d_c)
// times the area of one pairing tolerance. The score is the weighed pairing
// count over that expectation (plus a constant that keeps small, sparse
// templates from scoring high on a few pairs), so that a threshold stands for
// about the same false match rate whatever the sizes of the templates.
// Only +, *, / and sqrt on doubles: the same bits on every platform; each
// template's factor is formed alone, so swapping them gives the same product.
namespace {

constexpr double kChanceScale = 400;
constexpr double kMinHullArea = 2000;  // square pixels; smaller hulls are not a density
constexpr double kDensityUnit = 1000;  // square pixels

int ChanceScore(int weight, int inP, const TTemplateView& p, int inC, const TTemplateView& c) {
  const double dp = p.Count / std::max<double>(p.HullArea, kMinHullArea);
  const double dc = c.Count / std::max<double>(c.HullArea, kMinHullArea);
  const double chance = kDensityUnit * std::sqrt((inP * dp) * (inC * dc));
  return static_cast<int>(std::floor(kChanceScale * (weight / 256.0) / (Tuning().ChanceFloor + chance) + 0.5));
}

// Supported pairs, weighed by closeness, squared over the geometric mean of
// the minutiae each template has in the common area.
int SupportScore(int supportWeight, int inP, int inC) {
  const double w = supportWeight / 256.0;
  return static_cast<int>(std::floor(Tuning().SupportScale * w * w / (Tuning().SupportFloor + std::sqrt(double(inP) * inC)) + 0.5));
}

}  // namespace

// ---- Comparison -------------------------------------------------------------

TComparison::TComparison()
    : FVotes(kMaxMinutiae * kMaxMinutiae + 8, 0),
      FLinkTests(kMaxMinutiae * kMaxNeighbours / 2 + 1),
      FLinkOf(kLinkBatch),
      FSlotEntries(kLinkBatch + kLinkSpan),
      FLinkBytes(kMaxMinutiae * kMaxNeighbours / 2 + 1),
      FPassed(kLinkBatch + 1),
      FPairs(kMaxMinutiae * kMaxMinutiae),
      FBlockMost((kMaxMinutiae * kMaxMinutiae + 7) / 8),
      FReaching((kMaxMinutiae * kMaxMinutiae + 7) / 8),
      FKeyC(kMaxMinutiae),
      FBestOfP(kMaxMinutiae),
      FBestOfC(kMaxMinutiae),

      FU(2 * (kMaxMinutiae + 4)),
      FV(2 * kMaxMinutiae),
      FU16(2 * (kMaxMinutiae + 4)),
      FUsedP(kMaxMinutiae),
      FUsedC(kMaxMinutiae),
      FBestP(kMaxMinutiae),
      FBestC(kMaxMinutiae),
      FWeightP(kMaxMinutiae),
      FBestWeightP(kMaxMinutiae) {
  (void)Trig();
  (void)LengthBins();
  (void)LengthWindow();
}

TComparison::TResult TComparison::Consolidate(const TProbe& probe, const TTemplateView& cand, const TAnchor& an) {
  const TTemplateView& pv = probe.FUnpacked.View();
  const TTuning& tu = Tuning();
  const int kPosTol = tu.PosTol, kPosTolMax = tu.PosTolMax, kGrowthDen = tu.GrowthDen, kPairAngleTol = tu.PairAngleTol;
  const TMinutia& pi = pv.Minutiae[an.I];
  const TMinutia& ca = cand.Minutiae[an.A];
  const int h = an.Half;
  // Both templates turned halfway towards each other about their anchor minutia.
  // The probe's in the order of its grid, so that the search below reads
  // them one after the other.
  const uint8_t* gridItems = probe.FGridItems.data();
  const uint16_t* gridStart = probe.FGridStart.data();
  int32_t* u = FU.data();
  int32_t* v = FV.data();
  const int64_t base2 = int64_t{16} * kPosTol * kPosTol, max2 = int64_t{16} * kPosTolMax * kPosTolMax;
#if DL_MATCHER_SSE2
  // With SSE2 where both templates' minutiae lie within 2047 pixels of one
  // another either way (as the records' coordinates always do): their
  // differences, the products and the turned coordinates fit the 16-bit
  // arithmetic below, exactly.
  const bool vector = VectorPaths() && pv.Span <= 2047 && cand.Span <= 2047 && max2 < INT32_MAX;
  int16_t* u16 = FU16.data();
  if (vector) {
    // The probe's, four at once from its coordinates in grid order.
    {
      const TTrig& tr = Trig();
      const int32_t c = tr.Cos[(-h) & 4095], sn = tr.Sin[(-h) & 4095];
      const __m128i rx = Pair16(c, -sn), ry = Pair16(sn, c), origin = Pair16(pi.X, pi.Y);
      const uint32_t* xy = probe.FGridXY.data();
      for (int k = 0; k < pv.Count; k += 4) {
        const __m128i d = _mm_sub_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(xy + k)), origin);
        const __m128i x = TurnLanes(d, rx), y = TurnLanes(d, ry);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(u + 2 * k), _mm_unpacklo_epi32(x, y));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(u + 2 * k + 4), _mm_unpackhi_epi32(x, y));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(u16 + 2 * k), _mm_unpacklo_epi16(_mm_packs_epi32(x, x), _mm_packs_epi32(y, y)));
      }
    }
    // The candidate's, two at once from its minutiae.
    {
      const TTurnTwo turn(h, ca.X, ca.Y);
      const int even = cand.Count & ~1;
      for (int b = 0; b < even; b += 2) {
        __m128i x, y;
        turn(cand.Minutiae + b, x, y);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(v + 2 * b), _mm_or_si128(x, _mm_slli_si128(y, 4)));
      }
      if (even < cand.Count) Rotate(h, cand.Minutiae[even].X - ca.X, cand.Minutiae[even].Y - ca.Y, v[2 * even], v[2 * even + 1]);
    }
  } else
#endif
  {
    for (int k = 0; k < pv.Count; ++k) {
      const TMinutia& m = pv.Minutiae[gridItems[k]];
      Rotate(-h, m.X - pi.X, m.Y - pi.Y, u[2 * k], u[2 * k + 1]);
    }
    for (int b = 0; b < cand.Count; ++b)
      Rotate(h, cand.Minutiae[b].X - ca.X, cand.Minutiae[b].Y - ca.Y, v[2 * b], v[2 * b + 1]);
  }

  int pairs = 0;
  const TTrig& t = Trig();
  const int32_t c2 = t.Cos[(2 * h) & 4095], s2 = t.Sin[(2 * h) & 4095];
  // d2 <= min(base2 + r2 / growth, max2) without dividing: d2 <= max2 and
  // (d2 - base2) * growth <= r2.
  const int reach = kPosTolMax + 2;  // pixels; the grid position below is rounded
  // A probe minutia (in grid order) against candidate minutia b.
  const auto consider = [&](int k, int b, int64_t vx, int64_t vy, int64_t v2, const TMinutia& mb, int angB) {
    const int64_t ux = u[2 * k], uy = u[2 * k + 1];
    const int64_t d2 = (ux - vx) * (ux - vx) + (uy - vy) * (uy - vy);
    if (d2 > max2) return;
    const int j = gridItems[k];
    const int64_t r2 = (ux * ux + uy * uy + v2) / 2;
    if ((d2 - base2) * kGrowthDen > r2) return;
    const TMinutia& mj = pv.Minutiae[j];
    const int da = std::abs(Wrap4096(mj.Angle * 16 - h - angB));
    if (da > kPairAngleTol) return;
    const int64_t tol2 = std::min<int64_t>(base2 + r2 / kGrowthDen, max2);
    uint32_t cost = static_cast<uint32_t>(d2 * 256 / tol2) + static_cast<uint32_t>(da * 256 / kPairAngleTol);
    if (mj.Type != mb.Type) cost += static_cast<uint32_t>(tu.TypePenalty);
    if (tu.PeriodPenalty && mj.Period != 255 && mb.Period != 255 && mj.Period && mb.Period) {
      const int lo = std::min(mj.Period, mb.Period), hi = std::max(mj.Period, mb.Period);
      cost += static_cast<uint32_t>(tu.PeriodPenalty * 10 * (hi - lo) / lo);
    }
    if (cost >= 512) return;
    // Sorted as one number: cost, then the pair's key, then its indices
    // smaller first (alike from either side); the last bit tells which
    // index is the probe's.
    const uint64_t key = probe.FKeys[j] + FKeyC[b];
    FPairs[pairs++] = (uint64_t{cost} << 49) | (key << 17) | (uint64_t(std::min(j, b)) << 9) | (uint64_t(std::max(j, b)) << 1) |
                      static_cast<uint64_t>(j > b);
  };
#if DL_MATCHER_SSE2
  // With SSE2: the probe's minutiae from the grid window's first cell to its
  // last (the grid is in rows), four at once, those outside the window's
  // columns left out, so the same items as the loop per row below; their
  // distances in 16-bit coordinates and their directions tested there, so
  // that only the few that pass both are considered one by one.
  const int32_t* gridCol = probe.FGridCol.data();
  const __m128i nearV = _mm_set1_epi32(static_cast<int32_t>(max2 + 1));
  const int32_t* gridAngle = probe.FGridAngle.data();
  const __m128i mask4095 = _mm_set1_epi32(4095), v2048 = _mm_set1_epi32(2048);
  const __m128i angleTol = _mm_set1_epi32(kPairAngleTol), negAngleTol = _mm_set1_epi32(-kPairAngleTol);
#endif
  for (int b = 0; b < cand.Count; ++b) {
    // Where b falls among the probe's minutiae (grid look-up only; the test below is exact).
    const int32_t dx = cand.Minutiae[b].X - ca.X, dy = cand.Minutiae[b].Y - ca.Y;
    const int32_t qx = pi.X + ((c2 * dx - s2 * dy) >> 14), qy = -(pi.Y + ((s2 * dx + c2 * dy) >> 14));
    const int x0 = std::max(0, (qx - reach) >> 5), x1 = std::min(63, (qx + reach) >> 5);
    const int y0 = std::max(0, (qy - reach) >> 5), y1 = std::min(63, (qy + reach) >> 5);
    if (x0 > x1 || y0 > y1) continue;
    const int64_t vx = v[2 * b], vy = v[2 * b + 1], v2 = vx * vx + vy * vy;
    const TMinutia& mb = cand.Minutiae[b];
    const int angB = mb.Angle * 16 + h;
#if DL_MATCHER_SSE2
    if (vector) {
      const int kA = gridStart[y0 * 64 + x0], kB = gridStart[y1 * 64 + x1 + 1];
      const __m128i vv = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(vx)) | static_cast<uint32_t>(vy) << 16));
      const __m128i colLo = _mm_set1_epi32(x0 - 1), colHi = _mm_set1_epi32(x1 + 1);
      const __m128i turnB = _mm_set1_epi32(2048 - angB - h);
      for (int k = kA; k < kB; k += 4) {
        const __m128i d = _mm_sub_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u16 + 2 * k)), vv);
        const __m128i col = _mm_loadu_si128(reinterpret_cast<const __m128i*>(gridCol + k));
        // Wrap4096 of the angle difference, within the tolerance either way.
        const __m128i da = _mm_sub_epi32(
            _mm_and_si128(_mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(gridAngle + k)), turnB), mask4095), v2048);
        const __m128i near = _mm_cmpgt_epi32(nearV, _mm_madd_epi16(d, d));
        const __m128i turned = _mm_or_si128(_mm_cmpgt_epi32(da, angleTol), _mm_cmpgt_epi32(negAngleTol, da));
        const __m128i inColumns = _mm_and_si128(_mm_cmpgt_epi32(col, colLo), _mm_cmplt_epi32(col, colHi));
        const __m128i in = _mm_andnot_si128(turned, _mm_and_si128(near, inColumns));
        unsigned m = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(in)));
        if (kB - k < 4) m &= (1u << (kB - k)) - 1;
        for (; m; m &= m - 1) consider(k + std::countr_zero(m), b, vx, vy, v2, mb, angB);
      }
      continue;
    }
#endif
    for (int y = y0; y <= y1; ++y)
      for (int k = gridStart[y * 64 + x0], kEnd = gridStart[y * 64 + x1 + 1]; k < kEnd; ++k) consider(k, b, vx, vy, v2, mb, angB);
  }
  // Greedy pairing, lowest first, as rounds of mutual bests: a pair that is
  // the lowest of both its minutiae among the pairs still open is one that
  // the greedy order takes, and rounds until none is left give its result
  // without sorting.
  std::memset(FUsedP.data(), 0, static_cast<size_t>(pv.Count));
  std::memset(FUsedC.data(), 0, static_cast<size_t>(cand.Count));
  TResult r;
  uint64_t* bestJ = FBestOfP.data();
  uint64_t* bestB = FBestOfC.data();
  auto unpack = [](uint64_t p, int& j, int& b) {
    const int lo = static_cast<int>((p >> 9) & 255), hi = static_cast<int>((p >> 1) & 255);
    j = (p & 1) ? hi : lo;
    b = (p & 1) ? lo : hi;
  };
  while (pairs > 0) {
    for (int k = 0; k < pairs; ++k) {
      int j, b;
      unpack(FPairs[k], j, b);
      bestJ[j] = ~uint64_t{0};
      bestB[b] = ~uint64_t{0};
    }
    for (int k = 0; k < pairs; ++k) {
      int j, b;
      unpack(FPairs[k], j, b);
      bestJ[j] = std::min(bestJ[j], FPairs[k]);
      bestB[b] = std::min(bestB[b], FPairs[k]);
    }
    int open = 0;
    for (int k = 0; k < pairs; ++k) {
      const uint64_t p = FPairs[k];
      int j, b;
      unpack(p, j, b);
      if (bestJ[j] == p && bestB[b] == p) {
        FUsedP[j] = static_cast<uint8_t>(b + 1);
        FUsedC[b] = static_cast<uint8_t>(j + 1);
        ++r.Paired;
        FWeightP[j] = static_cast<uint16_t>(256 - static_cast<int>(p >> 49) / 2);
        r.Weight += FWeightP[j];
      }
    }
    for (int k = 0; k < pairs; ++k) {
      int j, b;
      unpack(FPairs[k], j, b);
      if (!FUsedP[j] && !FUsedC[b]) FPairs[open++] = FPairs[k];
    }
    pairs = open;
  }
  return r;
}

// Minutiae of `from` that lie within the hull of `to`, both turned about their
// anchor minutiae halfway towards each other (`from` by `half`, `to` by -half).
int TComparison::Overlap(const TTemplateView& from, int origin, int half, const TTemplateView& to, int toOrigin) const {
  if (to.HullCount < 3) return from.Count;
  int32_t hx[kMaxMinutiae], hy[kMaxMinutiae];
  const TMinutia& t0 = to.Minutiae[toOrigin];
  for (int k = 0; k < to.HullCount; ++k) Rotate(-half, to.Hull[k].X - t0.X, to.Hull[k].Y - t0.Y, hx[k], hy[k]);
  const TMinutia& f0 = from.Minutiae[origin];
  // Points well inside the circle about the hull's centre that touches its
  // nearest edge are inside without testing the edges (the hull's margin
  // covers the rounding of the turned coordinates).
  int32_t cx, cy;
  Rotate(-half, to.CentreX - t0.X, to.CentreY - t0.Y, cx, cy);
  const int64_t r = static_cast<int64_t>(std::sqrt(static_cast<double>(to.InRadius2)));
  const int64_t inner2 = r > 1 ? 16 * (r - 1) * (r - 1) : 0;
  int inside = 0;
  const auto onHull = [&](int32_t px, int32_t py) {
    bool in = true;
    for (int k = 0; k < to.HullCount && in; ++k) {
      const int n = k + 1 == to.HullCount ? 0 : k + 1;
      const int64_t ex = hx[n] - hx[k], ey = hy[n] - hy[k];
      const int64_t cross = ex * (py - hy[k]) - ey * (px - hx[k]);
      in = cross >= -int64_t{16} * kHullMargin * to.Hull[k].EdgeLength;
    }
    return in;
  };
  int j = 0;
#if DL_MATCHER_SSE2
  // With SSE2 where both lie within 2047 pixels either way (and the centre
  // and circle are as PrepareTemplate makes them): two minutiae turned at
  // once and their distances from the centre in 16-bit arithmetic (exact
  // there), the edges tested for those outside the circle.
  if (VectorPaths() && from.Span <= 2047 && to.Span <= 2047 && std::abs(cx) <= 16383 && std::abs(cy) <= 16383 && inner2 <= INT32_MAX) {
    const TTurnTwo turn(half, f0.X, f0.Y);
    const __m128i centre = _mm_set_epi32(0, cx, 0, cx), centreY = _mm_set_epi32(0, cy, 0, cy);
    const __m128i innerV = _mm_set1_epi32(static_cast<int32_t>(inner2));
    alignas(16) int32_t turned[4];
    for (; j + 2 <= from.Count; j += 2) {
      __m128i x, y;
      turn(from.Minutiae + j, x, y);
      // (x - cx, y - cy) as 16-bit pairs in lanes 0 and 2: their squares summed.
      const __m128i e = _mm_or_si128(_mm_and_si128(_mm_sub_epi32(x, centre), _mm_set1_epi32(0xFFFF)), _mm_slli_epi32(_mm_sub_epi32(y, centreY), 16));
      const unsigned near = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmplt_epi32(_mm_madd_epi16(e, e), innerV))));
      _mm_store_si128(reinterpret_cast<__m128i*>(turned), _mm_or_si128(x, _mm_slli_si128(y, 4)));
      inside += (near & 1) ? 1 : onHull(turned[0], turned[1]);
      inside += (near & 4) ? 1 : onHull(turned[2], turned[3]);
    }
  }
#endif
  for (; j < from.Count; ++j) {
    int32_t px, py;
    Rotate(half, from.Minutiae[j].X - f0.X, from.Minutiae[j].Y - f0.Y, px, py);
    const int64_t dx = px - cx, dy = py - cy;
    inside += dx * dx + dy * dy < inner2 ? 1 : onHull(px, py);
  }
  return inside;
}

int TComparison::Score(const TProbe& probe, const TTemplateView& cand) {
  const TTemplateView& pv = probe.FUnpacked.View();
  FLast = TDetail{};
  FBestCount = 0;
  if (pv.Count == 0 || cand.Count == 0) return 0;
  const TLengthBins& lb = LengthBins();
  const int nc = cand.Count;
  for (int b = 0; b < nc; ++b) FKeyC[b] = MinutiaKey(cand.Minutiae[b]);
  const int kAlphaTol = Tuning().AlphaTol, kBetaTol = Tuning().BetaTol;
  const int kAnchors = std::clamp(Tuning().Anchors, 1, kMaxAnchors);

  // Votes of edge pairs within tolerance for the minutia pairs they join, with
  // the rotation each implies, relative to the difference of the two
  // minutiae's directions. Each candidate edge once, from its lower numbered
  // end, against the probe's edges from both ends; a pair passes when it is
  // alike seen from either end (so the votes do not depend on which end is
  // which, and the score is symmetric). Without branches: about half the
  // entries met pass, unpredictably, and a vote of 0 costs less than a
  // mispredicted branch. The rotation at the near end is the difference of
  // the edge's directions relative to the minutiae (Alpha), at the far end
  // relative to the far minutiae (Alpha - Beta).
  const int np = pv.Count;
  int32_t* votes = FVotes.data();
  const uint32_t* cellStart = probe.FCellStart.data();
  const TProbe::TEntry* entries = probe.FEntries.data();
  const TLengthWindow& lw = LengthWindow();
  const int ka = kAlphaTol, kb = kBetaTol;
  constexpr int32_t kVote = 1 << 20;
  // In two passes: first every link's cell and its features as the entries
  // are tested (its loads independent of one another, so that their misses
  // overlap), then all the entries those cells hold, one after the other in
  // one loop, each knowing its link by a table: the entries of one cell are a
  // few, and a loop per cell mispredicted its end almost every time.
  TLinkTest* tests = FLinkTests.data();
  uint16_t* linkOf = FLinkOf.data();
  const auto vote = [ka, kb, nc, votes](int from, const TLinkTest& w, const TProbe::TEntry& p) {
    const int dalpha = static_cast<int8_t>(p.Alpha - w.Alpha), dturn = static_cast<int8_t>(p.Turn - w.Turn);
    const int32_t pass = -static_cast<int32_t>((static_cast<unsigned>(p.Length - w.Lo) <= static_cast<unsigned>(w.Span)) &
                                               (static_cast<unsigned>(dalpha + ka) <= static_cast<unsigned>(2 * ka)) &
                                               (static_cast<unsigned>(dturn + ka) <= static_cast<unsigned>(2 * ka)) &
                                               (static_cast<uint8_t>(p.Beta - w.Beta + kb) <= 2 * kb));
    votes[p.From * nc + from] += (16 * dalpha + kVote) & pass;
    votes[p.To * nc + w.To] += (16 * dturn + kVote) & pass;
  };
  int filled = 0, batchLinks = 0;
#if DL_MATCHER_SSE2
  // With SSE2 (the tolerances within 7 bits), the entries of the batch's
  // cells are copied in order, and two at once are tested against their
  // links' features as bytes, all four tests in one: (entry - low) per byte
  // saturated at each byte's span is zero where the entry is within it. The
  // entries that pass are listed, and only they vote.
  const bool vector = VectorPaths() && ka >= 0 && ka <= 127 && kb >= 0 && kb <= 127;
  TProbe::TEntry* slotEntries = FSlotEntries.data();
  // The spans' bytes but the length's: 255 where anything passes.
  const uint64_t spanBytes = 0xFFFF000000000000u | uint64_t{static_cast<uint8_t>(2 * ka)} << 24 | uint64_t{static_cast<uint8_t>(2 * kb)} << 32 |
                             uint64_t{static_cast<uint8_t>(2 * ka)} << 40 | 0xFFFFu;
  TLinkBytes* linkBytes = FLinkBytes.data();
  uint16_t* passed = FPassed.data();
#else
  const bool vector = false;
#endif
  const auto flush = [&] {
    const TLinkTest* const w0 = tests;
    const uint16_t* const of = linkOf;
    const int n = filled;
#if DL_MATCHER_SSE2
    if (vector) {
      const __m128i zero = _mm_setzero_si128();
      int np2 = 0;
      for (int t = 0; t < n; t += 2) {
        const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(slotEntries + t));
        const __m128i w0b = _mm_load_si128(reinterpret_cast<const __m128i*>(linkBytes[of[t]].B));
        const __m128i w1b = _mm_load_si128(reinterpret_cast<const __m128i*>(linkBytes[of[t + 1]].B));
        const __m128i d = _mm_sub_epi8(e, _mm_unpacklo_epi64(w0b, w1b));
        const unsigned ok = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(d, _mm_unpackhi_epi64(w0b, w1b)), zero)));
        passed[np2] = static_cast<uint16_t>(t);
        np2 += (ok & 0xFF) == 0xFF;
        passed[np2] = static_cast<uint16_t>(t + 1);
        np2 += (ok >> 8 == 0xFF) & (t + 1 < n);
      }
      for (int q = 0; q < np2; ++q) {
        const int t = passed[q];
        const TProbe::TEntry& p = slotEntries[t];
        const uint8_t* w = linkBytes[of[t]].B;
        votes[p.From * nc + w[0]] += 16 * static_cast<int8_t>(p.Alpha - w[3] - ka) + kVote;
        votes[p.To * nc + w[1]] += 16 * static_cast<int8_t>(p.Turn - w[5] - ka) + kVote;
      }
      filled = 0;
      batchLinks = 0;
      return;
    }
#endif
    const TProbe::TEntry* const en = entries;
    for (int t = 0; t < n; ++t) {
      const TLinkTest& w = w0[of[t]];
      vote(w.From, w, en[t + w.Delta]);
    }
    filled = 0;
    batchLinks = 0;
  };
  for (int l = 0; l < cand.LinkCount; ++l) {
    const TLink& e = cand.Links[l];
    const int ealpha = static_cast<uint8_t>(e.Direction - cand.Minutiae[e.From].Angle);
    const int ebeta = static_cast<uint8_t>(cand.Minutiae[e.To].Angle - cand.Minutiae[e.From].Angle);
    const int eturn = static_cast<uint8_t>(e.Direction - cand.Minutiae[e.To].Angle);
    const int cell = Cell(lb.Bin[e.Length], ealpha, ebeta);
    const int begin = static_cast<int>(cellStart[cell]), count = static_cast<int>(cellStart[cell + 1]) - begin;
    __builtin_prefetch(entries + begin);
    const TLinkTest w{begin - filled, e.From, e.To, lw.Lo[e.Length], static_cast<uint8_t>(lw.Hi[e.Length] - lw.Lo[e.Length]),
                      static_cast<uint8_t>(ealpha), static_cast<uint8_t>(ebeta), static_cast<uint8_t>(eturn)};
    if (count > kLinkBatch - kLinkSpan) {  // a crowded cell: alone
      for (int k = 0; k < count; ++k) vote(e.From, w, entries[begin + k]);
      continue;
    }
    if (filled + count > kLinkBatch - kLinkSpan) {
      flush();
      --l;  // again, numbered from the new batch's start
      continue;
    }
#if DL_MATCHER_SSE2
    if (vector) {
      // The entries' bytes less the first eight are within the last eight
      // (per byte, as in vote(); the link's ends where anything passes).
      const uint64_t low = uint64_t{e.From} | uint64_t{e.To} << 8 | uint64_t{w.Lo} << 16 | uint64_t{static_cast<uint8_t>(ealpha - ka)} << 24 |
                           uint64_t{static_cast<uint8_t>(ebeta - kb)} << 32 | uint64_t{static_cast<uint8_t>(eturn - ka)} << 40;
      std::memcpy(linkBytes[batchLinks].B, &low, 8);
      const uint64_t spans = spanBytes | uint64_t{w.Span} << 16;
      std::memcpy(linkBytes[batchLinks].B + 8, &spans, 8);
      std::memcpy(slotEntries + filled, entries + begin, kLinkSpan * sizeof(TProbe::TEntry));
      for (int k = kLinkSpan; k < count; k += kLinkSpan) std::memcpy(slotEntries + filled + k, entries + begin + k, kLinkSpan * sizeof(TProbe::TEntry));
    } else
#endif
      tests[batchLinks] = w;
    // Numbers for a span of slots at once (no loop of its own in most
    // cells), the rest one by one.
    const uint16_t me = static_cast<uint16_t>(batchLinks++);
    for (int k = 0; k < kLinkSpan; ++k) linkOf[filled + k] = me;
    for (int k = kLinkSpan; k < count; ++k) linkOf[filled + k] = me;
    filled += count;
  }
  flush();

  // The best voted pairs become anchors (ties broken alike from either side).
  // A vote's count is monotone in its packed value, so the most of each block
  // of eight pairs is one max; the kAnchors-th highest of the blocks' mosts is
  // a count that at least kAnchors pairs reach, and only pairs reaching it
  // are ranked.
  const int total = (np * nc + 7) & ~7;  // the votes past np * nc are zero
  const int blocks = total / 8;
  uint8_t* blockMost = FBlockMost.data();
  for (int block = 0; block < blocks; ++block) {
    const int32_t* v = votes + 8 * block;
    int32_t most = v[0];
    for (int q = 1; q < 8; ++q) most = std::max(most, v[q]);
    blockMost[block] = static_cast<uint8_t>(std::min((most + kVote / 2) >> 20, 255));
  }
  int histogram[256] = {};
  for (int block = 0; block < blocks; ++block) ++histogram[blockMost[block]];
  int floorCount = 1;
  for (int c = 255, seen = 0; c >= 1; --c) {
    seen += histogram[c];
    if (seen >= kAnchors) {
      floorCount = c;
      break;
    }
  }
  // Ranked as one number: more votes first, then the pair's key, then its
  // indices smaller first; the last bit tells which index is the probe's.
  // Without branches within the blocks that reach it (few of their pairs
  // do, unpredictably), the probe's minutia by a multiplication: idx / nc
  // exactly, for idx below 2^16.
  uint64_t* ranked = FPairs.data();
  int nr = 0;
  const uint64_t inverse = ((uint64_t{1} << 32) + static_cast<uint64_t>(nc) - 1) / static_cast<uint64_t>(nc);
  uint16_t* reaching = FReaching.data();
  int nreach = 0;
  for (int block = 0; block < blocks; ++block) {
    reaching[nreach] = static_cast<uint16_t>(block);
    nreach += blockMost[block] >= floorCount;
  }
  for (int q = 0; q < nreach; ++q) {
    const int block = reaching[q];
    for (int idx = 8 * block; idx < 8 * block + 8; ++idx) {
      const int count = (votes[idx] + kVote / 2) >> 20;
      const int i = static_cast<int>((static_cast<uint64_t>(idx) * inverse) >> 32), a = idx - i * nc;
      const uint64_t key = probe.FKeys[std::min(i, np - 1)] + FKeyC[a];  // (past the pairs, in the last block: not kept)
      ranked[nr] = (uint64_t(0x7FFF - std::min(count, 0x7FFF)) << 49) | (key << 17) | (uint64_t(std::min(i, a)) << 9) |
                   (uint64_t(std::max(i, a)) << 1) | static_cast<uint64_t>(i > a);
      nr += count >= floorCount;
    }
  }
  int na = std::min(nr, kAnchors);
  if (nr > na) std::nth_element(ranked, ranked + na, ranked + nr);
  std::sort(ranked, ranked + na);
  // Pairs (i, a) and (a, i) of equal votes and key differ only in the last
  // bit, which the other way round is the other one's: a cut between them
  // would keep a different pair each way. Both are kept (or, at the most
  // anchors there is room for, neither).
  if (nr > na && na > 0 && (ranked[na] >> 1) == (ranked[na - 1] >> 1)) na += na < kMaxAnchors ? 1 : -1;
  TAnchor anchors[kMaxAnchors];
  for (int k = 0; k < na; ++k) {
    const uint64_t r = ranked[k];
    const int lo = static_cast<int>((r >> 9) & 255), hi = static_cast<int>((r >> 1) & 255);
    const int i = (r & 1) ? hi : lo, a = (r & 1) ? lo : hi;
    const int32_t v = votes[i * nc + a];
    const int count = (v + kVote / 2) >> 20;
    const int32_t rotationSum = v - count * kVote;
    const int base = Wrap4096((pv.Minutiae[i].Angle - cand.Minutiae[a].Angle) * 16);
    int half = static_cast<int>(DivSym(int64_t{base} * count + rotationSum, 2 * int64_t{count}));
    while (half > 1024) half -= 2048;
    while (half <= -1024) half += 2048;
    anchors[k] = TAnchor{static_cast<uint8_t>(i), static_cast<uint8_t>(a), static_cast<uint16_t>(count), half,
                         static_cast<uint32_t>(r >> 17)};
  }
  std::memset(votes, 0, sizeof(int32_t) * static_cast<size_t>(total));

  // The order of consolidation: by default the anchors' own; with clusters,
  // the anchors are ranked by the votes of the anchors that agree with them,
  // and the best ranked are consolidated.
  const TTuning& tu = Tuning();
  int order[kMaxAnchors];
  int consolidations = na;
  for (int k = 0; k < na; ++k) order[k] = k;
  if (tu.Clusters > 0 && na > 1) {
    // Anchor y agrees with anchor x when x's alignment would pair y's two
    // minutiae (the test of the consolidation, about x's anchor).
    const TTrig& t = Trig();
    int32_t px[kMaxAnchors], py[kMaxAnchors], cx[kMaxAnchors], cy[kMaxAnchors], turn[kMaxAnchors];
    for (int y = 0; y < na; ++y) {
      const TMinutia& mp = pv.Minutiae[anchors[y].I];
      const TMinutia& mc = cand.Minutiae[anchors[y].A];
      px[y] = mp.X, py[y] = mp.Y, cx[y] = mc.X, cy[y] = mc.Y;
      turn[y] = mp.Angle * 16 - mc.Angle * 16;
    }
    const int64_t base2 = int64_t{16} * tu.PosTol * tu.PosTol, max2 = int64_t{16} * tu.PosTolMax * tu.PosTolMax;
    int32_t votesOf[kMaxAnchors];
    uint8_t anchorI[kMaxAnchors], anchorA[kMaxAnchors];
    for (int y = 0; y < na; ++y) votesOf[y] = anchors[y].Votes, anchorI[y] = anchors[y].I, anchorA[y] = anchors[y].A;
    int support[kMaxAnchors];
#if DL_MATCHER_SSE2
    // With SSE2, four anchors y at once, all tests without branches, in
    // 16-bit coordinates and products where they are exact: the anchors'
    // minutiae within 2047 pixels of one another either way (as the records'
    // coordinates always are), the tolerances within 16 bits.
    const auto extent = [na](const int32_t* w) {
      const auto [lo, hi] = std::minmax_element(w, w + na);
      return *hi - *lo;
    };
    const bool vector = VectorPaths() && std::max({extent(px), extent(py), extent(cx), extent(cy)}) <= 2047 && base2 <= 32768 &&
                        max2 - base2 <= 32767 && tu.GrowthDen >= -32768 && tu.GrowthDen <= 32767 && tu.PairAngleTol >= 0 &&
                        tu.PairAngleTol <= (1 << 29);
    if (vector) {
      const int groups = (na + 3) / 4;
      alignas(16) int32_t p16[kMaxAnchors], c16[kMaxAnchors], turn4[kMaxAnchors], i4[kMaxAnchors], a4[kMaxAnchors], votes4[kMaxAnchors];
      for (int y = 0; y < 4 * groups; ++y) {
        const bool real = y < na;
        p16[y] = real ? static_cast<int32_t>(static_cast<uint16_t>(px[y]) | static_cast<uint32_t>(py[y]) << 16) : 0;
        c16[y] = real ? static_cast<int32_t>(static_cast<uint16_t>(cx[y]) | static_cast<uint32_t>(cy[y]) << 16) : 0;
        turn4[y] = real ? turn[y] : 0;
        i4[y] = real ? anchorI[y] : -1;
        a4[y] = real ? anchorA[y] : -1;
        votes4[y] = real ? votesOf[y] : 0;  // lanes past the anchors add nothing
      }
      // (lo, hi) 16-bit pairs of two 32-bit lanes' values that fit.
      const auto pack = [](__m128i lo, __m128i hi) { return _mm_or_si128(_mm_and_si128(lo, _mm_set1_epi32(0xFFFF)), _mm_slli_epi32(hi, 16)); };
      const __m128i round = _mm_set1_epi32(2048), m4095 = _mm_set1_epi32(4095);
      const __m128i max2v = _mm_set1_epi32(static_cast<int32_t>(max2)), base2v = _mm_set1_epi32(static_cast<int32_t>(base2));
      const __m128i growth = _mm_set1_epi32(static_cast<uint16_t>(tu.GrowthDen));  // (GrowthDen, 0) pairs
      const __m128i tol = _mm_set1_epi32(tu.PairAngleTol), negTol = _mm_set1_epi32(-tu.PairAngleTol);
      for (int x = 0; x < na; ++x) {
        const TAnchor& ax = anchors[x];
        const int32_t c = t.Cos[(-ax.Half) & 4095], sn = t.Sin[(-ax.Half) & 4095];
        const __m128i ruX = Pair16(c, -sn), ruY = Pair16(sn, c), rvX = Pair16(c, sn), rvY = Pair16(-sn, c);
        const __m128i px0 = _mm_set1_epi32(p16[x]), cx0 = _mm_set1_epi32(c16[x]);
        const __m128i turnX = _mm_set1_epi32(2048 - 2 * ax.Half), ix = _mm_set1_epi32(anchorI[x]), axA = _mm_set1_epi32(anchorA[x]);
        __m128i sum = _mm_setzero_si128();
        for (int g = 0; g < groups; ++g) {
          const __m128i dp = _mm_sub_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(p16 + 4 * g)), px0);
          const __m128i dc = _mm_sub_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(c16 + 4 * g)), cx0);
          const __m128i ux = TurnLanes(dp, ruX), uy = TurnLanes(dp, ruY), vx = TurnLanes(dc, rvX), vy = TurnLanes(dc, rvY);
          const __m128i u = pack(ux, uy), v = pack(vx, vy), d = pack(_mm_sub_epi32(ux, vx), _mm_sub_epi32(uy, vy));
          const __m128i d2 = _mm_madd_epi16(d, d);
          const __m128i r2 = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(u, u), _mm_madd_epi16(v, v)), 1);
          // Where d2 <= max2, d2 - base2 fits 16 bits.
          const __m128i grown = _mm_madd_epi16(_mm_and_si128(_mm_sub_epi32(d2, base2v), _mm_set1_epi32(0xFFFF)), growth);
          const __m128i turnOff = _mm_sub_epi32(
              _mm_and_si128(_mm_add_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(turn4 + 4 * g)), turnX), m4095), round);
          const __m128i same = _mm_or_si128(_mm_cmpeq_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(i4 + 4 * g)), ix),
                                            _mm_cmpeq_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(a4 + 4 * g)), axA));
          const __m128i fails = _mm_or_si128(_mm_or_si128(same, _mm_or_si128(_mm_cmpgt_epi32(turnOff, tol), _mm_cmpgt_epi32(negTol, turnOff))),
                                             _mm_or_si128(_mm_cmpgt_epi32(d2, max2v), _mm_cmpgt_epi32(grown, r2)));
          sum = _mm_add_epi32(sum, _mm_andnot_si128(fails, _mm_load_si128(reinterpret_cast<const __m128i*>(votes4 + 4 * g))));
        }
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
        support[x] = ax.Votes + _mm_cvtsi128_si32(sum);
      }
    }
#else
    const bool vector = false;
#endif
    for (int x = 0; x < na && !vector; ++x) {
      const TAnchor& ax = anchors[x];
      const int32_t c = t.Cos[(-ax.Half) & 4095], sn = t.Sin[(-ax.Half) & 4095];  // turns the probe; the candidate the other way
      const int twice = 2 * ax.Half;
      int32_t sum = 0;
      // The cheap tests first, for all; the turned positions only for the
      // anchors that pass them (fewer than half, mostly). Without branches:
      // either outcome is common.
      uint8_t near[kMaxAnchors];
      int nn = 0;
      const unsigned angleTol = static_cast<unsigned>(tu.PairAngleTol);
      for (int y = 0; y < na; ++y) {
        const int turnOff = ((turn[y] - twice + 2048) & 4095) - 2048;
        near[nn] = static_cast<uint8_t>(y);
        nn += (anchorI[y] != anchorI[x]) & (anchorA[y] != anchorA[x]) & (static_cast<unsigned>(turnOff) + angleTol <= 2 * angleTol);
      }
      for (int q = 0; q < nn; ++q) {
        const int y = near[q];
        const int32_t dpx = px[y] - px[x], dpy = py[y] - py[x], dcx = cx[y] - cx[x], dcy = cy[y] - cy[x];
        const int64_t ux = (c * dpx - sn * dpy + 2048) >> 12, uy = (sn * dpx + c * dpy + 2048) >> 12;
        const int64_t vx = (c * dcx + sn * dcy + 2048) >> 12, vy = (-sn * dcx + c * dcy + 2048) >> 12;
        const int64_t d2 = (ux - vx) * (ux - vx) + (uy - vy) * (uy - vy);
        const int64_t r2 = (ux * ux + uy * uy + vx * vx + vy * vy) / 2;
        const bool agrees = (d2 <= max2) & ((std::min(d2, max2) - base2) * tu.GrowthDen <= r2);
        sum += votesOf[y] & -static_cast<int32_t>(agrees);
      }
      support[x] = ax.Votes + sum;
    }
    // Most supported first, equal support in the anchors' own order: an
    // insertion sort, which is stable and, unlike std::stable_sort, asks
    // for no buffer (a comparison allocates nothing).
    for (int k = 1; k < na; ++k) {
      const int moved = order[k];
      int at = k;
      for (; at > 0 && support[order[at - 1]] < support[moved]; --at) order[at] = order[at - 1];
      order[at] = moved;
    }
    consolidations = std::min(na, tu.Clusters);
    // The same at this cut: two such pairs of equal support are both consolidated.
    if (consolidations < na) {
      const int last = order[consolidations - 1], next = order[consolidations];
      const TAnchor &l = anchors[last], &n = anchors[next];
      if (support[last] == support[next] && l.I == n.A && l.A == n.I && l.Votes == n.Votes && l.Key == n.Key) ++consolidations;
    }
  }

  // Consolidation from each anchor not already paired in the best pairing so far.
  int best = -1;
  TResult bestResult;
  for (int q = 0; q < consolidations; ++q) {
    const int k = order[q];
    const TAnchor& an = anchors[k];
    if (best >= 0 && FBestP[an.I] && FBestC[an.A]) continue;
    const TResult r = Consolidate(probe, cand, an);
    if (r.Weight > bestResult.Weight) {
      bestResult = r;
      best = k;
      std::memcpy(FBestP.data(), FUsedP.data(), static_cast<size_t>(pv.Count));
      std::memcpy(FBestC.data(), FUsedC.data(), static_cast<size_t>(cand.Count));
      std::memcpy(FBestWeightP.data(), FWeightP.data(), sizeof(uint16_t) * static_cast<size_t>(pv.Count));
    }
  }
  if (best < 0 || bestResult.Paired < 2) return 0;
  FBestCount = pv.Count;
  TAnchor bestAnchor = anchors[best];

  // Pairs whose local structure agrees: an edge of each to minutiae that are
  // paired with each other, the two edges alike.
  int supported = 0, supported2 = 0, supportEdges = 0, supportWeight = 0;
  {
    const int ka = Tuning().AlphaTol, kb = Tuning().BetaTol;
    for (int j = 0; j < pv.Count; ++j) {
      if (!FBestP[j]) continue;
      const int b = FBestP[j] - 1;
      const TEdge* ej = pv.Edges + j * kMaxNeighbours;
      const TEdge* eb = cand.Edges + b * kMaxNeighbours;
      int n = 0;
      for (int x = 0; x < kMaxNeighbours && ej[x].Length; ++x) {
        const int c = FBestP[ej[x].To];
        if (!c) continue;
        for (int y = 0; y < kMaxNeighbours && eb[y].Length; ++y) {
          if (eb[y].To != c - 1) continue;
          const TEdge &p = ej[x], &e = eb[y];
          n += 32 * (std::abs(p.Length - e.Length) - 3) <= 3 * std::min<int>(p.Length, e.Length) &&
               static_cast<uint8_t>(p.Alpha - e.Alpha + ka) <= 2 * ka && static_cast<uint8_t>(p.Beta - e.Beta + kb) <= 2 * kb;
          break;
        }
      }
      supported += n > 0;
      if (n > 0) supportWeight += FBestWeightP[j];
      supported2 += n > 1;
      supportEdges += n;
    }
  }
  const TAnchor& an = bestAnchor;
  const int inP = Overlap(pv, an.I, -an.Half, cand, an.A);
  const int inC = Overlap(cand, an.A, an.Half, pv, an.I);
  FLast = TDetail{bestResult.Paired, bestResult.Weight, inP, inC, supported, supported2, supportEdges, pv.HullArea, cand.HullArea, supportWeight, best};
  if (Tuning().ScoreMode == 1) return SupportScore(supportWeight, std::max(inP, bestResult.Paired), std::max(inC, bestResult.Paired));
  return ChanceScore(bestResult.Weight, std::max(inP, bestResult.Paired), pv, std::max(inC, bestResult.Paired), cand);
}

namespace {

// Work spaces of finished one-off comparisons, kept for the next ones: a work
// space is large (it holds every minutia pair of two full templates).
class TWorkSpaces {
 public:
  std::unique_ptr<TComparison> Take() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      if (!FFree.empty()) {
        auto c = std::move(FFree.back());
        FFree.pop_back();
        return c;
      }
    }
    return std::make_unique<TComparison>();
  }
  void Give(std::unique_ptr<TComparison> c) {
    std::lock_guard<std::mutex> lock(FLock);
    if (FFree.size() < kKept) FFree.push_back(std::move(c));
  }

 private:
  static constexpr size_t kKept = 8;
  std::mutex FLock;
  std::vector<std::unique_ptr<TComparison>> FFree;
};

TWorkSpaces& WorkSpaces() {
  static TWorkSpaces* w = new TWorkSpaces;  // never destroyed: usable until the process ends
  return *w;
}

}  // namespace

int Compare(const uint8_t* a, size_t sizeA, const uint8_t* b, size_t sizeB) {
  TProbe probe(a, sizeA);
  std::vector<uint8_t> block;
  PrepareTemplate(b, sizeB, block);
  auto c = WorkSpaces().Take();
  const int score = c->Score(probe, block.data());
  WorkSpaces().Give(std::move(c));
  return score;
}

int LeastUsableMinutiae() {
  int lowest = kThresholdTable[0].Score;
  for (const auto& point : kThresholdTable) lowest = std::min(lowest, point.Score);
  for (int n = 2; n < kMaxMinutiae; ++n) {
    // The best a template of n minutiae can do: all of them paired exactly
    // (and supported), none of its own left unpaired in the common area.
    const int best = Tuning().ScoreMode == 1 ? SupportScore(256 * n, n, n)
                                             : static_cast<int>(std::floor(kChanceScale * n / Tuning().ChanceFloor + 0.5));
    if (best >= lowest) return n;
  }
  return kMaxMinutiae;
}

int Threshold(double falseMatchRate) {
  const auto& t = kThresholdTable;
  const int n = static_cast<int>(sizeof t / sizeof t[0]);
  if (!(falseMatchRate > 0)) falseMatchRate = t[n - 1].Rate;
  if (falseMatchRate >= t[0].Rate) return t[0].Score;
  if (falseMatchRate <= t[n - 1].Rate) return t[n - 1].Score;
  for (int k = 0; k + 1 < n; ++k) {
    if (falseMatchRate <= t[k].Rate && falseMatchRate >= t[k + 1].Rate) {
      const double x = (std::log10(t[k].Rate) - std::log10(falseMatchRate)) / (std::log10(t[k].Rate) - std::log10(t[k + 1].Rate));
      return static_cast<int>(std::ceil(t[k].Score + x * (t[k + 1].Score - t[k].Score) - 1e-9));
    }
  }
  return t[n - 1].Score;
}

}  // namespace matching
