#include "fpsynth/fpsynth.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace fpsynth {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Sum of a few long waves: a smooth random field in about [-1, 1].
class SmoothField {
 public:
  SmoothField(std::mt19937& rng, double minWave, double maxWave, int waves = 5) {
    std::uniform_real_distribution<double> u(0, 1);
    for (int i = 0; i < waves; ++i) {
      double len = minWave + (maxWave - minWave) * u(rng);
      double dir = 2 * kPi * u(rng);
      w_.push_back({2 * kPi / len * std::cos(dir), 2 * kPi / len * std::sin(dir), 2 * kPi * u(rng)});
    }
    scale_ = 1.0 / std::sqrt(waves * 0.5);
  }
  double operator()(double x, double y) const {
    double s = 0;
    for (const auto& w : w_) s += std::cos(w.kx * x + w.ky * y + w.ph);
    return std::clamp(s * scale_, -1.0, 1.0);
  }

 private:
  struct Wave { double kx, ky, ph; };
  std::vector<Wave> w_;
  double scale_ = 1;
};

// Angle of the vector (dx, dy) given in pixel rows (y down), as the image is seen.
double SeenAngle(double dx, double dy) { return std::atan2(-dy, dx); }

double WrapPi(double a) {  // to (-pi, pi]
  while (a > kPi) a -= 2 * kPi;
  while (a <= -kPi) a += 2 * kPi;
  return a;
}

struct OrientationModel {
  Pattern pattern = Pattern::Arch;
  std::vector<SingularPoint> cores, deltas;
  double rotation = 0;
  double archX = 0, archY = 0, archW = 1, archH = 1, archK = 1;

  // Ridge direction in [0, pi) at a pixel, seen angle.
  double At(double x, double y) const {
    double t = rotation;
    if (pattern == Pattern::Arch) {
      double bump = std::exp(-std::pow((y - archY) / archH, 2));
      t += -std::atan(archK * (x - archX) / archW) * bump;
    } else {
      for (const auto& c : cores) t += 0.5 * SeenAngle(x - c.x, y - c.y);
      for (const auto& d : deltas) t -= 0.5 * SeenAngle(x - d.x, y - d.y);
    }
    t = std::fmod(t, kPi);
    if (t < 0) t += kPi;
    return t;
  }
};

OrientationModel MakeModel(Pattern pattern, int w, int h, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-1, 1);
  OrientationModel m;
  if (pattern == Pattern::Random) {
    std::uniform_int_distribution<int> pick(0, 9);
    static const Pattern table[10] = {Pattern::Arch, Pattern::TentedArch, Pattern::LeftLoop, Pattern::LeftLoop,
                                      Pattern::LeftLoop, Pattern::RightLoop, Pattern::RightLoop, Pattern::RightLoop,
                                      Pattern::Whorl, Pattern::Whorl};
    pattern = table[pick(rng)];
  }
  m.pattern = pattern;
  m.rotation = u(rng) * 8 * kPi / 180;
  double cx = w * (0.5 + 0.06 * u(rng)), cy = h * (0.42 + 0.06 * u(rng));
  switch (pattern) {
    case Pattern::Arch:
      m.archX = cx;
      m.archY = h * (0.55 + 0.1 * u(rng));
      m.archW = w * 0.3;
      m.archH = h * 0.35;
      m.archK = 0.9 + 0.3 * u(rng);
      break;
    case Pattern::TentedArch:
      m.cores.push_back({cx, cy});
      m.deltas.push_back({cx + 4 * u(rng), cy + h * (0.14 + 0.03 * u(rng))});
      break;
    case Pattern::LeftLoop:
    case Pattern::RightLoop: {
      double side = pattern == Pattern::LeftLoop ? 1 : -1;
      m.cores.push_back({cx - side * w * 0.06, cy});
      m.deltas.push_back({cx + side * w * (0.2 + 0.05 * u(rng)), cy + h * (0.3 + 0.05 * u(rng))});
      break;
    }
    case Pattern::Whorl:
    default: {
      double sep = h * (0.04 + 0.015 * u(rng));
      m.cores.push_back({cx - 3, cy - sep});
      m.cores.push_back({cx + 3, cy + sep});
      m.deltas.push_back({cx - w * (0.28 + 0.04 * u(rng)), cy + h * (0.3 + 0.05 * u(rng))});
      m.deltas.push_back({cx + w * (0.28 + 0.04 * u(rng)), cy + h * (0.3 + 0.05 * u(rng))});
      break;
    }
  }
  return m;
}

