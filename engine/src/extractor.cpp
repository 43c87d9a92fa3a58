#include "extractor.h"

#include "false_pairs.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace omx {

TOmExtractorConfiguration DefaultConfig() {
  TOmExtractorConfiguration c;
  std::memset(&c, 0, sizeof c);
  c.LimiarVariancia = 16;
  c.MediaDesejada = 32768;
  c.VarianciaDesejada = 8000 * 8000;
  c.FatorGabor = 1.0;
  c.SigmaGabor = 0.5;
  c.EscalaGabor = 20;
  c.PassoSuavizar1 = true;
  c.EliminarMinucias = true;
  c.TruncarArea = true;
  c.LimiarQ1 = 0;
  c.LimiarQ2 = 20;
  c.MaxLegMinutia = 10;
  c.MinQFG = 0;
  c.MinContrasteFG = 0.2;
  return c;
}

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr uint64_t kReusePixels = 1024 * 1024;
constexpr int kB = 8;          // block side for orientation, frequency and area
constexpr int kOrient = 32;    // orientation steps over half a turn
constexpr int kFilterMax = 24; // longest filter half-length
constexpr double kPerMin = 3.0, kPerMax = 25.0, kPerStep = 0.5;
static_assert(kPerStep == 0.5, "the period bins multiply by 1 / kPerStep, exact only for a power of two");
constexpr int kPerBins = static_cast<int>((kPerMax - kPerMin) / kPerStep) + 1;
// Skeleton pieces, in local ridge periods: shorter than this between an
// ending and another minutia, or between two forks, they are not real...
constexpr double kShortPeriods = 1.1;
// ...nor two forks whose branches meet again within this.
constexpr double kHolePeriods = 2.0;
// A minutia's contrast counts as full from this share of the picture's most
// contrasted blocks' spread on.
constexpr double kRelContrast = 0.5;
// Scales of the minutia measures (MinutiaMeasures).
constexpr double kBorderBlocks = 6, kSpacingPeriods = 2;

inline int Round(double v) { return static_cast<int>(v >= 0 ? v + 0.5 : v - 0.5); }

#if defined(__SSE2__) || defined(_M_X64)
// v + 0.5 or v - 0.5 as Round adds them, before truncation: half a unit with
// v's sign (for -0 that gives -0.5 instead of 0.5; both truncate to 0).
inline __m128d Round2(__m128d v) {
  return _mm_add_pd(v, _mm_or_pd(_mm_and_pd(v, _mm_set1_pd(-0.0)), _mm_set1_pd(0.5)));
}
#endif

// The filter's orientation step and period bin of a pixel, from its
// interpolated orientation vector (c, s) and period T, in float: the same
// operations one pixel at a time here and four at a time below, so both
// give the same steps.
constexpr float kStepsPerRadian = static_cast<float>(kOrient / kPi);
// atan2 within about 0.3 degrees, enough to pick one of the filter orientations.
inline float FastAtan2f(float y, float x) {
  const float ax = std::fabs(x), ay = std::fabs(y);
  const float mx = std::max(ay, ax), mn = std::min(ay, ax);
  if (mx == 0) return 0;
  const float a = mn / mx, s = a * a;
  float r = ((-0.0464964749f * s + 0.15931422f) * s - 0.327622764f) * s * a + a;
  if (ay > ax) r = static_cast<float>(kPi / 2) - r;
  if (x < 0) r = static_cast<float>(kPi) - r;
  return y < 0 ? -r : r;
}
inline int OrientStep1(float s, float c) {
  float t = 0.5f * FastAtan2f(s, c);
  if (t < 0) t += static_cast<float>(kPi);
  const float q = t * kStepsPerRadian;
  return static_cast<int>(q + 0.5f) % kOrient;  // q >= 0
}
inline int PeriodBin1(float T) {
  const float q = (T - static_cast<float>(kPerMin)) * (1 / static_cast<float>(kPerStep));  // a power of two: exact
  return std::clamp(static_cast<int>(q >= 0 ? q + 0.5f : q - 0.5f), 0, kPerBins - 1);
}
#if defined(__SSE2__) || defined(_M_X64)
inline __m128 Select4(__m128 mask, __m128 yes, __m128 no) { return _mm_or_ps(_mm_and_ps(mask, yes), _mm_andnot_ps(mask, no)); }
inline __m128 FastAtan2x4(__m128 y, __m128 x) {
  const __m128 sign = _mm_set1_ps(-0.0f), zero = _mm_setzero_ps();
  const __m128 ax = _mm_andnot_ps(sign, x), ay = _mm_andnot_ps(sign, y);
  const __m128 mx = _mm_max_ps(ay, ax), mn = _mm_min_ps(ay, ax);
  // Lanes where mx is 0 divide 0 by 0; their result is replaced below.
  const __m128 a = _mm_div_ps(mn, _mm_or_ps(mx, _mm_and_ps(_mm_cmpeq_ps(mx, zero), _mm_set1_ps(1.0f)))), s = _mm_mul_ps(a, a);
  __m128 r = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(-0.0464964749f), s), _mm_set1_ps(0.15931422f));
  r = _mm_sub_ps(_mm_mul_ps(r, s), _mm_set1_ps(0.327622764f));
  r = _mm_add_ps(_mm_mul_ps(_mm_mul_ps(r, s), a), a);
  r = Select4(_mm_cmpgt_ps(ay, ax), _mm_sub_ps(_mm_set1_ps(static_cast<float>(kPi / 2)), r), r);
  r = Select4(_mm_cmplt_ps(x, zero), _mm_sub_ps(_mm_set1_ps(static_cast<float>(kPi)), r), r);
  r = Select4(_mm_cmplt_ps(y, zero), _mm_xor_ps(r, sign), r);
  return Select4(_mm_cmpeq_ps(mx, zero), zero, r);
}
inline __m128i OrientStep4(__m128 s, __m128 c) {
  __m128 t = _mm_mul_ps(_mm_set1_ps(0.5f), FastAtan2x4(s, c));
  t = Select4(_mm_cmplt_ps(t, _mm_setzero_ps()), _mm_add_ps(t, _mm_set1_ps(static_cast<float>(kPi))), t);
  const __m128 q = _mm_mul_ps(t, _mm_set1_ps(kStepsPerRadian));
  return _mm_and_si128(_mm_cvttps_epi32(_mm_add_ps(q, _mm_set1_ps(0.5f))), _mm_set1_epi32(kOrient - 1));
}
inline __m128i PeriodBin4(__m128 T) {
  const __m128 q = _mm_mul_ps(_mm_sub_ps(T, _mm_set1_ps(static_cast<float>(kPerMin))), _mm_set1_ps(1 / static_cast<float>(kPerStep)));
  const __m128 half = _mm_or_ps(_mm_and_ps(q, _mm_set1_ps(-0.0f)), _mm_set1_ps(0.5f));
  const __m128i b = _mm_cvttps_epi32(_mm_add_ps(q, half));
  // Clamp to [0, kPerBins - 1] with SSE2's 16-bit min and max (the bins fit).
  return _mm_max_epi16(_mm_min_epi16(b, _mm_set1_epi32(kPerBins - 1)), _mm_setzero_si128());
}
#endif

// Picture-row angles (y down) and seen angles differ in sign.
double Seen(double dx, double dy) { return std::atan2(-dy, dx); }

struct FilterKernel {
  int half;
  std::vector<float> wt;
};

// The contextual filter's kernels for every period bin, made for one set of
// the configuration's filter fields and kept while they stay the same.
struct FilterBank {
  double su0 = -1, fv = -1, span = -1;
  int pad = 1;
  std::vector<FilterKernel> along, across;
};

struct Ctx {
  int w = 0, h = 0, bw = 0, bh = 0;
  double res = 500;
  TOmExtractorConfiguration cfg{};
  FilterBank bank;
  std::vector<float> sm;       // lightly smoothed picture
  std::vector<float> norm;     // locally normalised, about zero mean and unit spread
  std::vector<float> localSd;  // local spread of sm
  std::vector<uint8_t> fgBlock;
  std::vector<float> blockSd;  // local spread at each block's centre
  double topSd = 0;            // the spread that only a tenth of the picture's blocks exceed
  std::vector<float> clarity;  // share of a block's grey variance that a ridge wave along its direction explains, 0-1
  std::vector<int> blockDist;  // blocks to the nearest non-area block
  std::vector<float> bc, bs;   // block orientation vector (cos 2t, sin 2t) of the ridge direction, picture rows
  std::vector<float> firstBc, firstBs;  // the same as first read, before RefineRidgeField
  std::vector<float> coh;      // block coherence 0..1, of the picture
  std::vector<float> ridgeCoh; // block coherence 0..1, of the picture smoothed along its ridges
  std::vector<float> period;   // block ridge period
  std::vector<uint8_t> ridge, skel;
  std::vector<float> enh;
  // Scratch, kept with the context so that a reused context allocates nothing.
  std::vector<float> tmpA, tmpB, pad1, pad2;
  std::vector<uint8_t> obin, pbin;
  std::vector<int> colB0, colB1;
  std::vector<double> colSumA, colSumB, colCount;
  std::vector<float> colA, xLerp;
  std::vector<float> rowA, rowB, rowE;
  std::vector<uint32_t> prefA, prefB;
  std::vector<size_t> live, del;

  size_t B(int bx, int by) const { return static_cast<size_t>(by) * bw + bx; }
  size_t P(int x, int y) const { return static_cast<size_t>(y) * w + x; }
  double Theta(int bx, int by) const {  // ridge direction in [0, pi), picture rows
    double t = 0.5 * std::atan2(bs[B(bx, by)], bc[B(bx, by)]);
    return t < 0 ? t + kPi : t;
  }
  bool Fg(int x, int y) const {
    if (x < 0 || y < 0 || x >= w || y >= h) return false;
    return fgBlock[B(std::min(x / kB, bw - 1), std::min(y / kB, bh - 1))] != 0;
  }
};

