#include "matching/Matcher.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "matching/ThresholdTable.h"
#include "support/Formatar.h"
#include "templates/udOmfwTemplates.h"

namespace matching {

namespace {

// ---- Tolerances -------------------------------------------------------------

constexpr int kMinEdge = 4;        // shorter edges are too noisy to compare
constexpr int kAlphaTol = 14;      // 256 steps (about 20 degrees)
constexpr int kBetaTol = 14;
constexpr int kAnchors = 3;        // best voted minutia pairs tried as alignment anchors
constexpr int kPairAngleTol = 341; // 4096 steps (30 degrees) between paired minutiae
constexpr int kPosTol = 10;        // pixels at the anchor...
constexpr int kPosTolMax = 28;     // ...growing with distance up to this (below the grid cell)
constexpr int kGrowthDen = 156;    // (tolerance growth per pixel of distance)^2 = 1/156, about 0.08
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
      const double x = 2 * kPi * k / 4096, x2 = x * x;
      double sn = 0, cs = 0, ts = x, tc = 1;
      for (int n = 1; n < 20; n += 2) {
        sn += ts;
        cs += tc;
        ts *= -x2 / ((n + 1) * (n + 2));
        tc *= -x2 / (n * (n + 1));
      }
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

// Direction of (dx, dy) (y up), 4096 steps counter-clockwise from +X.
int Direction4096(int dx, int dy) {
  if (dx == 0 && dy == 0) return 0;
  const double ax = std::abs(dx), ay = std::abs(dy);
  double a = ax >= ay ? AtanUnit(ay / ax) : kPi / 2 - AtanUnit(ax / ay);
  if (dx < 0) a = kPi - a;
  if (dy < 0) a = 2 * kPi - a;
  return static_cast<int>(std::floor(a * 4096 / (2 * kPi) + 0.5)) & 4095;
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
      while (w < 2 * LengthTol(std::min(255, start + w)) + 1) ++w;
      for (int l = start; l < std::min(256, start + w); ++l) Bin[l] = static_cast<uint8_t>(Count);
      ++Count;
      start += w;
    }
  }
};
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
  if (!data || size == 0) throw EMatching("The template is empty");
  if (size <= 25) throw EMatching(Format("The template is too short: %lld bytes, a template has at least 26", static_cast<long long>(size)));
  auto local = LocalizarItensNF(data, size, tiMinucia);
  if (!local)
    throw EMatching(Format("The template is malformed: its %d minutiae run past its end (%lld bytes)",
                           static_cast<int>(data[24]), static_cast<long long>(size)));
  std::vector<TMinutia> m(static_cast<size_t>(local->Quantidade));
  for (int32_t k = 0; k < local->Quantidade; ++k) {
    const TItemNF it = LerItemNF(data, *local, k);
    // Y up, so that angles and rotations have their usual sense.
    m[k] = TMinutia{static_cast<int16_t>(it.X), static_cast<int16_t>(-it.Y), static_cast<uint8_t>(it.Angulo),
                    static_cast<uint8_t>(it.Tipo)};
  }
  return m;
}

int64_t Cross(int64_t ox, int64_t oy, int64_t ax, int64_t ay, int64_t bx, int64_t by) {
  return (ax - ox) * (by - oy) - (ay - oy) * (bx - ox);
}

// Convex hull, counter-clockwise (Y up), collinear points dropped.
std::vector<THullPoint> Hull(const std::vector<TMinutia>& m) {
  std::vector<std::pair<int, int>> p;
  p.reserve(m.size());
  for (const auto& x : m) p.emplace_back(x.X, x.Y);
  std::sort(p.begin(), p.end());
  p.erase(std::unique(p.begin(), p.end()), p.end());
  std::vector<std::pair<int, int>> h;
  if (p.size() < 3) {
    h = p;
  } else {
    h.resize(2 * p.size());
    size_t k = 0;
    for (size_t i = 0; i < p.size(); ++i) {
      while (k >= 2 && Cross(h[k - 2].first, h[k - 2].second, h[k - 1].first, h[k - 1].second, p[i].first, p[i].second) <= 0) --k;
      h[k++] = p[i];
    }
    for (size_t i = p.size() - 1, t = k + 1; i > 0; --i) {
      while (k >= t && Cross(h[k - 2].first, h[k - 2].second, h[k - 1].first, h[k - 1].second, p[i - 1].first, p[i - 1].second) <= 0) --k;
      h[k++] = p[i - 1];
    }
    h.resize(k - 1);
  }
  std::vector<THullPoint> out(h.size());
  for (size_t i = 0; i < h.size(); ++i) {
    const auto& a = h[i];
    const auto& b = h[(i + 1) % h.size()];
    const double len = std::sqrt(double(b.first - a.first) * (b.first - a.first) + double(b.second - a.second) * (b.second - a.second));
    out[i] = THullPoint{static_cast<int16_t>(a.first), static_cast<int16_t>(a.second),
                        static_cast<uint16_t>(std::floor(len + 0.5)), 0};
  }
  return out;
}