// Oriented filter bank: for each (orientation, period) a list of taps.
struct Bank {
  static constexpr int kOrient = 32;
  double pmin = 0, pstep = 0.5;
  int nper = 1;
  int radius = 6;
  int stride = 0;
  struct Tap { int off; float w; };
  std::vector<std::vector<Tap>> taps;

  Bank(double minPeriod, double maxPeriod, int r, int paddedWidth) : radius(r), stride(paddedWidth) {
    pmin = minPeriod;
    nper = std::max(1, static_cast<int>(std::ceil((maxPeriod - minPeriod) / pstep)) + 1);
    taps.resize(kOrient * nper);
    for (int o = 0; o < kOrient; ++o) {
      double th = o * kPi / kOrient;
      // Unit normal to the ridge, in pixel rows (y down).
      double nx = -std::sin(th), ny = -std::cos(th);
      double tx = std::cos(th), ty = -std::sin(th);
      for (int p = 0; p < nper; ++p) {
        double T = pmin + p * pstep;
        double su = 0.45 * T, sv = 0.55 * T;
        std::vector<double> wv;
        std::vector<int> offs;
        double mean = 0;
        for (int dy = -r; dy <= r; ++dy)
          for (int dx = -r; dx <= r; ++dx) {
            double uu = dx * nx + dy * ny, vv = dx * tx + dy * ty;
            double env = std::exp(-uu * uu / (2 * su * su) - vv * vv / (2 * sv * sv));
            if (env < 0.02) continue;
            wv.push_back(env * std::cos(2 * kPi * uu / T));
            offs.push_back(dy * stride + dx);
            mean += wv.back();
          }
        mean /= static_cast<double>(wv.size());
        double resp = 0;
        for (size_t i = 0; i < wv.size(); ++i) {
          wv[i] -= mean;
          int dy = (offs[i] + r * stride + r) / stride - r;
          int dx = offs[i] - dy * stride;
          double uu = dx * nx + dy * ny;
          resp += wv[i] * std::cos(2 * kPi * uu / T);
        }
        auto& list = taps[o * nper + p];
        for (size_t i = 0; i < wv.size(); ++i) list.push_back({offs[i], static_cast<float>(wv[i] / resp)});
      }
    }
  }
  int Index(double theta, double period) const {
    int o = static_cast<int>(std::lround(theta / kPi * kOrient)) % kOrient;
    int p = std::clamp(static_cast<int>(std::lround((period - pmin) / pstep)), 0, nper - 1);
    return o * nper + p;
  }
};

}  // namespace

// ---- truth finder: thinning, crossing numbers, traced directions ----

namespace {

void Thin(std::vector<uint8_t>& img, int w, int h) {
  // Zhang-Suen; the outermost rows and columns are cleared first.
  for (int x = 0; x < w; ++x) img[x] = img[(h - 1) * static_cast<size_t>(w) + x] = 0;
  for (int y = 0; y < h; ++y) img[static_cast<size_t>(y) * w] = img[static_cast<size_t>(y) * w + w - 1] = 0;
  std::vector<size_t> del;
  bool changed = true;
  while (changed) {
    changed = false;
    for (int pass = 0; pass < 2; ++pass) {
      del.clear();
      for (int y = 1; y < h - 1; ++y) {
        const uint8_t* r0 = &img[static_cast<size_t>(y - 1) * w];
        const uint8_t* r1 = r0 + w;
        const uint8_t* r2 = r1 + w;
        for (int x = 1; x < w - 1; ++x) {
          if (!r1[x]) continue;
          int p2 = r0[x], p3 = r0[x + 1], p4 = r1[x + 1], p5 = r2[x + 1], p6 = r2[x], p7 = r2[x - 1], p8 = r1[x - 1],
              p9 = r0[x - 1];
          int b = p2 + p3 + p4 + p5 + p6 + p7 + p8 + p9;
          if (b < 2 || b > 6) continue;
          int a = (!p2 && p3) + (!p3 && p4) + (!p4 && p5) + (!p5 && p6) + (!p6 && p7) + (!p7 && p8) + (!p8 && p9) +
                  (!p9 && p2);
          if (a != 1) continue;
          if (pass == 0 ? (p2 && p4 && p6) || (p4 && p6 && p8) : (p2 && p4 && p8) || (p2 && p6 && p8)) continue;
          del.push_back(static_cast<size_t>(y) * w + x);
        }
      }
      for (size_t i : del) img[i] = 0;
      if (!del.empty()) changed = true;
    }
  }
}

const int kDx[8] = {1, 1, 0, -1, -1, -1, 0, 1};
const int kDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};