// 1-2-1 across, then down; edges repeat the edge value.
void Smooth3(std::vector<float>& v, int w, int h, std::vector<float>& t) {
  t.resize(v.size());
  auto at = [](float l, float m, float r) { return 0.25f * l + 0.5f * m + 0.25f * r; };
  for (int y = 0; y < h; ++y) {
    const float* s = &v[static_cast<size_t>(y) * w];
    float* d = &t[static_cast<size_t>(y) * w];
    if (w == 1) {
      d[0] = at(s[0], s[0], s[0]);
      continue;
    }
    d[0] = at(s[0], s[0], s[1]);
    int x = 1;
#if defined(__SSE2__) || defined(_M_X64)
    const __m128 q = _mm_set1_ps(0.25f), hf = _mm_set1_ps(0.5f);
    for (; x + 4 <= w - 1; x += 4)
      _mm_storeu_ps(d + x, _mm_add_ps(_mm_add_ps(_mm_mul_ps(q, _mm_loadu_ps(s + x - 1)), _mm_mul_ps(hf, _mm_loadu_ps(s + x))),
                                      _mm_mul_ps(q, _mm_loadu_ps(s + x + 1))));
#endif
    for (; x < w - 1; ++x) d[x] = at(s[x - 1], s[x], s[x + 1]);
    d[w - 1] = at(s[w - 2], s[w - 1], s[w - 1]);
  }
  for (int y = 0; y < h; ++y) {
    const float* m = &t[static_cast<size_t>(y) * w];
    const float* u = y > 0 ? m - w : m;
    const float* dn = y < h - 1 ? m + w : m;
    float* d = &v[static_cast<size_t>(y) * w];
    int x = 0;
#if defined(__SSE2__) || defined(_M_X64)
    const __m128 q = _mm_set1_ps(0.25f), hf = _mm_set1_ps(0.5f);
    for (; x + 4 <= w; x += 4)
      _mm_storeu_ps(d + x, _mm_add_ps(_mm_add_ps(_mm_mul_ps(q, _mm_loadu_ps(u + x)), _mm_mul_ps(hf, _mm_loadu_ps(m + x))),
                                      _mm_mul_ps(q, _mm_loadu_ps(dn + x))));
#endif
    for (; x < w; ++x) d[x] = at(u[x], m[x], dn[x]);
  }
}

void Smooth3(std::vector<float>& v, int w, int h) {
  std::vector<float> t;
  Smooth3(v, w, h, t);
}

void Prepare(Ctx& c, const uint8_t* px) {
  const int w = c.w, h = c.h;
  const size_t n = static_cast<size_t>(w) * h;
  c.sm.resize(n);
  size_t i = 0;
#if defined(__SSE2__) || defined(_M_X64)
  for (; i + 16 <= n; i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px + i)), z = _mm_setzero_si128();
    const __m128i lo = _mm_unpacklo_epi8(b, z), hi = _mm_unpackhi_epi8(b, z);
    _mm_storeu_ps(&c.sm[i], _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, z)));
    _mm_storeu_ps(&c.sm[i + 4], _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, z)));
    _mm_storeu_ps(&c.sm[i + 8], _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, z)));
    _mm_storeu_ps(&c.sm[i + 12], _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, z)));
  }
#endif
  for (; i < n; ++i) c.sm[i] = px[i];
  Smooth3(c.sm, w, h, c.tmpA);

  // Local mean and spread over a window of about one ridge period each side.
  const int r = std::max(2, static_cast<int>(std::lround(8 * c.res / 500)));
  // Box sums: along each row into tmpA/tmpB, then down each column.
  c.tmpA.resize(n);
  c.tmpB.resize(n);
  // The smoothed picture holds whole sixteenths, so the row sums are taken on
  // whole numbers: running totals that may wrap in 32 bits, whose differences
  // (a window's sum of values or squares, below 2^31) come out exactly, the
  // same values as the floats added up one by one in double precision.
  auto& qa = c.prefA;
  auto& qb = c.prefB;
  qa.resize(static_cast<size_t>(w) + 1);
  qb.resize(static_cast<size_t>(w) + 1);
  for (int y = 0; y < h; ++y) {
    const float* row = &c.sm[c.P(0, y)];
    qa[0] = qb[0] = 0;
    for (int x = 0; x < w; ++x) {
      const uint32_t v = static_cast<uint32_t>(row[x] * 16.0f);
      qa[x + 1] = qa[x] + v;
      qb[x + 1] = qb[x] + v * v;
    }
    float* outA = &c.tmpA[c.P(0, y)];
    float* outB = &c.tmpB[c.P(0, y)];
    auto one = [&](int x) {
      const size_t lo = static_cast<size_t>(std::max(0, x - r)), hi = static_cast<size_t>(std::min(w - 1, x + r)) + 1;
      outA[x] = static_cast<float>(static_cast<int32_t>(qa[hi] - qa[lo])) * 0.0625f;
      outB[x] = static_cast<float>(static_cast<double>(static_cast<int32_t>(qb[hi] - qb[lo])) / 256.0);
    };
    int x = 0;
    for (; x < std::min(r, w); ++x) one(x);
#if defined(__SSE2__) || defined(_M_X64)
    const __m128 sixteenth = _mm_set1_ps(0.0625f);
    const __m128d scale = _mm_set1_pd(1.0 / 256);
    for (; x + 4 <= w - r; x += 4) {
      auto diff = [&](const std::vector<uint32_t>& q) {
        return _mm_sub_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&q[static_cast<size_t>(x + r + 1)])),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(&q[static_cast<size_t>(x - r)])));
      };
      const __m128i da = diff(qa), db = diff(qb);
      _mm_storeu_ps(outA + x, _mm_mul_ps(_mm_cvtepi32_ps(da), sixteenth));
      const __m128 lo = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtepi32_pd(db), scale));
      const __m128 hi = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtepi32_pd(_mm_shuffle_epi32(db, 0xEE)), scale));
      _mm_storeu_ps(outB + x, _mm_movelh_ps(lo, hi));
    }
#endif
    for (; x < w; ++x) one(x);
  }
  // Every sum above and below is exact (the smoothed picture holds sixteenths,
  // the sums stay far inside a double's precision), so their order is free.
  c.norm.resize(n);
  c.localSd.resize(n);
  auto& ca = c.colSumA;
  auto& cb = c.colSumB;
  auto& cols = c.colCount;
  ca.assign(static_cast<size_t>(w), 0);
  cb.assign(static_cast<size_t>(w), 0);
  cols.resize(static_cast<size_t>(w));
  for (int x = 0; x < w; ++x) cols[x] = std::min(w - 1, x + r) - std::max(0, x - r) + 1;
  for (int y = 0; y < std::min(r, h); ++y)
    for (int x = 0; x < w; ++x) {
      ca[x] += c.tmpA[c.P(x, y)];
      cb[x] += c.tmpB[c.P(x, y)];
    }
  const bool local = !c.cfg.SemNormalizar;
  for (int y = 0; y < h; ++y) {
    const float* addA = y + r < h ? &c.tmpA[c.P(0, y + r)] : nullptr;
    const float* addB = y + r < h ? &c.tmpB[c.P(0, y + r)] : nullptr;
    const float* subA = y - r - 1 >= 0 ? &c.tmpA[c.P(0, y - r - 1)] : nullptr;
    const float* subB = y - r - 1 >= 0 ? &c.tmpB[c.P(0, y - r - 1)] : nullptr;
    const double rows = std::min(h - 1, y + r) - std::max(0, y - r) + 1;
    const float* smRow = &c.sm[c.P(0, y)];
    float* sdRow = &c.localSd[c.P(0, y)];
    float* nRow = &c.norm[c.P(0, y)];
    int x = 0;
#if defined(__SSE2__) || defined(_M_X64)
    // The same operations as the loop below, two or four pixels per instruction.
    const __m128d vrows = _mm_set1_pd(rows), zero = _mm_setzero_pd();
    const __m128 four = _mm_set1_ps(4.0f);
    auto load2 = [](const float* p) { return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)))); };
    for (; x + 4 <= w; x += 4) {
      __m128 sd4, m4;
      __m128d half[2][2];
      for (int k = 0; k < 2; ++k) {
        const int i = x + 2 * k;
        __m128d va = _mm_loadu_pd(&ca[i]), vb = _mm_loadu_pd(&cb[i]);
        if (addA) {
          va = _mm_add_pd(va, load2(addA + i));
          vb = _mm_add_pd(vb, load2(addB + i));
        }
        if (subA) {
          va = _mm_sub_pd(va, load2(subA + i));
          vb = _mm_sub_pd(vb, load2(subB + i));
        }
        _mm_storeu_pd(&ca[i], va);
        _mm_storeu_pd(&cb[i], vb);
        const __m128d cnt = _mm_mul_pd(vrows, _mm_loadu_pd(&cols[i]));
        const __m128d m = _mm_div_pd(va, cnt);
        const __m128d var = _mm_max_pd(_mm_sub_pd(_mm_div_pd(vb, cnt), _mm_mul_pd(m, m)), zero);
        half[k][0] = _mm_sqrt_pd(var);
        half[k][1] = m;
      }
      sd4 = _mm_movelh_ps(_mm_cvtpd_ps(half[0][0]), _mm_cvtpd_ps(half[1][0]));
      m4 = _mm_movelh_ps(_mm_cvtpd_ps(half[0][1]), _mm_cvtpd_ps(half[1][1]));
      _mm_storeu_ps(sdRow + x, sd4);
      if (local) _mm_storeu_ps(nRow + x, _mm_div_ps(_mm_sub_ps(_mm_loadu_ps(smRow + x), m4), _mm_max_ps(sd4, four)));
    }