size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

}  // namespace

TTemplateView View(const uint8_t* block) {
  TTemplateView v;
  const auto* h = reinterpret_cast<const TBlockHeader*>(block);
  v.Count = h->Count;
  v.HullCount = h->HullCount;
  v.HullArea = static_cast<int>(h->HullArea);
  const uint8_t* p = block + sizeof(TBlockHeader);
  v.Minutiae = reinterpret_cast<const TMinutia*>(p);
  p += sizeof(TMinutia) * v.Count;
  v.Edges = reinterpret_cast<const TEdge*>(p);
  p += sizeof(TEdge) * v.Count * kNeighbours;
  v.Hull = reinterpret_cast<const THullPoint*>(Align8(reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(block)) + block);
  return v;
}

void CheckTemplate(const uint8_t* data, size_t size) { (void)ReadMinutiae(data, size); }

size_t PrepareTemplate(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  const std::vector<TMinutia> m = ReadMinutiae(data, size);
  const int n = static_cast<int>(m.size());
  const std::vector<THullPoint> hull = Hull(m);

  const size_t hullOffset = Align8(sizeof(TBlockHeader) + sizeof(TMinutia) * n + sizeof(TEdge) * n * kNeighbours);
  const size_t total = Align8(hullOffset + sizeof(THullPoint) * hull.size());
  const size_t start = Align8(out.size());
  out.resize(start + total, 0);
  uint8_t* block = out.data() + start;
  int64_t twiceArea = 0;
  for (size_t k = 0; hull.size() >= 3 && k < hull.size(); ++k) {
    const THullPoint& a = hull[k];
    const THullPoint& b = hull[(k + 1) % hull.size()];
    twiceArea += int64_t{a.X} * b.Y - int64_t{b.X} * a.Y;
  }
  TBlockHeader header{static_cast<uint32_t>(total), static_cast<uint16_t>(n), static_cast<uint16_t>(hull.size()),
                      static_cast<uint32_t>(std::abs(twiceArea) / 2), 0};
  std::memcpy(block, &header, sizeof header);
  if (n) std::memcpy(block + sizeof header, m.data(), sizeof(TMinutia) * n);
  if (!hull.empty()) std::memcpy(block + hullOffset, hull.data(), sizeof(THullPoint) * hull.size());

  // The nearest neighbours of each minutia (ties by index), as edges.
  auto* edges = reinterpret_cast<TEdge*>(block + sizeof header + sizeof(TMinutia) * n);
  struct TNear {
    int32_t D2;
    int J;
  };
  for (int i = 0; i < n; ++i) {
    TNear best[kNeighbours];
    int found = 0;
    for (int j = 0; j < n; ++j) {
      if (j == i) continue;
      const int32_t dx = m[j].X - m[i].X, dy = m[j].Y - m[i].Y, d2 = dx * dx + dy * dy;
      if (d2 < kMinEdge * kMinEdge || d2 > 255 * 255) continue;
      if (found == kNeighbours && d2 >= best[found - 1].D2) continue;
      int k = found < kNeighbours ? found++ : found - 1;
      while (k > 0 && best[k - 1].D2 > d2) {
        best[k] = best[k - 1];
        --k;
      }
      best[k] = TNear{d2, j};
    }
    for (int k = 0; k < found; ++k) {
      const TMinutia& a = m[i];
      const TMinutia& b = m[best[k].J];
      const int dir = Direction4096(b.X - a.X, b.Y - a.Y);
      TEdge& e = edges[i * kNeighbours + k];
      e.To = static_cast<uint8_t>(best[k].J);
      e.Length = static_cast<uint8_t>(std::min(255.0, std::floor(std::sqrt(double(best[k].D2)) + 0.5)));
      e.Alpha = static_cast<uint8_t>(((dir + 8) >> 4) - a.Angle);
      e.Beta = static_cast<uint8_t>(b.Angle - a.Angle);
      e.Direction = static_cast<uint16_t>(dir);
    }
  }
  return start;
}

// ---- Probe ------------------------------------------------------------------

void TProbe::Prepare(const uint8_t* data, size_t size) {
  std::vector<uint8_t> block;
  PrepareTemplate(data, size, block);
  PrepareBlock(block.data());
}