int Crossings(const std::vector<uint8_t>& s, int w, int x, int y) {
  int c = 0;
  for (int i = 0; i < 8; ++i) {
    int a = s[static_cast<size_t>(y + kDy[i]) * w + x + kDx[i]] != 0;
    int b = s[static_cast<size_t>(y + kDy[(i + 1) % 8]) * w + x + kDx[(i + 1) % 8]] != 0;
    c += a != b;
  }
  return c / 2;
}

struct Trace {
  int x = 0, y = 0;  // where the walk stopped
  int steps = 0;
  bool hitMinutia = false;
};

Trace Walk(const std::vector<uint8_t>& s, int w, int h, std::vector<std::pair<int, int>> path, int len) {
  Trace t;
  auto [cx, cy] = path.back();
  while (t.steps < len) {
    if (cx < 1 || cy < 1 || cx >= w - 1 || cy >= h - 1) break;
    if (t.steps > 0 && Crossings(s, w, cx, cy) != 2) {
      t.hitMinutia = true;
      break;
    }
    auto [px, py] = path[path.size() - 2];
    int best = -1, bestD = -1;
    for (int i = 0; i < 8; ++i) {
      int nx = cx + kDx[i], ny = cy + kDy[i];
      if (!s[static_cast<size_t>(ny) * w + nx]) continue;
      bool seen = false;
      for (auto& p : path)
        if (p.first == nx && p.second == ny) { seen = true; break; }
      if (seen) continue;
      int d = (nx - px) * (nx - px) + (ny - py) * (ny - py);
      if (d > bestD) { bestD = d; best = i; }
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

// First pixels of each branch leaving (x, y): one per run of neighbours.
std::vector<std::pair<int, int>> Branches(const std::vector<uint8_t>& s, int w, int x, int y) {
  std::vector<std::pair<int, int>> out;
  int start = 0;
  for (int i = 0; i < 8; ++i)
    if (!s[static_cast<size_t>(y + kDy[i]) * w + x + kDx[i]]) { start = i; break; }
  bool inRun = false;
  for (int k = 1; k <= 8; ++k) {
    int i = (start + k) % 8;
    bool on = s[static_cast<size_t>(y + kDy[i]) * w + x + kDx[i]] != 0;
    if (on && !inRun) out.push_back({x + kDx[i], y + kDy[i]});
    else if (on && inRun && (i % 2 == 0)) out.back() = {x + kDx[i], y + kDy[i]};  // prefer a 4-neighbour
    inRun = on;
  }
  return out;
}

}  // namespace

std::vector<Minutia> FindMinutiae(const std::vector<uint8_t>& ridges, int w, int h, const std::vector<uint8_t>& mask,
                                  int border) {
  std::vector<Minutia> out;
  if (w < 3 || h < 3 || ridges.size() < static_cast<size_t>(w) * h) return out;
  std::vector<uint8_t> s(ridges.begin(), ridges.begin() + static_cast<size_t>(w) * h);
  for (auto& v : s) v = v != 0;
  Thin(s, w, h);

  // Distance to the nearest pixel outside the mask (or the image edge), chessboard.
  std::vector<int> dist(static_cast<size_t>(w) * h, 0);
  bool useMask = mask.size() >= static_cast<size_t>(w) * h;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      size_t i = static_cast<size_t>(y) * w + x;
      if (useMask && !mask[i]) continue;
      int d = std::min({x, y, w - 1 - x, h - 1 - y}) + 1;
      if (y > 0) d = std::min(d, dist[i - w] + 1);
      if (x > 0) d = std::min(d, dist[i - 1] + 1);
      dist[i] = d;
    }
  for (int y = h - 1; y >= 0; --y)
    for (int x = w - 1; x >= 0; --x) {
      size_t i = static_cast<size_t>(y) * w + x;
      if (y < h - 1) dist[i] = std::min(dist[i], dist[i + w] + 1);
      if (x < w - 1) dist[i] = std::min(dist[i], dist[i + 1] + 1);
    }

  struct Cand { int x, y, cn; bool drop; };
  std::vector<Cand> cands;
  for (int y = 1; y < h - 1; ++y)
    for (int x = 1; x < w - 1; ++x) {
      if (!s[static_cast<size_t>(y) * w + x]) continue;
      int cn = Crossings(s, w, x, y);
      if (cn == 1 || cn == 3) cands.push_back({x, y, cn, false});
    }
  // Merge clustered bifurcation pixels and drop tiny spurs and holes (thinning artefacts).
  for (size_t i = 0; i < cands.size(); ++i)
    for (size_t j = i + 1; j < cands.size(); ++j) {
      int dx = cands[i].x - cands[j].x, dy = cands[i].y - cands[j].y;
      if (dy > 6) break;
      int d2 = dx * dx + dy * dy;
      if (cands[i].cn == 3 && cands[j].cn == 3 && d2 <= 2) cands[j].drop = true;
      else if (d2 <= 25 && cands[i].cn != cands[j].cn) cands[i].drop = cands[j].drop = true;
    }
  const int leg = 8;
  for (auto& c : cands) {
    if (c.drop || dist[static_cast<size_t>(c.y) * w + c.x] <= border) continue;
    auto br = Branches(s, w, c.x, c.y);
    Minutia m;
    m.x = c.x;
    m.y = c.y;
    if (c.cn == 1) {
      if (br.size() != 1) continue;
      Trace t = Walk(s, w, h, {{c.x, c.y}, br[0]}, leg);
      if (t.steps < 3) continue;
      m.type = MinutiaType::Ending;
      m.angle = SeenAngle(t.x - c.x, t.y - c.y);
    } else {
      if (br.size() != 3) continue;
      double ang[3];
      for (int k = 0; k < 3; ++k) {
        std::vector<std::pair<int, int>> path{{c.x, c.y}};
        for (int o = 0; o < 3; ++o)
          if (o != k) path.push_back(br[o]);
        path.push_back(br[k]);
        Trace t = Walk(s, w, h, path, leg);
        ang[k] = SeenAngle(t.x - c.x, t.y - c.y);
      }
      // The stem is the branch whose two partners are the most parallel.
      int stem = 0;
      double bestGap = 1e9;
      for (int k = 0; k < 3; ++k) {
        double gap = std::fabs(WrapPi(ang[(k + 1) % 3] - ang[(k + 2) % 3]));
        if (gap < bestGap) { bestGap = gap; stem = k; }
      }
      double a = ang[(stem + 1) % 3], b = ang[(stem + 2) % 3];
      m.type = MinutiaType::Bifurcation;
      m.angle = std::atan2(std::sin(a) + std::sin(b), std::cos(a) + std::cos(b));
    }
    out.push_back(m);
  }
  return out;
}

Fingerprint Generate(const Params& params, uint32_t seed) {
  Fingerprint fp;
  const int w = std::clamp(params.width, 16, 4096), h = std::clamp(params.height, 16, 4096);
  fp.width = w;
  fp.height = h;
  std::mt19937 rng(seed * 2654435761u + 12345u);
  std::uniform_real_distribution<double> u01(0, 1);
  const double q = std::clamp(params.quality, 0.0, 1.0);
  const double T0 = std::clamp(params.ridgePeriod, 5.0, 16.0);

  OrientationModel model = MakeModel(params.pattern, w, h, rng);
  SmoothField periodNoise(rng, 120, 300, 4);
  const size_t n = static_cast<size_t>(w) * h;

  // Finger area: an ellipse with a wavy rim.
  double ecx = w * (0.5 + 0.04 * (u01(rng) - 0.5)), ecy = h * (0.5 + 0.04 * (u01(rng) - 0.5));
  double ea = w * (0.42 + 0.05 * u01(rng)), eb = h * (0.47 + 0.05 * u01(rng));
  double rimPh = 2 * kPi * u01(rng);
  fp.mask.assign(n, 0);
  std::vector<float> rim(n, 0);  // 0 at the rim, grows inwards (in units of pixels, roughly)
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double dx = (x - ecx) / ea, dy = (y - ecy) / eb;
      double r = std::sqrt(dx * dx + dy * dy);
      double phi = std::atan2(dy, dx);
      double edge = 1 + 0.04 * std::sin(3 * phi + rimPh) + 0.02 * std::sin(7 * phi + 2 * rimPh);
      double inside = (edge - r) * std::min(ea, eb);
      rim[static_cast<size_t>(y) * w + x] = static_cast<float>(inside);
      fp.mask[static_cast<size_t>(y) * w + x] = inside > 0;
    }

  // Master pattern grown from noise by oriented filters.
  const int R = params.fast ? 5 : 7;
  const int pw = w + 2 * R, ph = h + 2 * R;
  Bank bank(T0 * 0.85, T0 * 1.15, R, pw);
  std::vector<int> filt(n);
  double periodSum = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double T = T0 * (1 + 0.08 * periodNoise(x, y));
      periodSum += T;
      filt[static_cast<size_t>(y) * w + x] = bank.Index(model.At(x, y), T);
    }
  fp.meanPeriod = periodSum / static_cast<double>(n);
  std::vector<float> a(static_cast<size_t>(pw) * ph, 0), b(a.size(), 0);
  std::uniform_real_distribution<float> noise(-1, 1);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) a[static_cast<size_t>(y + R) * pw + x + R] = noise(rng);
  const int iterations = params.fast ? 6 : 14;
  for (int it = 0; it < iterations; ++it) {
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        size_t c = static_cast<size_t>(y + R) * pw + x + R;
        float s = 0;
        for (const auto& t : bank.taps[filt[static_cast<size_t>(y) * w + x]]) s += t.w * a[c + t.off];
        b[c] = std::clamp(s * 1.8f, -1.0f, 1.0f);
      }
    }
    std::swap(a, b);
  }
  std::vector<float> master(n);
  std::vector<uint8_t> ridges(n);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float v = a[static_cast<size_t>(y + R) * pw + x + R];
      master[static_cast<size_t>(y) * w + x] = v;
      ridges[static_cast<size_t>(y) * w + x] = v > 0;
    }

  int border = static_cast<int>(std::lround(T0 * 1.5));
  fp.minutiae = FindMinutiae(ridges, w, h, fp.mask, border);
  for (const auto& c : model.cores)
    if (c.x >= 0 && c.y >= 0 && c.x < w && c.y < h && fp.mask[static_cast<size_t>(c.y) * w + static_cast<size_t>(c.x)])
      fp.cores.push_back(c);
  for (const auto& d : model.deltas)
    if (d.x >= 0 && d.y >= 0 && d.x < w && d.y < h && fp.mask[static_cast<size_t>(d.y) * w + static_cast<size_t>(d.x)])
      fp.deltas.push_back(d);

  fp.pixels.assign(n, 255);
  if (!params.render) {
    for (size_t i = 0; i < n; ++i) fp.pixels[i] = fp.mask[i] && ridges[i] ? 0 : 255;
    return fp;
  }

  // Rendering: pressure shifts the ink threshold (thin broken ridges where dry,
  // merged ones where pressed), then blur, contrast and sensor noise.
  SmoothField pressure(rng, 80, 220, 5);
  SmoothField dryness(rng, 25, 60, 6);
  const double pressAmp = 0.08 + 0.55 * (1 - q);
  const double dryAmp = (1 - q) * (1 - q);
  const double contrast = (110 + 120 * q) * (0.85 + 0.15 * u01(rng));
  const double bg = 205 + 40 * u01(rng);
  std::vector<float> img(n);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      size_t i = static_cast<size_t>(y) * w + x;
      double shift = pressAmp * pressure(x, y);
      double ink = std::clamp(0.5 + (master[i] - shift) / 0.7, 0.0, 1.0);
      double dry = dryness(x, y);
      if (dryAmp > 0.04 && dry > 0.95 - 0.9 * dryAmp) ink *= 0.35;
      double fade = std::clamp(rim[i] / 6.0, 0.0, 1.0);
      img[i] = static_cast<float>(bg - contrast * ink * fade);
    }
  int blurs = static_cast<int>(std::lround((1 - q) * 2.5 + 0.3 * u01(rng)));
  std::vector<float> tmp(n);
  for (int k = 0; k < blurs; ++k) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        float s = 0;
        int c = 0;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx) {
            int yy = y + dy, xx = x + dx;
            if (yy < 0 || xx < 0 || yy >= h || xx >= w) continue;
            s += img[static_cast<size_t>(yy) * w + xx];
            ++c;
          }
        tmp[static_cast<size_t>(y) * w + x] = s / static_cast<float>(c);
      }
    std::swap(img, tmp);
  }
  std::normal_distribution<float> gauss(0, static_cast<float>(3 + 28 * (1 - q)));
  for (size_t i = 0; i < n; ++i)
    fp.pixels[i] = static_cast<uint8_t>(std::clamp(std::lround(img[i] + gauss(rng)), 0l, 255l));
  return fp;
}

}  // namespace fpsynth