#endif
    for (; x < w; ++x) {
      if (addA) {
        ca[x] += addA[x];
        cb[x] += addB[x];
      }
      if (subA) {
        ca[x] -= subA[x];
        cb[x] -= subB[x];
      }
      const double cnt = rows * cols[x];
      const double m = ca[x] / cnt, var = std::max(0.0, cb[x] / cnt - m * m);
      sdRow[x] = static_cast<float>(std::sqrt(var));
      if (local) nRow[x] = (smRow[x] - static_cast<float>(m)) / std::max(4.0f, sdRow[x]);
    }
  }

  // Area candidates: blocks whose spread is above a floor and not far below
  // that of the picture's own most contrasted blocks, so that a light print
  // keeps its area while the grain of a sensor's background beside a dark
  // one does not count. Whether the grey follows ridges is tested later.
  c.bw = (w + kB - 1) / kB;
  c.bh = (h + kB - 1) / kB;
  const size_t nb = static_cast<size_t>(c.bw) * c.bh;
  c.blockSd.resize(nb);
  for (int by = 0; by < c.bh; ++by)
    for (int bx = 0; bx < c.bw; ++bx)
      c.blockSd[c.B(bx, by)] = c.localSd[c.P(std::min(w - 1, bx * kB + kB / 2), std::min(h - 1, by * kB + kB / 2))];
  c.tmpA.assign(c.blockSd.begin(), c.blockSd.end());
  const size_t top = std::min(nb - 1, nb * 9 / 10);
  std::nth_element(c.tmpA.begin(), c.tmpA.begin() + static_cast<ptrdiff_t>(top), c.tmpA.end());
  c.topSd = c.tmpA[top];
  const double least = std::max(c.cfg.MinContrasteFG * c.tmpA[top], std::sqrt(std::max(0, c.cfg.LimiarVariancia)));
  c.fgBlock.assign(nb, 0);
  for (size_t i = 0; i < nb; ++i) c.fgBlock[i] = c.blockSd[i] >= least && c.blockSd[i] > 0;

  if (c.cfg.SemNormalizar) {
    double a = 0, b = 0, cnt = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (c.Fg(x, y)) {
          a += c.sm[c.P(x, y)];
          b += c.sm[c.P(x, y)] * c.sm[c.P(x, y)];
          ++cnt;
        }
    double m = cnt > 0 ? a / cnt : 128, sd = cnt > 0 ? std::sqrt(std::max(1.0, b / cnt - m * m)) : 1;
    for (size_t i = 0; i < n; ++i) c.norm[i] = static_cast<float>((c.sm[i] - m) / sd);
  }
}

// Block orientations from the gradients of src (a picture of c's size), and
// their coherence into coh; the gradient sums are smoothed over neighbouring
// blocks this many times.
void Orientation(Ctx& c, const std::vector<float>& src, std::vector<float>& coh, int passes) {
  const int w = c.w, h = c.h;
  const size_t nb = static_cast<size_t>(c.bw) * c.bh;
  std::vector<float> ga(nb, 0), gb(nb, 0), ge(nb, 0);
  // A row of gradient products first (four pixels per instruction), then the
  // block sums in the same order as pixel by pixel, held in registers.
  auto& pa = c.rowA;
  auto& pb = c.rowB;
  auto& pe = c.rowE;
  pa.resize(static_cast<size_t>(w));
  pb.resize(static_cast<size_t>(w));
  pe.resize(static_cast<size_t>(w));
  for (int y = 1; y < h - 1; ++y) {
    const float* r0 = &src[c.P(0, y - 1)];
    const float* r1 = r0 + w;
    const float* r2 = r1 + w;
    int x = 1;
#if defined(__SSE2__) || defined(_M_X64)
    const __m128 two = _mm_set1_ps(2.0f);
    for (; x + 4 <= w - 1; x += 4) {
      const __m128 a0 = _mm_loadu_ps(r0 + x - 1), a1 = _mm_loadu_ps(r0 + x), a2 = _mm_loadu_ps(r0 + x + 1);
      const __m128 b0 = _mm_loadu_ps(r1 + x - 1), b2 = _mm_loadu_ps(r1 + x + 1);
      const __m128 c0 = _mm_loadu_ps(r2 + x - 1), c1 = _mm_loadu_ps(r2 + x), c2 = _mm_loadu_ps(r2 + x + 1);
      const __m128 gx = _mm_sub_ps(_mm_add_ps(_mm_add_ps(a2, _mm_mul_ps(two, b2)), c2), _mm_add_ps(_mm_add_ps(a0, _mm_mul_ps(two, b0)), c0));
      const __m128 gy = _mm_sub_ps(_mm_add_ps(_mm_add_ps(c0, _mm_mul_ps(two, c1)), c2), _mm_add_ps(_mm_add_ps(a0, _mm_mul_ps(two, a1)), a2));
      const __m128 xx = _mm_mul_ps(gx, gx), yy = _mm_mul_ps(gy, gy);
      _mm_storeu_ps(&pa[x], _mm_sub_ps(xx, yy));
      _mm_storeu_ps(&pb[x], _mm_mul_ps(_mm_mul_ps(two, gx), gy));
      _mm_storeu_ps(&pe[x], _mm_add_ps(xx, yy));
    }
#endif
    for (; x < w - 1; ++x) {
      float gx = (r0[x + 1] + 2 * r1[x + 1] + r2[x + 1]) - (r0[x - 1] + 2 * r1[x - 1] + r2[x - 1]);
      float gy = (r2[x - 1] + 2 * r2[x] + r2[x + 1]) - (r0[x - 1] + 2 * r0[x] + r0[x + 1]);
      pa[x] = gx * gx - gy * gy;
      pb[x] = 2 * gx * gy;
      pe[x] = gx * gx + gy * gy;
    }
    const size_t row = c.B(0, y / kB);
    for (int bx = 0; bx < c.bw; ++bx) {
      const int x0 = std::max(1, bx * kB), x1 = std::min(w - 2, bx * kB + kB - 1);
      float sa = ga[row + bx], sb = gb[row + bx], se = ge[row + bx];
      for (int xx = x0; xx <= x1; ++xx) {
        sa += pa[xx];
        sb += pb[xx];
        se += pe[xx];
      }
      ga[row + bx] = sa;
      gb[row + bx] = sb;
      ge[row + bx] = se;
    }
  }
  for (int k = 0; k < passes; ++k) {
    Smooth3(ga, c.bw, c.bh);
    Smooth3(gb, c.bw, c.bh);
    Smooth3(ge, c.bw, c.bh);
  }
  c.bc.resize(nb);
  c.bs.resize(nb);
  coh.resize(nb);
  for (size_t i = 0; i < nb; ++i) {
    double mag = std::hypot(ga[i], gb[i]);
    // The ridge runs across the gradient: doubled angle turned by half a turn.
    c.bc[i] = mag > 0 ? static_cast<float>(-ga[i] / mag) : 1.0f;
    c.bs[i] = mag > 0 ? static_cast<float>(-gb[i] / mag) : 0.0f;
    coh[i] = ge[i] > 0 ? static_cast<float>(mag / ge[i]) : 0.0f;
  }
}

void CleanArea(Ctx& c) {
  const int bw = c.bw, bh = c.bh;
  auto& fg = c.fgBlock;
  // Peninsulas and specks go, then only the largest piece stays, with its holes filled.
  std::vector<uint8_t> t = fg;
  for (int by = 0; by < bh; ++by)
    for (int bx = 0; bx < bw; ++bx) {
      int cnt = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          int x = bx + dx, y = by + dy;
          if ((dx || dy) && x >= 0 && y >= 0 && x < bw && y < bh) cnt += fg[c.B(x, y)];
        }
      if (fg[c.B(bx, by)] && cnt < 3) t[c.B(bx, by)] = 0;
      if (!fg[c.B(bx, by)] && cnt >= 6) t[c.B(bx, by)] = 1;
    }
  fg = t;
  std::vector<int> label(fg.size(), 0), stack;
  int best = 0, bestSize = 0, next = 0;
  for (size_t s = 0; s < fg.size(); ++s) {
    if (!fg[s] || label[s]) continue;
    int id = ++next, size = 0;
    stack.assign(1, static_cast<int>(s));
    label[s] = id;
    while (!stack.empty()) {
      int i = stack.back();
      stack.pop_back();
      ++size;
      int x = i % bw, y = i / bw;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          int xx = x + dx, yy = y + dy;
          if (xx < 0 || yy < 0 || xx >= bw || yy >= bh) continue;
          size_t j = c.B(xx, yy);
          if (fg[j] && !label[j]) {
            label[j] = id;
            stack.push_back(static_cast<int>(j));
          }
        }
    }
    if (size > bestSize) {
      bestSize = size;
      best = id;
    }
  }
  for (size_t i = 0; i < fg.size(); ++i) fg[i] = label[i] == best && best != 0;
  // Holes: non-area blocks not reachable from the grid's edge.
  std::vector<uint8_t> outside(fg.size(), 0);
  stack.clear();
  for (int by = 0; by < bh; ++by)
    for (int bx = 0; bx < bw; ++bx)
      if ((bx == 0 || by == 0 || bx == bw - 1 || by == bh - 1) && !fg[c.B(bx, by)]) {
        outside[c.B(bx, by)] = 1;
        stack.push_back(static_cast<int>(c.B(bx, by)));
      }
  while (!stack.empty()) {
    int i = stack.back();
    stack.pop_back();
    int x = i % bw, y = i / bw;
    const int nx[4] = {x - 1, x + 1, x, x}, ny[4] = {y, y, y - 1, y + 1};
    for (int k = 0; k < 4; ++k) {
      if (nx[k] < 0 || ny[k] < 0 || nx[k] >= bw || ny[k] >= bh) continue;
      size_t j = c.B(nx[k], ny[k]);
      if (!fg[j] && !outside[j]) {
        outside[j] = 1;
        stack.push_back(static_cast<int>(j));
      }
    }
  }
  for (size_t i = 0; i < fg.size(); ++i) fg[i] = !outside[i];
  if (best == 0) std::fill(fg.begin(), fg.end(), 0);

  // Chessboard distance in blocks to the nearest non-area block (the grid's outside counts).
  c.blockDist.assign(fg.size(), 0);
  auto& d = c.blockDist;
  for (int by = 0; by < bh; ++by)
    for (int bx = 0; bx < bw; ++bx) {
      size_t i = c.B(bx, by);
      if (!fg[i]) continue;
      int v = std::min({bx, by, bw - 1 - bx, bh - 1 - by}) + 1;
      if (bx > 0) v = std::min(v, d[i - 1] + 1);
      if (by > 0) v = std::min(v, d[i - bw] + 1);
      if (bx > 0 && by > 0) v = std::min(v, d[i - bw - 1] + 1);
      if (bx < bw - 1 && by > 0) v = std::min(v, d[i - bw + 1] + 1);
      d[i] = v;
    }
  for (int by = bh - 1; by >= 0; --by)
    for (int bx = bw - 1; bx >= 0; --bx) {
      size_t i = c.B(bx, by);
      if (!fg[i]) continue;
      if (bx < bw - 1) d[i] = std::min(d[i], d[i + 1] + 1);
      if (by < bh - 1) d[i] = std::min(d[i], d[i + bw] + 1);
      if (bx < bw - 1 && by < bh - 1) d[i] = std::min(d[i], d[i + bw + 1] + 1);
      if (bx > 0 && by < bh - 1) d[i] = std::min(d[i], d[i + bw - 1] + 1);
    }
}