void TProbe::PrepareBlock(const uint8_t* block) {
  const uint32_t size = reinterpret_cast<const TBlockHeader*>(block)->Size;
  FBlock.assign(block, block + size);
  FView = View(FBlock.data());
  const TTemplateView& v = FView;
  const TLengthBins& lb = LengthBins();

  // Edge table: every edge in each cell its tolerances reach (counted, then placed).
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
    for (int k = 0; k < kNeighbours; ++k) {
      const TEdge& e = v.Edges[i * kNeighbours + k];
      if (e.Length) forEachCell(e, [&](int c) { ++FCellStart[c + 1]; });
    }
  for (int c = 0; c < cells; ++c) FCellStart[c + 1] += FCellStart[c];
  FEntries.assign(FCellStart[cells], TEntry{});
  std::vector<uint32_t> fill(FCellStart.begin(), FCellStart.end() - 1);
  for (int i = 0; i < v.Count; ++i)
    for (int k = 0; k < kNeighbours; ++k) {
      const TEdge& e = v.Edges[i * kNeighbours + k];
      if (!e.Length) continue;
      const TEntry entry{static_cast<uint8_t>(i), e.To, e.Length, e.Alpha, e.Beta, 0, e.Direction};
      forEachCell(e, [&](int c) { FEntries[fill[c]++] = entry; });
    }

  // Minutiae grid.
  FGridStart.assign(64 * 64 + 1, 0);
  auto cellOf = [](const TMinutia& m) { return ((-m.Y) >> 5) * 64 + (m.X >> 5); };
  for (int i = 0; i < v.Count; ++i) ++FGridStart[cellOf(v.Minutiae[i]) + 1];
  for (int c = 0; c < 64 * 64; ++c) FGridStart[c + 1] = static_cast<uint16_t>(FGridStart[c + 1] + FGridStart[c]);
  FGridItems.assign(static_cast<size_t>(v.Count), 0);
  std::vector<uint16_t> gfill(FGridStart.begin(), FGridStart.end() - 1);
  for (int i = 0; i < v.Count; ++i) FGridItems[gfill[cellOf(v.Minutiae[i])]++] = static_cast<uint8_t>(i);
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
constexpr double kChanceFloor = 16;
constexpr double kMinHullArea = 2000;  // square pixels; smaller hulls are not a density
constexpr double kDensityUnit = 1000;  // square pixels

int ChanceScore(int weight, int inP, const TTemplateView& p, int inC, const TTemplateView& c) {
  const double dp = p.Count / std::max<double>(p.HullArea, kMinHullArea);
  const double dc = c.Count / std::max<double>(c.HullArea, kMinHullArea);
  const double chance = kDensityUnit * std::sqrt((inP * dp) * (inC * dc));
  return static_cast<int>(std::floor(kChanceScale * (weight / 256.0) / (kChanceFloor + chance) + 0.5));
}

}  // namespace

// ---- Comparison -------------------------------------------------------------

TComparison::TComparison()
    : FVotes(kMaxMinutiae * kMaxMinutiae, TVote{0, 0, 0}),
      FTouched(kMaxMinutiae * kMaxMinutiae),
      FPairs(kMaxMinutiae * kMaxMinutiae),
      FU(2 * kMaxMinutiae),
      FV(2 * kMaxMinutiae),
      FUsedP(kMaxMinutiae),
      FUsedC(kMaxMinutiae),
      FBestP(kMaxMinutiae),
      FBestC(kMaxMinutiae) {
  (void)Trig();
  (void)LengthBins();
}