// Round(base + off[j]) for the nine offsets of a row of samples.
void SampleCoords(double base, const double* off, int32_t* out) {
#if defined(__SSE2__) || defined(_M_X64)
  const __m128d b = _mm_set1_pd(base);
  for (int j = 0; j < 10; j += 2)
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + j), _mm_cvttpd_epi32(Round2(_mm_add_pd(b, _mm_load_pd(off + j)))));
#else
  for (int j = 0; j < 9; ++j) out[j] = Round(base + off[j]);
#endif
}

// Picture indices of a row of samples known to lie inside the picture (so
// every coordinate is positive and rounds as truncation after adding a half).
void SamplePoints(double kx, double ky, const double* jx, const double* jy, int w, int32_t* out) {
#if defined(__SSE2__) || defined(_M_X64)
  const __m128d bx = _mm_set1_pd(kx), by = _mm_set1_pd(ky), half = _mm_set1_pd(0.5);
  const __m128i mul = _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(w) << 16) | 1u));  // x * 1 + y * w
  auto coords = [&](__m128d base, const double* off) {  // four rounded coordinates
    const __m128i lo = _mm_cvttpd_epi32(_mm_add_pd(_mm_add_pd(base, _mm_load_pd(off)), half));
    const __m128i hi = _mm_cvttpd_epi32(_mm_add_pd(_mm_add_pd(base, _mm_load_pd(off + 2)), half));
    return _mm_unpacklo_epi64(lo, hi);
  };
  for (int j = 0; j < 12; j += 4) {
    const __m128i x = coords(bx, jx + j), y = coords(by, jy + j);
    const __m128i xy = _mm_unpacklo_epi16(_mm_packs_epi32(x, x), _mm_packs_epi32(y, y));
    _mm_store_si128(reinterpret_cast<__m128i*>(out + j), _mm_madd_epi16(xy, mul));
  }
#else
  for (int j = 0; j < 9; ++j) out[j] = Round(kx + jx[j]) + Round(ky + jy[j]) * w;
#endif
}

// Block ridge periods from src (a picture of c's size, about unit spread
// over the area); the ridge clarity too when withClarity.
void Frequency(Ctx& c, const std::vector<float>& src, bool withClarity) {
  const int w = c.w, h = c.h;
  const size_t nb = static_cast<size_t>(c.bw) * c.bh;
  const double tMin = std::max(kPerMin, 4.0 * c.res / 500), tMax = std::min(kPerMax, 16.0 * c.res / 500);
  std::vector<float> per(nb, 0);
  if (withClarity) c.clarity.assign(nb, 0);
  const int L = static_cast<int>(std::lround(16 * c.res / 500));
  std::vector<float> sig(2 * L + 1), smoothSig(2 * L + 1);
  for (int by = 0; by < c.bh; ++by)
    for (int bx = 0; bx < c.bw; ++bx) {
      if (!c.fgBlock[c.B(bx, by)]) continue;
      double t = c.Theta(bx, by);
      double tx = std::cos(t), ty = std::sin(t), nx = -ty, ny = tx;
      double cx = bx * kB + kB / 2.0, cy = by * kB + kB / 2.0;
      // Sample points (cx + k nx) + j tx: the second term is the same for every k.
      alignas(16) double jx[12], jy[12];
      for (int j = -4; j <= 7; ++j) {
        jx[j + 4] = j * tx;
        jy[j + 4] = j * ty;
      }
      // Every sample is at most L + 4 (plus rounding) from the centre: inside
      // the picture, there is nothing to check and four rows of samples are
      // summed side by side (each in its own order, as below).
      const bool inside = cx - L - 5 >= 0 && cy - L - 5 >= 0 && cx + L + 5 <= w - 1 && cy + L + 5 <= h - 1;
      int k = -L;
      double sq = 0, nsq = 0;
      alignas(16) int32_t at[4][12];
      for (; inside && k + 4 <= L + 1; k += 4) {
        for (int q = 0; q < 4; ++q) SamplePoints(cx + (k + q) * nx, cy + (k + q) * ny, jx, jy, w, at[q]);
        float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
        for (int j = 0; j < 9; ++j) {
          const float v0 = src[static_cast<size_t>(at[0][j])], v1 = src[static_cast<size_t>(at[1][j])];
          const float v2 = src[static_cast<size_t>(at[2][j])], v3 = src[static_cast<size_t>(at[3][j])];
          s0 += v0;
          s1 += v1;
          s2 += v2;
          s3 += v3;
          sq += v0 * v0 + v1 * v1 + v2 * v2 + v3 * v3;
        }
        nsq += 36;
        sig[k + L] = s0 / 9.0f;
        sig[k + 1 + L] = s1 / 9.0f;
        sig[k + 2 + L] = s2 / 9.0f;
        sig[k + 3 + L] = s3 / 9.0f;
      }
      for (; k <= L; ++k) {
        const double kx = cx + k * nx, ky = cy + k * ny;
        alignas(16) int32_t xi[12], yi[12];
        SampleCoords(kx, jx, xi);
        SampleCoords(ky, jy, yi);
        float s = 0;
        int cnt = 0;
        for (int j = 0; j < 9; ++j) {
          const int x = xi[j], y = yi[j];
          if (x < 0 || y < 0 || x >= w || y >= h) continue;
          s += src[c.P(x, y)];
          sq += src[c.P(x, y)] * src[c.P(x, y)];
          ++cnt;
        }
        nsq += cnt;
        sig[k + L] = cnt ? s / static_cast<float>(cnt) : 0;
      }
      // Clarity: the share of the samples' variance that lies between the
      // signature's positions. Along a ridge the grey stays the same, so a
      // clear ridge wave has nearly all of it there; grain, pores and blots
      // vary as much along the ridge as across it. A ratio, so that a light
      // print is as clear as a dark one.
      if (withClarity) {
        double m1 = 0, m2 = 0;
        for (int k = 0; k <= 2 * L; ++k) {
          m1 += sig[k];
          m2 += static_cast<double>(sig[k]) * sig[k];
        }
        m1 /= 2 * L + 1;
        const double between = std::max(0.0, m2 / (2 * L + 1) - m1 * m1), all = nsq > 0 ? sq / nsq - m1 * m1 : 0;
        c.clarity[c.B(bx, by)] = all > 1e-9 ? static_cast<float>(std::min(1.0, between / all)) : 0.0f;
      }
      // Ridge centres are the signature's dark troughs.
      int first = -1, last = -1, count = 0;
      for (int k = 1; k < 2 * L; ++k) smoothSig[k] = (sig[k - 1] + 2 * sig[k] + sig[k + 1]) / 4;
      for (int k = 1; k < 2 * L; ++k) {
        float v = smoothSig[k];
        float vl = k > 1 ? smoothSig[k - 1] : sig[0];
        float vr = k < 2 * L - 1 ? smoothSig[k + 1] : sig[2 * L];
        if (v < vl && v <= vr && v < -0.2f) {
          if (first < 0) first = k;
          last = k;
          ++count;
        }
      }
      if (count >= 2) {
        double p = static_cast<double>(last - first) / (count - 1);
        if (p >= tMin && p <= tMax) per[c.B(bx, by)] = static_cast<float>(p);
      }
    }
  // Fill blocks without a reading from their neighbours, then smooth.
  std::vector<float> valid;
  for (size_t i = 0; i < nb; ++i)
    if (per[i] > 0) valid.push_back(per[i]);
  double fallback = 9.0 * c.res / 500;
  if (!valid.empty()) {
    std::nth_element(valid.begin(), valid.begin() + valid.size() / 2, valid.end());
    fallback = valid[valid.size() / 2];
  }
  for (int it = 0; it < 6; ++it) {
    std::vector<float> t = per;
    bool missing = false;
    for (int by = 0; by < c.bh; ++by)
      for (int bx = 0; bx < c.bw; ++bx) {
        size_t i = c.B(bx, by);
        if (!c.fgBlock[i] || per[i] > 0) continue;
        float s = 0;
        int cnt = 0;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx) {
            int x = bx + dx, y = by + dy;
            if (x < 0 || y < 0 || x >= c.bw || y >= c.bh || per[c.B(x, y)] <= 0) continue;
            s += per[c.B(x, y)];
            ++cnt;
          }
        if (cnt) t[i] = s / static_cast<float>(cnt);
        else missing = true;
      }
    per = t;
    if (!missing) break;
  }
  for (auto& p : per)
    if (p <= 0) p = static_cast<float>(fallback);
  Smooth3(per, c.bw, c.bh);
  c.period = per;
}

// The area keeps the candidate blocks whose ridges are clear enough, judged
// over about five blocks, then is cleaned again.
void KeepClearArea(Ctx& c) {
  if (c.cfg.MinQFG <= 0) return;
  std::vector<float>& cl = c.clarity;
  for (size_t i = 0; i < cl.size(); ++i)
    if (!c.fgBlock[i]) cl[i] = 0;
  for (int k = 0; k < 2; ++k) Smooth3(cl, c.bw, c.bh, c.tmpB);
  for (size_t i = 0; i < cl.size(); ++i)
    if (cl[i] < c.cfg.MinQFG) c.fgBlock[i] = 0;
  CleanArea(c);
}

// One pass of the contextual filter over the area: each pixel is the
// weighted sum of src along its own direction (offsets per orientation step)
// with the kernel of its period bin. Neighbouring pixels mostly share both, so
// runs of them are summed four at a time; every lane adds the same products in
// the same order as the single-pixel loop, so the sums are bit for bit the same.
void FilterPass(const Ctx& c, const std::vector<FilterKernel>& kern, const std::vector<int>& offs, const float* src, int sstride,
                float* dst, int dstride) {
  constexpr int kMax = kFilterMax;
  const int w = c.w, h = c.h;
  for (int y = 0; y < h; ++y) {
    const uint8_t* fgRow = &c.fgBlock[c.B(0, y / kB)];
    const uint8_t* ob = &c.obin[c.P(0, y)];
    const uint8_t* pb = &c.pbin[c.P(0, y)];
    const float* srow = src + static_cast<ptrdiff_t>(y) * sstride;
    float* drow = dst + static_cast<ptrdiff_t>(y) * dstride;
    int x = 0;
    while (x < w) {
      if (!fgRow[x / kB]) {
        x = (x / kB + 1) * kB;
        continue;
      }
      const uint8_t o = ob[x], p = pb[x];
      int e = x + 1;
      while (e < w && ob[e] == o && pb[e] == p && fgRow[e / kB]) ++e;
      const FilterKernel& k = kern[p];
      const int* off = &offs[static_cast<size_t>(o) * (2 * kMax + 1) + kMax];
      const float* wt = k.wt.data() + k.half;
      const int half = k.half;
#if defined(__SSE2__) || defined(_M_X64)
      for (; x + 8 <= e; x += 8) {
        const float* s = srow + x;
        __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps();
        for (int j = -half; j <= half; ++j) {
          const __m128 wj = _mm_set1_ps(wt[j]);
          a0 = _mm_add_ps(a0, _mm_mul_ps(wj, _mm_loadu_ps(s + off[j])));
          a1 = _mm_add_ps(a1, _mm_mul_ps(wj, _mm_loadu_ps(s + off[j] + 4)));
        }
        _mm_storeu_ps(drow + x, a0);
        _mm_storeu_ps(drow + x + 4, a1);
      }
      // The last one to three as well: the lanes past the run read the
      // source's margin or its slack, and are dropped.
      for (; x < e; x = std::min(x + 4, e)) {
        const float* s = srow + x;
        __m128 a0 = _mm_setzero_ps();
        for (int j = -half; j <= half; ++j) a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_set1_ps(wt[j]), _mm_loadu_ps(s + off[j])));
        if (x + 4 <= e) {
          _mm_storeu_ps(drow + x, a0);
        } else {
          alignas(16) float lanes[4];
          _mm_store_ps(lanes, a0);
          std::copy(lanes, lanes + (e - x), drow + x);
        }
      }
#endif
      for (; x < e; ++x) {
        const float* s = srow + x;
        float acc = 0;
        for (int j = -half; j <= half; ++j) acc += wt[j] * s[off[j]];
        drow[x] = acc;
      }
    }
  }
}

// Contextual filtering: a Gaussian along each ridge, then an even Gabor
// profile across it, both following the local orientation and period. With
// alongOnly, c.enh is the picture after the Gaussian alone. The area of
// c.norm is copied into a padded source first, unless sourceReady says an
// earlier call on this picture has done so.
void Enhance(Ctx& c, bool alongOnly, bool sourceReady) {
  const int w = c.w, h = c.h;
  const size_t n = static_cast<size_t>(w) * h;
  c.enh.assign(n, 0);
  const double su0 = std::clamp(c.cfg.SigmaGabor, 0.1, 2.0), fv = std::clamp(c.cfg.FatorGabor, 0.2, 4.0);
  const double span = std::clamp(c.cfg.EscalaGabor / 10.0, 1.0, 4.0);
  const int kMax = kFilterMax;

  using Kernel = FilterKernel;
  FilterBank& bank = c.bank;
  if (bank.su0 != su0 || bank.fv != fv || bank.span != span) {
    // Keyed only once whole: a failure on the way leaves the bank to be made again.
    bank.su0 = -1;
    bank.pad = 1;
    bank.along.assign(kPerBins, Kernel{});
    bank.across.assign(kPerBins, Kernel{});
    for (int p = 0; p < kPerBins; ++p) {
      double T = kPerMin + p * kPerStep, su = su0 * T, sv = fv * su;
      Kernel& a = bank.along[p];
      a.half = std::min(kMax, static_cast<int>(std::ceil(span * sv)));
      double sum = 0;
      for (int j = -a.half; j <= a.half; ++j) {
        a.wt.push_back(static_cast<float>(std::exp(-j * j / (2 * sv * sv))));
        sum += a.wt.back();
      }
      for (auto& v : a.wt) v = static_cast<float>(v / sum);
      Kernel& g = bank.across[p];
      g.half = std::min(kMax, static_cast<int>(std::ceil(span * su)));
      double mean = 0;
      std::vector<double> tmp;
      for (int k = -g.half; k <= g.half; ++k) {
        tmp.push_back(std::exp(-k * k / (2 * su * su)) * std::cos(2 * kPi * k / T));
        mean += tmp.back();
      }
      mean /= static_cast<double>(tmp.size());
      double gain = 0;
      for (int k = -g.half; k <= g.half; ++k) gain += (tmp[k + g.half] - mean) * std::cos(2 * kPi * k / T);
      for (double v : tmp) g.wt.push_back(static_cast<float>((v - mean) / std::max(gain, 1e-6)));
      bank.pad = std::max({bank.pad, a.half, g.half});
    }
    bank.su0 = su0;
    bank.fv = fv;
    bank.span = span;
  }
  const std::vector<Kernel>& along = bank.along;
  const std::vector<Kernel>& across = bank.across;
  const int pad = bank.pad;
  // Offsets along a direction for each orientation step.
  const int pw = w + 2 * pad;
  std::vector<int> offAlong(kOrient * (2 * kMax + 1)), offAcross(kOrient * (2 * kMax + 1));
  for (int o = 0; o < kOrient; ++o) {
    double t = o * kPi / kOrient, tx = std::cos(t), ty = std::sin(t);
    for (int j = -kMax; j <= kMax; ++j) {
      offAlong[o * (2 * kMax + 1) + j + kMax] = static_cast<int>(std::lround(j * ty)) * pw + static_cast<int>(std::lround(j * tx));
      offAcross[o * (2 * kMax + 1) + j + kMax] = static_cast<int>(std::lround(j * tx)) * pw - static_cast<int>(std::lround(j * ty));
    }
  }
  // Per-pixel orientation step and period bin, interpolated between block centres.
  auto& obin = c.obin;
  auto& pbin = c.pbin;
  obin.resize(n);  // read only inside the area, where every value is written
  pbin.resize(n);
  auto& colB0 = c.colB0;
  auto& colB1 = c.colB1;
  auto& colA = c.colA;
  colB0.resize(static_cast<size_t>(w));
  colB1.resize(static_cast<size_t>(w));
  colA.resize(static_cast<size_t>(w));
  for (int x = 0; x < w; ++x) {
    double fx = (x - kB / 2.0 + 0.5) / kB;
    int bx0 = std::clamp(static_cast<int>(std::floor(fx)), 0, c.bw - 1);
    colB0[x] = bx0;
    colB1[x] = std::min(bx0 + 1, c.bw - 1);
    colA[x] = static_cast<float>(std::clamp(fx - bx0, 0.0, 1.0));
  }
  // Interpolation across x is done once for the two block rows a pixel row
  // lies between; the eight pixel rows sharing them only blend the two.
  auto& xl = c.xLerp;
  xl.resize(6 * static_cast<size_t>(w));
  float* xs0 = xl.data();  // sin, cos, period of the upper block row, then of the lower one
  float *xc0 = xs0 + w, *xp0 = xc0 + w, *xs1 = xp0 + w, *xc1 = xs1 + w, *xp1 = xc1 + w;
  int haveBy0 = -1, haveBy1 = -1;
  for (int y = 0; y < h; ++y) {
    double fy = (y - kB / 2.0 + 0.5) / kB;
    int by0 = std::clamp(static_cast<int>(std::floor(fy)), 0, c.bh - 1), by1 = std::min(by0 + 1, c.bh - 1);
    const float ay = static_cast<float>(std::clamp(fy - by0, 0.0, 1.0));
    const uint8_t* fgRow = &c.fgBlock[c.B(0, y / kB)];
    if (by0 != haveBy0 || by1 != haveBy1) {
      haveBy0 = by0;
      haveBy1 = by1;
      const size_t r0 = c.B(0, by0), r1 = c.B(0, by1);
      for (int x = 0; x < w; ++x) {
        const size_t bx0 = static_cast<size_t>(colB0[x]), bx1 = static_cast<size_t>(colB1[x]);
        const float ax = colA[x];
        xs0[x] = (1 - ax) * c.bs[r0 + bx0] + ax * c.bs[r0 + bx1];
        xc0[x] = (1 - ax) * c.bc[r0 + bx0] + ax * c.bc[r0 + bx1];
        xp0[x] = (1 - ax) * c.period[r0 + bx0] + ax * c.period[r0 + bx1];
        xs1[x] = (1 - ax) * c.bs[r1 + bx0] + ax * c.bs[r1 + bx1];
        xc1[x] = (1 - ax) * c.bc[r1 + bx0] + ax * c.bc[r1 + bx1];
        xp1[x] = (1 - ax) * c.period[r1 + bx0] + ax * c.period[r1 + bx1];
      }
    }
    uint8_t* orow = &obin[c.P(0, y)];
    uint8_t* prow = &pbin[c.P(0, y)];
    // Whole area blocks; values outside the area are never read.
    for (int bx = 0; bx < c.bw; ++bx) {
      if (!fgRow[bx]) continue;
      int x = bx * kB;
      const int end = std::min(w, x + kB);
#if defined(__SSE2__) || defined(_M_X64)
      const __m128 wy0 = _mm_set1_ps(1 - ay), wy1 = _mm_set1_ps(ay);
      for (; x + 4 <= end; x += 4) {
        const __m128 vs = _mm_add_ps(_mm_mul_ps(wy0, _mm_loadu_ps(xs0 + x)), _mm_mul_ps(wy1, _mm_loadu_ps(xs1 + x)));
        const __m128 vc = _mm_add_ps(_mm_mul_ps(wy0, _mm_loadu_ps(xc0 + x)), _mm_mul_ps(wy1, _mm_loadu_ps(xc1 + x)));
        const __m128 vp = _mm_add_ps(_mm_mul_ps(wy0, _mm_loadu_ps(xp0 + x)), _mm_mul_ps(wy1, _mm_loadu_ps(xp1 + x)));
        // Both fit a byte: pack the four lanes' low bytes and store them.
        const __m128i ob = OrientStep4(vs, vc), pb = PeriodBin4(vp);
        const __m128i ob8 = _mm_packus_epi16(_mm_packs_epi32(ob, ob), _mm_setzero_si128());
        const __m128i pb8 = _mm_packus_epi16(_mm_packs_epi32(pb, pb), _mm_setzero_si128());
        const int32_t o4 = _mm_cvtsi128_si32(ob8), p4 = _mm_cvtsi128_si32(pb8);
        std::memcpy(orow + x, &o4, 4);
        std::memcpy(prow + x, &p4, 4);
      }
#endif
      for (; x < end; ++x) {
        const float vs = (1 - ay) * xs0[x] + ay * xs1[x], vc = (1 - ay) * xc0[x] + ay * xc1[x];
        orow[x] = static_cast<uint8_t>(OrientStep1(vs, vc));
        prow[x] = static_cast<uint8_t>(PeriodBin1((1 - ay) * xp0[x] + ay * xp1[x]));
      }
    }
  }
  auto& src = c.pad1;
  auto& mid = c.pad2;
  // Four floats of slack after the last row: the filter reads up to three
  // lanes past a run's end.
  const size_t padded = static_cast<size_t>(pw) * (h + 2 * pad) + 4;
  if (!sourceReady || src.size() != padded) {
    src.assign(padded, 0);
    for (int y = 0; y < h; ++y) {
      const uint8_t* fgRow = &c.fgBlock[c.B(0, y / kB)];
      for (int bx = 0; bx < c.bw; ++bx)
        if (fgRow[bx]) {
          const int x = bx * kB;
          std::memcpy(&src[static_cast<size_t>(y + pad) * pw + x + pad], &c.norm[c.P(x, y)],
                      sizeof(float) * static_cast<size_t>(std::min(kB, w - x)));
        }
    }
  }
  if (!alongOnly) mid.assign(padded, 0);
  const size_t orig = static_cast<size_t>(pad) * pw + pad;
  if (alongOnly) {
    FilterPass(c, along, offAlong, src.data() + orig, pw, c.enh.data(), w);
    return;
  }
  FilterPass(c, along, offAlong, src.data() + orig, pw, mid.data() + orig, pw);
  FilterPass(c, across, offAcross, mid.data() + orig, pw, c.enh.data(), w);
}