TComparison::TResult TComparison::Consolidate(const TProbe& probe, const TTemplateView& cand, const TAnchor& an) {
  const TTemplateView& pv = probe.FView;
  const TMinutia& pi = pv.Minutiae[an.I];
  const TMinutia& ca = cand.Minutiae[an.A];
  const int h = an.Half;
  // Both templates turned halfway towards each other about their anchor minutia.
  for (int j = 0; j < pv.Count; ++j)
    Rotate(-h, pv.Minutiae[j].X - pi.X, pv.Minutiae[j].Y - pi.Y, FU[2 * j], FU[2 * j + 1]);
  for (int b = 0; b < cand.Count; ++b)
    Rotate(h, cand.Minutiae[b].X - ca.X, cand.Minutiae[b].Y - ca.Y, FV[2 * b], FV[2 * b + 1]);

  int pairs = 0;
  const TTrig& t = Trig();
  const int32_t c2 = t.Cos[(2 * h) & 4095], s2 = t.Sin[(2 * h) & 4095];
  for (int b = 0; b < cand.Count; ++b) {
    // Where b falls among the probe's minutiae (grid look-up only; the test below is exact).
    const int32_t dx = cand.Minutiae[b].X - ca.X, dy = cand.Minutiae[b].Y - ca.Y;
    const int32_t qx = pi.X + ((c2 * dx - s2 * dy) >> 14), qy = -(pi.Y + ((s2 * dx + c2 * dy) >> 14));
    const int gx = qx >> 5, gy = qy >> 5;
    if (gx < -1 || gx > 64 || gy < -1 || gy > 64) continue;
    const int64_t vx = FV[2 * b], vy = FV[2 * b + 1], v2 = vx * vx + vy * vy;
    const int angB = cand.Minutiae[b].Angle * 16 + h;
    for (int y = std::max(0, gy - 1); y <= std::min(63, gy + 1); ++y)
      for (int x = std::max(0, gx - 1); x <= std::min(63, gx + 1); ++x) {
        const int cell = y * 64 + x;
        for (int k = probe.FGridStart[cell]; k < probe.FGridStart[cell + 1]; ++k) {
          const int j = probe.FGridItems[k];
          const int64_t ux = FU[2 * j], uy = FU[2 * j + 1];
          const int64_t d2 = (ux - vx) * (ux - vx) + (uy - vy) * (uy - vy);
          const int64_t r2 = (ux * ux + uy * uy + v2) / 2;
          const int64_t tol2 = std::min<int64_t>(16 * kPosTol * kPosTol + r2 / kGrowthDen, 16 * kPosTolMax * kPosTolMax);
          if (d2 > tol2) continue;
          const int da = std::abs(Wrap4096(pv.Minutiae[j].Angle * 16 - h - angB));
          if (da > kPairAngleTol) continue;
          const uint32_t cost = static_cast<uint32_t>(d2 * 256 / tol2) + static_cast<uint32_t>(da * 256 / kPairAngleTol);
          FPairs[pairs++] = TPair{cost, MinutiaKey(pv.Minutiae[j]) + MinutiaKey(cand.Minutiae[b]), static_cast<uint8_t>(j),
                                  static_cast<uint8_t>(b)};
        }
      }
  }
  std::sort(FPairs.begin(), FPairs.begin() + pairs, [](const TPair& p, const TPair& q) {
    if (p.Cost != q.Cost) return p.Cost < q.Cost;
    if (p.Key != q.Key) return p.Key < q.Key;
    const int pl = std::min(p.J, p.B), ql = std::min(q.J, q.B);
    if (pl != ql) return pl < ql;
    return std::max(p.J, p.B) < std::max(q.J, q.B);
  });
  std::memset(FUsedP.data(), 0, static_cast<size_t>(pv.Count));
  std::memset(FUsedC.data(), 0, static_cast<size_t>(cand.Count));
  TResult r;
  for (int k = 0; k < pairs; ++k) {
    const TPair& p = FPairs[k];
    if (FUsedP[p.J] || FUsedC[p.B]) continue;
    FUsedP[p.J] = 1;
    FUsedC[p.B] = 1;
    ++r.Paired;
    r.Weight += 256 - static_cast<int>(p.Cost) / 2;
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
  int inside = 0;
  for (int j = 0; j < from.Count; ++j) {
    int32_t px, py;
    Rotate(half, from.Minutiae[j].X - f0.X, from.Minutiae[j].Y - f0.Y, px, py);
    bool in = true;
    for (int k = 0; k < to.HullCount && in; ++k) {
      const int n = k + 1 == to.HullCount ? 0 : k + 1;
      const int64_t ex = hx[n] - hx[k], ey = hy[n] - hy[k];
      const int64_t cross = ex * (py - hy[k]) - ey * (px - hx[k]);
      in = cross >= -int64_t{16} * kHullMargin * to.Hull[k].EdgeLength;
    }
    inside += in;
  }
  return inside;
}

int TComparison::Score(const TProbe& probe, const TTemplateView& cand) {
  const TTemplateView& pv = probe.FView;
  FLast = TDetail{};
  if (pv.Count == 0 || cand.Count == 0) return 0;
  const TLengthBins& lb = LengthBins();
  const int nc = cand.Count;

  // Votes of edge pairs within tolerance for the minutia pairs they join.
  int touched = 0;
  auto vote = [&](int i, int a, int rho) {
    const int base = Wrap4096((pv.Minutiae[i].Angle - cand.Minutiae[a].Angle) * 16);
    const uint32_t idx = static_cast<uint32_t>(i * nc + a);
    TVote& v = FVotes[idx];
    if (v.Count == 0) FTouched[touched++] = idx;
    ++v.Count;
    v.RotationSum += Wrap4096(rho - base);
  };
  for (int a = 0; a < nc; ++a) {
    const TEdge* ea = cand.Edges + a * kNeighbours;
    for (int k = 0; k < kNeighbours; ++k) {
      const TEdge& e = ea[k];
      if (!e.Length) break;
      const int cell = Cell(lb.Bin[e.Length], e.Alpha, e.Beta);
      const int el = e.Length, ealpha = e.Alpha, ebeta = e.Beta;
      for (uint32_t q = probe.FCellStart[cell]; q < probe.FCellStart[cell + 1]; ++q) {
        const TProbe::TEntry& p = probe.FEntries[q];
        // The three tolerance checks without branches (most entries fail one
        // of them, unpredictably): |length difference| <= LengthTol(shorter),
        // |angle difference, wrapped to -128..127| <= tolerance.
        const bool length = 32 * (std::abs(p.Length - el) - 3) <= 3 * std::min<int>(p.Length, el);
        const bool alpha = static_cast<uint8_t>(p.Alpha - ealpha + kAlphaTol) <= 2 * kAlphaTol;
        const bool beta = static_cast<uint8_t>(p.Beta - ebeta + kBetaTol) <= 2 * kBetaTol;
        if (!(length & alpha & beta)) continue;
        const int rho = p.Direction - e.Direction;
        vote(p.From, a, rho);
        vote(p.To, e.To, rho);
      }
    }
  }

  // The best voted pairs become anchors (ties broken alike from either side).
  TAnchor anchors[kAnchors];
  int na = 0;
  auto better = [](const TAnchor& x, const TAnchor& y) {
    if (x.Votes != y.Votes) return x.Votes > y.Votes;
    if (x.Key != y.Key) return x.Key < y.Key;
    const int xl = std::min(x.I, x.A), yl = std::min(y.I, y.A);
    if (xl != yl) return xl < yl;
    return std::max(x.I, x.A) < std::max(y.I, y.A);
  };
  for (int k = 0; k < touched; ++k) {
    const uint32_t idx = FTouched[k];
    TVote& v = FVotes[idx];
    // Most pairs have fewer votes than the last anchor kept: out without their keys.
    if (na == kAnchors && v.Count < anchors[na - 1].Votes) {
      v = TVote{0, 0, 0};
      continue;
    }
    const int i = static_cast<int>(idx / nc), a = static_cast<int>(idx % nc);
    TAnchor an{static_cast<uint8_t>(i), static_cast<uint8_t>(a), v.Count, 0,
               MinutiaKey(pv.Minutiae[i]) + MinutiaKey(cand.Minutiae[a])};
    if (na == kAnchors && !better(an, anchors[na - 1])) {
      v = TVote{0, 0, 0};
      continue;
    }
    const int base = Wrap4096((pv.Minutiae[i].Angle - cand.Minutiae[a].Angle) * 16);
    int half = static_cast<int>(DivSym(int64_t{base} * v.Count + v.RotationSum, 2 * int64_t{v.Count}));
    while (half > 1024) half -= 2048;
    while (half <= -1024) half += 2048;
    an.Half = half;
    v = TVote{0, 0, 0};
    int pos = na < kAnchors ? na++ : na - 1;
    while (pos > 0 && better(an, anchors[pos - 1])) {
      anchors[pos] = anchors[pos - 1];
      --pos;
    }
    anchors[pos] = an;
  }

  // Consolidation from each anchor not already paired in the best pairing so far.
  int best = -1;
  TResult bestResult;
  for (int k = 0; k < na; ++k) {
    const TAnchor& an = anchors[k];
    if (best >= 0 && FBestP[an.I] && FBestC[an.A]) continue;
    const TResult r = Consolidate(probe, cand, an);
    if (r.Weight > bestResult.Weight) {
      bestResult = r;
      best = k;
      std::memcpy(FBestP.data(), FUsedP.data(), static_cast<size_t>(pv.Count));
      std::memcpy(FBestC.data(), FUsedC.data(), static_cast<size_t>(cand.Count));
    }
  }
  if (best < 0 || bestResult.Paired < 2) return 0;

  const TAnchor& an = anchors[best];
  const int inP = Overlap(pv, an.I, -an.Half, cand, an.A);
  const int inC = Overlap(cand, an.A, an.Half, pv, an.I);
  FLast = TDetail{bestResult.Paired, bestResult.Weight, inP, inC};
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