int OrientationPasses(const Ctx& c) { return c.cfg.PassoSuavizar1 ? 3 : 1; }

// Orientation and ridge period measured again on the picture smoothed along
// the ridges of the first estimate. Pores, grain and scratches across the
// ridges pull a block's gradients and its ridge wave astray; averaged along
// the ridges they fade while the ridges stay, so the second reading follows
// the ridges better where the first was disturbed. The coherence of that
// reading judges the minutiae (ridges that hold together along their
// course); the picture's quality, its clarity and the area keep the first.
void RefineRidgeField(Ctx& c) {
  Enhance(c, true, false);
  // The period reading looks for troughs against a level set for a picture
  // of unit spread; the smoothing lowers the spread, so it is restored.
  double sq = 0;
  size_t count = 0;
  for (int y = 0; y < c.h; ++y) {
    const uint8_t* fgRow = &c.fgBlock[c.B(0, y / kB)];
    const float* e = &c.enh[c.P(0, y)];
    for (int x = 0; x < c.w; ++x)
      if (fgRow[x / kB]) {
        sq += static_cast<double>(e[x]) * e[x];
        ++count;
      }
  }
  if (count == 0 || sq <= 0) {
    c.ridgeCoh = c.coh;
    return;
  }
  const float gain = static_cast<float>(1 / std::sqrt(sq / static_cast<double>(count)));
  for (float& v : c.enh) v *= gain;
  // Smoothed over twice as many passes as the first reading (the block sums
  // weighed over about 14 px instead of 10, one standard deviation): with
  // the grain gone, what is left to average out is the ridges' own breaks,
  // which span more than a block.
  Orientation(c, c.enh, c.ridgeCoh, 2 * OrientationPasses(c));
  Frequency(c, c.enh, false);
}

// Leaves the remaining pixels' indices in live, in raster order.
void Thin(std::vector<uint8_t>& img, int w, int h, std::vector<size_t>& live, std::vector<size_t>& del) {
  // Zhang-Suen; the outermost rows and columns are cleared first.
  for (int x = 0; x < w; ++x) img[x] = img[static_cast<size_t>(h - 1) * w + x] = 0;
  for (int y = 0; y < h; ++y) img[static_cast<size_t>(y) * w] = img[static_cast<size_t>(y) * w + w - 1] = 0;
  live.clear();
  for (size_t i = 0; i < img.size(); ++i)
    if (img[i]) live.push_back(i);
  // Removal decisions for every neighbourhood (p2..p9 as bits 0..7), per pass.
  static const auto table = [] {
    std::array<std::array<uint8_t, 256>, 2> t{};
    for (int m = 0; m < 256; ++m) {
      int p[10];
      for (int k = 0; k < 8; ++k) p[k + 2] = (m >> k) & 1;
      int b = 0, a = 0;
      for (int k = 2; k <= 9; ++k) {
        b += p[k];
        a += !p[k] && p[k == 9 ? 2 : k + 1];
      }
      bool keep = b < 2 || b > 6 || a != 1;
      t[0][m] = !keep && !((p[2] && p[4] && p[6]) || (p[4] && p[6] && p[8]));
      t[1][m] = !keep && !((p[2] && p[4] && p[8]) || (p[2] && p[6] && p[8]));
    }
    return t;
  }();
  bool changed = true;
  while (changed) {
    changed = false;
    for (int pass = 0; pass < 2; ++pass) {
      // Without branches: whether a pixel goes is as good as random.
      del.resize(live.size());
      size_t nd = 0;
      const auto& rm = table[pass];
      for (size_t i : live) {
        const uint8_t* p = &img[i];
        int m = p[-w] | p[-w + 1] << 1 | p[1] << 2 | p[w + 1] << 3 | p[w] << 4 | p[w - 1] << 5 | p[-1] << 6 | p[-w - 1] << 7;
        del[nd] = i;
        nd += rm[m] & p[0];
      }
      del.resize(nd);
      for (size_t i : del) img[i] = 0;
      if (!del.empty()) changed = true;
    }
    size_t k = 0;
    for (size_t i : live) {
      live[k] = i;
      k += img[i];
    }
    live.resize(k);
  }
}

const int kDx[8] = {1, 1, 0, -1, -1, -1, 0, 1};
const int kDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};

// Changes between on and off going once round the eight neighbours, halved.
int Crossings(const std::vector<uint8_t>& s, int w, int x, int y) {
  static const auto table = [] {
    std::array<uint8_t, 256> t{};
    for (int m = 0; m < 256; ++m) {
      int c = 0;
      for (int i = 0; i < 8; ++i) c += ((m >> i) & 1) != ((m >> ((i + 1) % 8)) & 1);
      t[m] = static_cast<uint8_t>(c / 2);
    }
    return t;
  }();
  const uint8_t* p = &s[static_cast<size_t>(y) * w + x];
  int m = 0;
  for (int i = 0; i < 8; ++i) m |= (p[kDy[i] * w + kDx[i]] != 0) << i;
  return table[m];
}

struct Walk {
  int x = 0, y = 0, steps = 0;
  bool hit = false;  // stopped on another ending or fork
};

// The skeleton's value on minutia candidates; 1 on its other pixels.
constexpr uint8_t kNode = 2;

Walk Follow(const std::vector<uint8_t>& s, int w, int h, std::vector<std::pair<int, int>>& path, int len) {
  Walk t;
  auto [cx, cy] = path.back();
  while (t.steps < len) {
    if (cx < 1 || cy < 1 || cx >= w - 1 || cy >= h - 1) break;
    if (t.steps > 0 && Crossings(s, w, cx, cy) != 2) {
      t.hit = true;
      break;
    }
    if (t.steps > 0) {
      // An eight-connected line can pass a fork diagonally without stepping
      // on it: a candidate next to the walk ends it there.
      int at = -1;
      for (int i = 0; i < 8 && at < 0; ++i) {
        const int nx = cx + kDx[i], ny = cy + kDy[i];
        if (s[static_cast<size_t>(ny) * w + nx] == kNode && (nx != path[0].first || ny != path[0].second)) at = i;
      }
      if (at >= 0) {
        cx += kDx[at];
        cy += kDy[at];
        path.push_back({cx, cy});
        ++t.steps;
        t.hit = true;
        break;
      }
    }
    auto [px, py] = path[path.size() - 2];
    int best = -1, bestD = -1;
    for (int i = 0; i < 8; ++i) {
      int nx = cx + kDx[i], ny = cy + kDy[i];
      if (!s[static_cast<size_t>(ny) * w + nx]) continue;
      bool seen = false;
      for (auto& p : path)
        if (p.first == nx && p.second == ny) {
          seen = true;
          break;
        }
      if (seen) continue;
      int d = (nx - px) * (nx - px) + (ny - py) * (ny - py);
      if (d > bestD) {
        bestD = d;
        best = i;
      }
    }
    if (best < 0) break;
    cx += kDx[best];
    cy += kDy[best];
    path.push_back({cx, cy});
    ++t.steps;
  }
  t.x = cx;
  t.y = cy;
  return t;
}

std::vector<std::pair<int, int>> Branches(const std::vector<uint8_t>& s, int w, int x, int y) {
  std::vector<std::pair<int, int>> out;
  int start = 0;
  for (int i = 0; i < 8; ++i)
    if (!s[static_cast<size_t>(y + kDy[i]) * w + x + kDx[i]]) {
      start = i;
      break;
    }
  bool inRun = false;
  for (int k = 1; k <= 8; ++k) {
    int i = (start + k) % 8;
    bool on = s[static_cast<size_t>(y + kDy[i]) * w + x + kDx[i]] != 0;
    if (on && !inRun) out.push_back({x + kDx[i], y + kDy[i]});
    else if (on && inRun && i % 2 == 0) out.back() = {x + kDx[i], y + kDy[i]};
    inRun = on;
  }
  return out;
}

struct Cand {
  int x, y, type;
  double angle = 0;
  bool drop = false;
};

void FindMinutiae(Ctx& c, Features& f) {
  const int w = c.w, h = c.h;
  const int minDist = c.cfg.TruncarArea ? 2 : 1;
  const int leg = std::clamp(c.cfg.MaxLegMinutia > 0 ? c.cfg.MaxLegMinutia : 10, 3, 40);
  std::vector<Cand> cand;
  // Candidates are found in raster order, so their positions are sorted.
  auto find = [&](int x, int y) -> int {
    auto it = std::lower_bound(cand.begin(), cand.end(), std::make_pair(y, x),
                               [](const Cand& k, std::pair<int, int> v) { return std::make_pair(k.y, k.x) < v; });
    return it != cand.end() && it->x == x && it->y == y ? static_cast<int>(it - cand.begin()) : -1;
  };
  // The thinning leaves the skeleton's pixels listed in raster order, none
  // on the picture's outermost rows and columns.
  for (size_t i : c.live) {
    const int y = static_cast<int>(i / static_cast<size_t>(w)), x = static_cast<int>(i % static_cast<size_t>(w));
    int cn = Crossings(c.skel, w, x, y);
    if (cn != 1 && cn != 3) continue;
    cand.push_back({x, y, cn == 1 ? 0 : 1});
  }
  for (const auto& m : cand) c.skel[c.P(m.x, m.y)] = kNode;
  const bool clean = c.cfg.EliminarMinucias;
  // The candidate a walk stopped on: at its last pixel or next to it.
  auto nodeAt = [&](int x, int y) -> int {
    for (int i = -1; i < 8; ++i) {
      const int j = i < 0 ? find(x, y) : find(x + kDx[i], y + kDy[i]);
      if (j >= 0) return j;
    }
    return -1;
  };
  std::vector<std::pair<int, int>> path;
  for (auto& m : cand) {
    auto br = Branches(c.skel, w, m.x, m.y);
    const int self = static_cast<int>(&m - cand.data());
    // Pieces are short or long against the local ridge period.
    const double T = c.period[c.B(m.x / kB, m.y / kB)];
    const int len = std::max(leg, static_cast<int>(std::ceil(kHolePeriods * T)));
    if (m.type == 0) {
      if (br.size() != 1) { m.drop = true; continue; }
      path.assign({{m.x, m.y}, br[0]});
      Walk t = Follow(c.skel, w, h, path, len);
      if (clean && (t.steps < 3 || (t.hit && t.steps < kShortPeriods * T))) {
        // A spur on a fork or a short piece of ridge: neither end is real.
        m.drop = true;
        const int j = t.hit ? nodeAt(t.x, t.y) : -1;
        if (j >= 0 && j != self) cand[static_cast<size_t>(j)].drop = true;
        continue;
      }
      const auto& a = path[std::min(static_cast<size_t>(leg) + 1, path.size() - 1)];
      m.angle = Seen(a.first - m.x, a.second - m.y);
    } else {
      if (br.size() != 3) { m.drop = true; continue; }
      double ang[3];
      int reach[3] = {-1, -1, -1};
      for (int k = 0; k < 3; ++k) {
        path.assign(1, {m.x, m.y});
        for (int o = 0; o < 3; ++o)
          if (o != k) path.push_back(br[o]);
        path.push_back(br[k]);
        Walk t = Follow(c.skel, w, h, path, len);
        if (t.hit) reach[k] = nodeAt(t.x, t.y);
        const int j = reach[k];
        if (clean && j >= 0 && j != self && cand[static_cast<size_t>(j)].type == 1 && t.steps < kShortPeriods * T) {
          // Two forks joined by a short piece: a bridge across a valley.
          m.drop = true;
          cand[static_cast<size_t>(j)].drop = true;
        }
        const auto& a = path[std::min(static_cast<size_t>(leg) + 3, path.size() - 1)];
        ang[k] = Seen(a.first - m.x, a.second - m.y);
      }
      for (int k = 0; clean && k < 3; ++k)
        for (int o = k + 1; o < 3; ++o) {
          const int j = reach[k];
          if (j >= 0 && j != self && j == reach[o] && cand[static_cast<size_t>(j)].type == 1) {
            // Two branches that meet again within a few periods enclose a
            // hole in a ridge (a pore, a scar, a blot of dry skin).
            m.drop = true;
            cand[static_cast<size_t>(j)].drop = true;
          }
        }
      int stem = 0;
      double bestGap = 1e9;
      for (int k = 0; k < 3; ++k) {
        double gap = std::fabs(WrapPi(ang[(k + 1) % 3] - ang[(k + 2) % 3]));
        if (gap < bestGap) {
          bestGap = gap;
          stem = k;
        }
      }
      double a = ang[(stem + 1) % 3], b = ang[(stem + 2) % 3];
      m.angle = std::atan2(std::sin(a) + std::sin(b), std::cos(a) + std::cos(b));
    }
  }
  // Area rim: ridges end there only because the picture does.
  for (auto& m : cand) {
    int edge = std::min({m.x, m.y, w - 1 - m.x, h - 1 - m.y});
    if (c.blockDist[c.B(m.x / kB, m.y / kB)] < minDist || edge < minDist * kB) m.drop = true;
  }

  std::vector<Cand*> kept;
  for (auto& m : cand)
    if (!m.drop) kept.push_back(&m);
  if (clean) {
    // Broken ridges: two endings facing each other across a short gap; and any
    // two minutiae closer than a fraction of the ridge period.
    std::vector<PairCandidate> pairs(kept.size());
    for (size_t i = 0; i < kept.size(); ++i) {
      const Cand& m = *kept[i];
      pairs[i] = {m.x, m.y, m.type, m.angle, c.period[c.B(m.x / kB, m.y / kB)], false};
    }
    DropFalsePairs(pairs);
    for (size_t i = 0; i < kept.size(); ++i) kept[i]->drop = pairs[i].drop;
  }
  for (auto* p : kept) {
    Cand& m = *p;
    if (m.drop) continue;
    size_t b = c.B(m.x / kB, m.y / kB);
    // The traced direction is coarse; the orientation field gives the line, the trace its sense.
    double th = -c.Theta(m.x / kB, m.y / kB);
    double a1 = th, a2 = th + kPi;
    double ang = std::fabs(WrapPi(a1 - m.angle)) < std::fabs(WrapPi(a2 - m.angle)) ? a1 : a2;
    if (std::fabs(WrapPi(ang - m.angle)) < 0.8) m.angle = WrapPi(ang);
    double contrast = std::min(1.0, c.localSd[c.P(m.x, m.y)] / 30.0);
    int q = static_cast<int>(std::lround(100 * std::clamp(static_cast<double>(c.ridgeCoh[b]), 0.0, 1.0) * contrast));
    if (q < c.cfg.LimiarQ1) continue;
    // The same measure against the picture's own contrast: a light print's
    // minutiae stay, those where the ridges blur into noise or grain go.
    if (c.cfg.LimiarQ2 > 0) {
      const double rel = std::min(1.0, c.localSd[c.P(m.x, m.y)] / std::max(1e-6, kRelContrast * c.topSd));
      if (100 * std::clamp(static_cast<double>(c.ridgeCoh[b]), 0.0, 1.0) * rel < c.cfg.LimiarQ2) continue;
    }
    double curv = 0;
    int bx = m.x / kB, by = m.y / kB;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        int x = bx + dx, y = by + dy;
        if (x < 0 || y < 0 || x >= c.bw || y >= c.bh || !c.fgBlock[c.B(x, y)]) continue;
        double d = std::fabs(c.Theta(x, y) - c.Theta(bx, by));
        curv = std::max(curv, std::min(d, kPi - d));
      }
    Minutia out;
    out.x = m.x;
    out.y = m.y;
    out.angle = m.angle;
    out.type = m.type;
    out.quality = q;
    out.measures.coherence = std::clamp(static_cast<double>(c.ridgeCoh[b]), 0.0, 1.0);
    out.measures.clarity = std::clamp(static_cast<double>(c.clarity[b]), 0.0, 1.0);
    out.measures.contrast = std::min(1.0, c.localSd[c.P(m.x, m.y)] / std::max(1e-6, c.topSd));
    out.measures.border = std::min(1.0, c.blockDist[b] / kBorderBlocks);
    out.curvature = static_cast<int>(std::lround(std::min(255.0, curv / (kPi / 2) * 255)));
    out.period10 = static_cast<int>(std::lround(std::clamp(c.period[b] * 10.0, 0.0, 255.0)));
    f.minutiae.push_back(out);
  }
  // Spurious minutiae come in clusters (a broken or blotted ridge makes
  // several); a real one rarely has another within a ridge period or two.
  for (auto& m : f.minutiae) {
    double nearest = 1e9;
    for (const auto& o : f.minutiae)
      if (&o != &m) nearest = std::min(nearest, std::hypot(o.x - m.x, o.y - m.y));
    const double period = std::max(1.0, m.period10 / 10.0);
    m.measures.spacing = std::min(1.0, nearest / (kSpacingPeriods * period));
    m.quality = MinutiaConfidence(m.measures);
  }
}

void SingularPoints(Ctx& c, Features& f) {
  // A heavily smoothed copy of the field keeps ridge noise from looking like
  // cores. The first reading: the second one is smoothed over a wider window,
  // which flattens deltas.
  std::vector<float> vc = c.firstBc, vs = c.firstBs;
  for (size_t i = 0; i < vc.size(); ++i)
    if (!c.fgBlock[i]) vc[i] = vs[i] = 0;
  for (int k = 0; k < 2; ++k) {
    Smooth3(vc, c.bw, c.bh);
    Smooth3(vs, c.bw, c.bh);
  }
  auto theta = [&](int bx, int by) { return 0.5 * std::atan2(vs[c.B(bx, by)], vc[c.B(bx, by)]); };
  static const int ring[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}};
  std::vector<int8_t> idx(vc.size(), 0);
  for (int by = 1; by < c.bh - 1; ++by)
    for (int bx = 1; bx < c.bw - 1; ++bx) {
      if (c.blockDist[c.B(bx, by)] < 3) continue;
      double sum = 0;
      for (int k = 0; k < 8; ++k) {
        double a = theta(bx + ring[k][0], by + ring[k][1]), b = theta(bx + ring[(k + 1) % 8][0], by + ring[(k + 1) % 8][1]);
        double d = b - a;
        while (d > kPi / 2) d -= kPi;
        while (d < -kPi / 2) d += kPi;
        sum += d;
      }
      double index = sum / (2 * kPi);
      if (index > 0.4 && index < 0.6) idx[c.B(bx, by)] = 1;          // core
      else if (index < -0.4 && index > -0.6) idx[c.B(bx, by)] = -1;  // delta
    }
  std::vector<uint8_t> seen(idx.size(), 0);
  std::vector<int> stack;
  for (int by = 0; by < c.bh; ++by)
    for (int bx = 0; bx < c.bw; ++bx) {
      size_t s = c.B(bx, by);
      if (!idx[s] || seen[s]) continue;
      int type = idx[s];
      double sx = 0, sy = 0;
      int cnt = 0;
      stack.assign(1, static_cast<int>(s));
      seen[s] = 1;
      while (!stack.empty()) {
        int i = stack.back();
        stack.pop_back();
        int x = i % c.bw, y = i / c.bw;
        sx += x;
        sy += y;
        ++cnt;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx) {
            int xx = x + dx, yy = y + dy;
            if (xx < 0 || yy < 0 || xx >= c.bw || yy >= c.bh) continue;
            size_t j = c.B(xx, yy);
            if (idx[j] == type && !seen[j]) {
              seen[j] = 1;
              stack.push_back(static_cast<int>(j));
            }
          }
      }
      double gx = sx / cnt, gy = sy / cnt;
      SingularPoint p;
      p.x = std::clamp(static_cast<int>(std::lround(gx * kB + kB / 2.0)), 0, c.w - 1);
      p.y = std::clamp(static_cast<int>(std::lround(gy * kB + kB / 2.0)), 0, c.h - 1);
      // Directions from the field on a ring around the point (seen angles).
      double re = 0, im = 0;
      for (int k = 0; k < 16; ++k) {
        double phi = 2 * kPi * k / 16;
        int xx = static_cast<int>(std::lround(gx + 3 * std::cos(phi))), yy = static_cast<int>(std::lround(gy - 3 * std::sin(phi)));
        if (xx < 0 || yy < 0 || xx >= c.bw || yy >= c.bh || !c.fgBlock[c.B(xx, yy)]) continue;
        double t = -theta(xx, yy);
        double a = type > 0 ? 2 * t - phi : 2 * t + phi;
        re += std::cos(a);
        im += std::sin(a);
      }
      double base = std::atan2(im, re);
      if (type > 0) {
        p.angle[0] = WrapPi(base);
        f.cores.push_back(p);
      } else {
        for (int k = 0; k < 3; ++k) p.angle[k] = WrapPi((base + 2 * kPi * k) / 3);
        f.deltas.push_back(p);
      }
    }
  const double near = 80 * c.res / 500;
  for (size_t i = 0; i < f.cores.size(); ++i)
    for (size_t j = i + 1; j < f.cores.size(); ++j) {
      double d = std::hypot(f.cores[i].x - f.cores[j].x, f.cores[i].y - f.cores[j].y);
      if (d >= near) continue;
      SingularPoint p;
      p.x = (f.cores[i].x + f.cores[j].x) / 2;
      p.y = (f.cores[i].y + f.cores[j].y) / 2;
      f.doubleCores.push_back(p);
    }
}

// Working contexts kept for reuse. A call takes one out under the lock and
// gives it back when done, so no two calls ever share one. At most kKept are
// kept, each sized for a picture of at most kReusePixels (about 52 bytes a
// pixel), so what stays allocated between calls is bounded.
class ContextPool {
 public:
  std::unique_ptr<Ctx> Take() {
    {
      std::lock_guard<std::mutex> hold(FLock);
      if (!FFree.empty()) {
        std::unique_ptr<Ctx> c = std::move(FFree.back());
        FFree.pop_back();
        return c;
      }
    }
    return std::make_unique<Ctx>();
  }
  void Give(std::unique_ptr<Ctx> c) {
    std::lock_guard<std::mutex> hold(FLock);
    if (FFree.size() < kKept) FFree.push_back(std::move(c));
  }

 private:
  static constexpr size_t kKept = 4;
  std::mutex FLock;
  std::vector<std::unique_ptr<Ctx>> FFree;
};

// Never destroyed: a thread may still extract while the process exits.
ContextPool& Pool() {
  static ContextPool* pool = new ContextPool;
  return *pool;
}

class ContextLease {
 public:
  // A large picture gets a context of its own, freed after the call.
  explicit ContextLease(bool keep) : FKeep(keep), FCtx(keep ? Pool().Take() : std::make_unique<Ctx>()) {}
  ~ContextLease() {
    if (FKeep) Pool().Give(std::move(FCtx));
  }
  ContextLease(const ContextLease&) = delete;
  ContextLease& operator=(const ContextLease&) = delete;
  Ctx& Get() { return *FCtx; }

 private:
  bool FKeep;
  std::unique_ptr<Ctx> FCtx;
};

void SetQuality(const QualityInput& in, Features& out) {
  QualityResult q = AssessQuality(MeasureQuality(in));
  out.imageQuality = q.score;
  out.qualityHints = std::move(q.hints);
  out.qualityMeasures = q.measures;
}

}  // namespace

bool Extract(const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t resolution,
             const TOmExtractorConfiguration& cfg, bool skeleton, uint16_t* work, Features& out) {
  out = Features{};
  if (!pixels || width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return false;
  out.width = static_cast<int>(width);
  out.height = static_cast<int>(height);
  // Contexts are kept between calls: fresh buffers on every call cost more
  // than the work itself. Each call owns the one it took for its whole run.
  ContextLease lease(static_cast<uint64_t>(width) * height <= kReusePixels);
  Ctx& c = lease.Get();
  c.w = out.width;
  c.h = out.height;
  c.res = resolution >= 250 && resolution <= 1000 ? resolution : 500;
  c.cfg = cfg;
  const size_t n = static_cast<size_t>(c.w) * c.h;
  if (c.w < 3 * kB || c.h < 3 * kB) {
    // Too small to hold a ridge pattern: an empty result, not a failure.
    if (work) std::fill(work, work + n, 0);
    out.qualityHints = {QualityHint::TooLittleFinger};
    return true;
  }
  Prepare(c, pixels);
  Orientation(c, c.sm, c.coh, OrientationPasses(c));
  c.firstBc = c.bc;
  c.firstBs = c.bs;
  CleanArea(c);
  Frequency(c, c.norm, true);
  KeepClearArea(c);
  if (cfg.BinSimples) {
    c.enh = c.norm;
    c.ridgeCoh = c.coh;
  } else {
    RefineRidgeField(c);
    Enhance(c, false, true);
  }

  c.ridge.resize(n);
  for (int y = 0; y < c.h; ++y) {
    const uint8_t* fgRow = &c.fgBlock[c.B(0, y / kB)];
    const float* e = &c.enh[c.P(0, y)];
    uint8_t* out = &c.ridge[c.P(0, y)];
    for (int x = 0; x < c.w; ++x) out[x] = (fgRow[x / kB] != 0) & (e[x] < 0);
  }
  c.skel = c.ridge;
  Thin(c.skel, c.w, c.h, c.live, c.del);
  FindMinutiae(c, out);
  SingularPoints(c, out);

  double psum = 0;
  for (size_t i = 0; i < c.fgBlock.size(); ++i)
    if (c.fgBlock[i]) {
      ++out.foregroundBlocks;
      psum += c.period[i];
    }
  if (out.foregroundBlocks) out.meanPeriod = psum / out.foregroundBlocks;
  SetQuality(QualityInput{c.w, c.h, c.bw, c.bh, kB, c.res, c.sm.data(), c.fgBlock.data(), c.coh.data(), c.clarity.data(),
                          c.blockSd.data()},
             out);
  if (work) {
    if (skeleton) {
      for (size_t i = 0; i < n; ++i) work[i] = c.skel[i] ? 0xFFFF : 0;
    } else {
      double m = cfg.MediaDesejada, sd = std::sqrt(std::max(0, cfg.VarianciaDesejada));
      for (size_t i = 0; i < n; ++i)
        work[i] = static_cast<uint16_t>(std::clamp(std::lround(m + sd * c.enh[i]), 0l, 65535l));
    }
  }
  return true;
}

int MinutiaConfidence(const MinutiaMeasures& m) {
  // Weights chosen with one set of real prints left out (docs/quality.md).
  constexpr double kWeights[5] = {1, 0, 0.5, 2, 1};  // coherence, clarity, contrast, border, spacing
  const double v[5] = {m.coherence, m.clarity, m.contrast, m.border, m.spacing};
  double sum = 0, weights = 0;
  for (int k = 0; k < 5; ++k) {
    sum += kWeights[k] * std::log(std::max(0.02, v[k]));
    weights += kWeights[k];
  }
  return static_cast<int>(std::lround(100 * std::exp(sum / weights)));
}

}  // namespace omx
