// The finger: orientation model, placed minutiae and the ridge phase.
#include <algorithm>
#include <cmath>

#include "detail.h"
#include "fpplace/fpplace.h"

namespace fpplace {

using detail::kPi;
using detail::Rng;
using detail::WrapPi;

const char* Name(Pattern p) {
  switch (p) {
    case Pattern::Arch: return "arch";
    case Pattern::TentedArch: return "tented-arch";
    case Pattern::LeftLoop: return "left-loop";
    case Pattern::RightLoop: return "right-loop";
    case Pattern::Whorl: return "whorl";
  }
  return "?";
}

int AngleUnits(double radians) {
  long v = std::lround(radians / (2 * kPi) * 256);
  return static_cast<int>(((v % 256) + 256) % 256);
}

namespace {

double SeenAngle(double dx, double dy) { return std::atan2(-dy, dx); }  // (dx, dy) in pixel rows, y down

// Distance from (x, y) to the segment (ax, ay)-(bx, by).
double SegmentDistance(double x, double y, double ax, double ay, double bx, double by) {
  double ux = bx - ax, uy = by - ay, l2 = ux * ux + uy * uy;
  double t = l2 > 0 ? std::clamp(((x - ax) * ux + (y - ay) * uy) / l2, 0.0, 1.0) : 0;
  return std::hypot(x - ax - t * ux, y - ay - t * uy);
}

}  // namespace

double Finger::Orientation(double x, double y) const {
  double t = ModelTheta(x, y);
  t = std::fmod(t, kPi);
  return t < 0 ? t + kPi : t;
}

double Finger::PeriodAt(double x, double y) const {
  double s = 0;
  for (const auto& w : periodWaves_) s += w.amp * std::cos(w.kx * x + w.ky * y + w.ph);
  return period * (1 + s);
}

double Finger::Depth(double x, double y) const {
  double dx = (x - centreX) / radiusX, dy = (y - centreY) / radiusY;
  double rho = std::hypot(dx, dy), phi = std::atan2(dy, dx);
  double edge = 1;
  for (const auto& w : rimWaves_) edge += w.amp * std::sin(w.kx * phi + w.ph);
  double c = std::cos(phi), s = std::sin(phi);
  return (edge - rho) * std::sqrt(radiusX * radiusX * c * c + radiusY * radiusY * s * s);
}

// The cover's sheet at a point: arg of prod sqrt((z - core) / (z - delta)), principal
// square roots, so it jumps by pi exactly across each core-delta segment.
double Finger::SheetAngle(double x, double y) const {
  double a = 0;
  for (const auto& p : pairs_) a += 0.5 * WrapPi(SeenAngle(x - p.cx, y - p.cy) - SeenAngle(x - p.dx, y - p.dy));
  return a;
}

double Finger::ModelTheta(double x, double y) const {
  double t = theta0_;
  for (const auto& w : bend_) t += w.amp * std::cos(w.kx * x + w.ky * y + w.ph);
  if (pattern == Pattern::Arch)
    t += std::atan(archK_ * (archX_ - x) / archW_) * std::exp(-std::pow((y - archY_) / archH_, 2));
  else
    t += SheetAngle(x, y);
  return t;
}

double Finger::ArgOf(size_t k, double x, double y) const {
  const Minutia& m = minutiae[k];
  return branch_[k] + WrapPi(SeenAngle(x - m.x, y - m.y) - branch_[k]);
}

double Finger::Spirals(double x, double y, int skip) const {
  double v = 0;
  for (size_t k = 0; k < minutiae.size(); ++k)
    if (static_cast<int>(k) != skip) v += sign_[k] * ArgOf(k, x, y);
  return v;
}

// The smooth part at a point, on that point's sheet. A node on the other sheet
// holds the value of the other sheet, where the whole phase is negated:
// phi' + V = -(phi + V), so phi' = -phi - 2V there.
double Finger::SmoothPart(const Grid& g, double x, double y) const {
  const double sq = pairs_.empty() ? 0 : SheetAngle(x, y);
  const double vq = pairs_.empty() ? 0 : Spirals(x, y, -1);
  double fx = std::clamp(x / g.step, 0.0, g.nx - 1.000001), fy = std::clamp(y / g.step, 0.0, g.ny - 1.000001);
  int i0 = static_cast<int>(fx), j0 = static_cast<int>(fy);
  double ax = fx - i0, ay = fy - j0;
  double sum = 0;
  const int di[4] = {0, 1, 0, 1}, dj[4] = {0, 0, 1, 1};
  const double wt[4] = {(1 - ax) * (1 - ay), ax * (1 - ay), (1 - ax) * ay, ax * ay};
  for (int c = 0; c < 4; ++c) {
    size_t n = static_cast<size_t>(j0 + dj[c]) * g.nx + i0 + di[c];
    double val = g.phi[n];
    if (!pairs_.empty() && std::cos(sq - g.sheet[n]) < 0) val = -val - 2 * vq - WrapPi(g.v[n] - vq);
    sum += wt[c] * val;
  }
  return sum;
}

double Finger::Psi(double x, double y) const { return Spirals(x, y, -1) + SmoothPart(grid_, x, y); }

double Finger::Ridge(double x, double y) const { return std::cos(Psi(x, y)); }

double Finger::RidgeFast(double x, double y) const {
  if (ridge_.empty()) return 0;
  double fx = std::clamp(x, 0.0, kCanvasWidth - 1.000001), fy = std::clamp(y, 0.0, kCanvasHeight - 1.000001);
  int i = static_cast<int>(fx), j = static_cast<int>(fy);
  double ax = fx - i, ay = fy - j;
  const float* r = &ridge_[static_cast<size_t>(j) * kCanvasWidth + i];
  return (1 - ay) * ((1 - ax) * r[0] + ax * r[1]) + ay * ((1 - ax) * r[kCanvasWidth] + ax * r[kCanvasWidth + 1]);
}

double Finger::RegularPhase(size_t k, double x, double y) const {
  return Spirals(x, y, static_cast<int>(k)) + SmoothPart(grid_, x, y);
}

// Least squares for the smooth part on a grid: along every grid edge the phase
// should change by 2 pi / period times the edge's length across the ridges,
// minus what the spirals already change. An edge crossing a cut joins a node
// to the other sheet, where the phase is negated.
void Finger::Solve(Grid& g, const Grid* coarse, int iterations) const {
  const size_t n = static_cast<size_t>(g.nx) * g.ny;
  std::vector<double> normal(n), omega(n);
  g.sheet.assign(n, 0);
  g.v.assign(n, 0);
  for (int j = 0; j < g.ny; ++j)
    for (int i = 0; i < g.nx; ++i) {
      size_t k = static_cast<size_t>(j) * g.nx + i;
      double x = i * g.step, y = j * g.step;
      g.sheet[k] = SheetAngle(x, y);
      normal[k] = ModelTheta(x, y) + kPi / 2;
      omega[k] = 2 * kPi / PeriodAt(x, y);
      g.v[k] = Spirals(x, y, -1);
    }
  struct Edge {
    size_t a, b;
    double sigma, r;
  };
  std::vector<Edge> edges;
  edges.reserve(2 * n);
  auto add = [&](size_t a, size_t b, double dx, double dy) {  // (dx, dy): seen displacement from a to b
    double sigma = std::cos(g.sheet[a] - g.sheet[b]) >= 0 ? 1 : -1;
    double nx = std::cos(normal[a]) + sigma * std::cos(normal[b]), ny = std::sin(normal[a]) + sigma * std::sin(normal[b]);
    double len = std::hypot(nx, ny);
    if (len > 0) nx /= len, ny /= len;
    double t = 0.5 * (omega[a] + omega[b]) * (nx * dx + ny * dy);
    double dv = WrapPi(g.v[b] - g.v[a]);
    double r = sigma > 0 ? t - dv : t + 2 * g.v[a] + dv;
    edges.push_back({a, b, sigma, r});
  };
  for (int j = 0; j < g.ny; ++j)
    for (int i = 0; i < g.nx; ++i) {
      size_t k = static_cast<size_t>(j) * g.nx + i;
      if (i + 1 < g.nx) add(k, k + 1, g.step, 0);
      if (j + 1 < g.ny) add(k, k + g.nx, 0, -g.step);
    }
  std::vector<double> b(n, 0);
  for (const auto& e : edges) {
    b[e.a] -= e.r;
    b[e.b] += e.sigma * e.r;
  }
  auto apply = [&](const std::vector<double>& x, std::vector<double>& y) {
    std::fill(y.begin(), y.end(), 0.0);
    for (const auto& e : edges) {
      y[e.a] += x[e.a] - e.sigma * x[e.b];
      y[e.b] += x[e.b] - e.sigma * x[e.a];
    }
  };
  // Start from the coarser solution, or the previous one on this grid.
  if (coarse) {
    g.phi.assign(n, 0);
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) g.phi[static_cast<size_t>(j) * g.nx + i] = SmoothPart(*coarse, i * g.step, j * g.step);
  } else if (g.phi.size() != n) {
    g.phi.assign(n, 0);
  }
  // Conjugate gradients, a fixed number of steps (the same work and result everywhere).
  std::vector<double> r(n), p(n), ap(n);
  apply(g.phi, ap);
  for (size_t k = 0; k < n; ++k) r[k] = b[k] - ap[k];
  p = r;
  double rr = 0;
  for (double v : r) rr += v * v;
  for (int it = 0; it < iterations && rr > 1e-18; ++it) {
    apply(p, ap);
    double pap = 0;
    for (size_t k = 0; k < n; ++k) pap += p[k] * ap[k];
    if (pap <= 0) break;
    double alpha = rr / pap;
    double rr2 = 0;
    for (size_t k = 0; k < n; ++k) {
      g.phi[k] += alpha * p[k];
      r[k] -= alpha * ap[k];
      rr2 += r[k] * r[k];
    }
    double beta = rr2 / rr;
    rr = rr2;
    for (size_t k = 0; k < n; ++k) p[k] = r[k] + beta * p[k];
  }
}

void Finger::BuildRidgeCanvas() {
  ridge_.assign(static_cast<size_t>(kCanvasWidth) * kCanvasHeight, -1.0f);
  for (int y = 0; y < kCanvasHeight; ++y)
    for (int x = 0; x < kCanvasWidth; ++x)
      if (Depth(x, y) > -12) ridge_[static_cast<size_t>(y) * kCanvasWidth + x] = static_cast<float>(Ridge(x, y));
}

// Chooses where each minutia's arg jumps: a ray that meets no cut, as far from
// the cuts as possible (so the spirals are continuous along every cut).
static double BranchFor(double px, double py, const std::vector<std::pair<Point, Point>>& cuts, double cx, double cy) {
  if (cuts.empty()) return SeenAngle(px - cx, py - cy);  // outwards
  double best = 0, bestGap = -1;
  for (int s = 0; s < 72; ++s) {
    double dir = s * kPi / 36;
    double gap = kPi;
    for (const auto& c : cuts) {
      double a1 = SeenAngle(c.first.x - px, c.first.y - py), a2 = SeenAngle(c.second.x - px, c.second.y - py);
      double span = WrapPi(a2 - a1);  // the segment covers a1 .. a1 + span
      double rel = WrapPi(dir - a1);
      double inside = span >= 0 ? (rel >= 0 && rel <= span) : (rel <= 0 && rel >= span);
      double d = inside ? 0 : std::min(std::fabs(rel), std::fabs(WrapPi(dir - a2)));
      gap = std::min(gap, d);
    }
    if (gap > bestGap) bestGap = gap, best = dir;
  }
  return best;
}

Finger Finger::Make(uint64_t seed, bool withPhase) {
  Finger f;
  f.seed = seed;
  Rng rng(detail::Mix(seed, 0xF17));
  double u = rng.U();
  f.pattern = u < 0.05 ? Pattern::Arch : u < 0.10 ? Pattern::TentedArch : u < 0.42 ? Pattern::LeftLoop
            : u < 0.74 ? Pattern::RightLoop : Pattern::Whorl;
  f.period = rng.U(8.2, 10.2);
  f.centreX = kCanvasWidth / 2.0 + rng.U(-6, 6);
  f.centreY = kCanvasHeight / 2.0 + rng.U(-8, 8);
  f.radiusX = rng.U(108, 132);
  f.radiusY = rng.U(150, 185);
  for (int m : {3, 5}) f.rimWaves_.push_back({static_cast<double>(m), 0, rng.U(0, 2 * kPi), m == 3 ? 0.03 : 0.015});
  auto waves = [&](std::vector<Wave>& out, int count, double minLen, double maxLen, double total) {
    for (int i = 0; i < count; ++i) {
      double len = rng.U(minLen, maxLen), dir = rng.U(0, 2 * kPi);
      out.push_back({2 * kPi / len * std::cos(dir), 2 * kPi / len * std::sin(dir), rng.U(0, 2 * kPi), total / count});
    }
  };
  waves(f.bend_, 3, 180, 360, 0.10);
  waves(f.periodWaves_, 3, 120, 300, 0.07);
  f.theta0_ = rng.U(-8, 8) * kPi / 180;

  const double cx = f.centreX, cy = f.centreY, ax = f.radiusX, ay = f.radiusY;
  switch (f.pattern) {
    case Pattern::Arch:
      f.archX_ = cx + rng.U(-10, 10);
      f.archY_ = cy + rng.U(0, 0.25) * ay;
      f.archW_ = 0.6 * ax;
      f.archH_ = 0.7 * ay;
      f.archK_ = rng.U(0.7, 1.2);
      break;
    case Pattern::TentedArch: {
      Point c{cx + rng.U(-8, 8), cy - rng.U(0.0, 0.15) * ay};
      Point d{c.x + rng.U(-6, 6), c.y + rng.U(0.22, 0.32) * ay};
      f.cores.push_back(c);
      f.deltas.push_back(d);
      break;
    }
    case Pattern::LeftLoop:
    case Pattern::RightLoop: {
      double side = f.pattern == Pattern::LeftLoop ? 1 : -1;  // left loop: ridges enter from the left, delta on the right
      Point c{cx - side * rng.U(0.0, 0.15) * ax, cy - rng.U(0.05, 0.22) * ay};
      Point d{cx + side * rng.U(0.45, 0.7) * ax, c.y + rng.U(0.45, 0.62) * ay};
      f.cores.push_back(c);
      f.deltas.push_back(d);
      break;
    }
    case Pattern::Whorl: {
      double sep = rng.U(0.04, 0.1) * ay, cyy = cy - rng.U(0.0, 0.15) * ay;
      f.cores.push_back({cx - rng.U(2, 8), cyy - sep});
      f.cores.push_back({cx + rng.U(2, 8), cyy + sep});
      f.deltas.push_back({cx - rng.U(0.55, 0.75) * ax, cyy + rng.U(0.45, 0.6) * ay});
      f.deltas.push_back({cx + rng.U(0.55, 0.75) * ax, cyy + rng.U(0.45, 0.6) * ay});
      break;
    }
  }
  for (size_t i = 0; i < f.cores.size(); ++i)
    f.pairs_.push_back({f.cores[i].x, f.cores[i].y, f.deltas[i].x, f.deltas[i].y});
  f.Place(rng.Next());
  if (withPhase) f.SolvePhase();
  return f;
}

// Minutiae at random, apart from each other, from cores, deltas and the cuts.
void Finger::Place(uint64_t seed) {
  Rng rng(seed);
  const double area = kPi * radiusX * radiusY;
  const int target = static_cast<int>(std::lround(area * rng.U(0.65, 0.95) / 1000));
  const double dmin = 1.8 * period;
  std::vector<std::pair<Point, Point>> cuts;
  for (const auto& p : pairs_) cuts.push_back({{p.cx, p.cy}, {p.dx, p.dy}});
  for (int attempt = 0; attempt < 60 * target && static_cast<int>(minutiae.size()) < target; ++attempt) {
    double x = rng.U(centreX - radiusX, centreX + radiusX), y = rng.U(centreY - radiusY, centreY + radiusY);
    if (Depth(x, y) < 0.6 * period) continue;
    bool ok = true;
    for (const auto& c : cores) ok = ok && std::hypot(x - c.x, y - c.y) >= 2 * period;
    for (const auto& d : deltas) ok = ok && std::hypot(x - d.x, y - d.y) >= 2 * period;
    for (const auto& c : cuts) ok = ok && SegmentDistance(x, y, c.first.x, c.first.y, c.second.x, c.second.y) >= 8;
    for (const auto& m : minutiae) ok = ok && std::hypot(x - m.x, y - m.y) >= dmin;
    if (!ok) continue;
    Minutia m;
    m.x = x;
    m.y = y;
    minutiae.push_back(m);
  }
  // Spiral signs alternate along bands (nearby ones cancel far away, so the
  // ridge flow keeps its shape); types drawn.
  std::vector<size_t> order(minutiae.size());
  for (size_t k = 0; k < order.size(); ++k) order[k] = k;
  auto band = [&](size_t k) { return static_cast<int>(minutiae[k].y / 40); };
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    int ba = band(a), bb = band(b);
    if (ba != bb) return ba < bb;
    return (ba % 2 == 0) ? minutiae[a].x < minutiae[b].x : minutiae[a].x > minutiae[b].x;
  });
  sign_.assign(minutiae.size(), 1);
  wantType_.assign(minutiae.size(), 0);
  int s = rng.U() < 0.5 ? 1 : -1;
  for (size_t k : order) {
    sign_[k] = s;
    s = -s;
  }
  for (size_t k = 0; k < minutiae.size(); ++k) {
    wantType_[k] = rng.U() < 0.55 ? 0 : 1;
    minutiae[k].id = static_cast<int>(k);
    minutiae[k].type = wantType_[k];
    // Without a phase: the ridge normal of the model, turned a quarter towards the side that gains a ridge.
    minutiae[k].angle = WrapPi(ModelTheta(minutiae[k].x, minutiae[k].y) + kPi / 2 - sign_[k] * kPi / 2);
  }
  branch_.assign(minutiae.size(), 0);
  for (size_t k = 0; k < minutiae.size(); ++k)
    branch_[k] = BranchFor(minutiae[k].x, minutiae[k].y, cuts, centreX, centreY) - kPi;
}

// Solves the smooth part, then moves each minutia across the ridges until the
// phase at it says its drawn type (a ridge leaves it towards the side with the
// extra ridge for an ending, a valley for a bifurcation), solving again as the
// spirals move. The truth is then read from the final phase.
void Finger::SolvePhase() {
  std::vector<std::pair<Point, Point>> cuts;
  for (const auto& p : pairs_) cuts.push_back({{p.cx, p.cy}, {p.dx, p.dy}});
  auto gridOf = [](double step) {
    Grid g;
    g.step = step;
    g.nx = static_cast<int>(std::ceil((kCanvasWidth - 1) / step)) + 1;
    g.ny = static_cast<int>(std::ceil((kCanvasHeight - 1) / step)) + 1;
    return g;
  };
  Grid g8 = gridOf(8), g4 = gridOf(4);
  grid_ = gridOf(2);
  Solve(g8, nullptr, 400);
  Solve(g4, &g8, 200);
  Solve(grid_, &g4, 150);

  // Direction and phase of minutia k: the side with the extra ridge is a
  // quarter turn from the phase gradient, clockwise for a positive spiral.
  struct Local {
    double angle, gx, gy, gnorm, err;
  };
  // The grid cannot hold a spiral's change exactly where it winds, so the
  // smooth part is bent within a few pixels of every spiral point. Its value
  // and gradient at the point are therefore read from a ring half a period
  // out (the nearest other minutia is at least 1.2 periods away): the mean of
  // the gradients on the ring, and the ring's mean phase taken back to the
  // centre along that gradient.
  auto local = [&](size_t k) {
    const Minutia& m = minutiae[k];
    const double h = 0.5, rad = 0.5 * period;
    const int n = 16;
    double gx = 0, gy = 0;
    for (int i = 0; i < n; ++i) {
      double x = m.x + rad * std::cos(2 * kPi * i / n), y = m.y + rad * std::sin(2 * kPi * i / n);
      gx += WrapPi(RegularPhase(k, x + h, y) - RegularPhase(k, x - h, y)) / (2 * h * n);
      gy -= WrapPi(RegularPhase(k, x, y + h) - RegularPhase(k, x, y - h)) / (2 * h * n);  // seen y is up
    }
    double cr = 0, ci = 0;
    for (int i = 0; i < n; ++i) {
      double dx = rad * std::cos(2 * kPi * i / n), dy = rad * std::sin(2 * kPi * i / n);
      double v = RegularPhase(k, m.x + dx, m.y + dy) - (gx * dx - gy * dy);
      cr += std::cos(v), ci += std::sin(v);
    }
    double r0 = std::atan2(ci, cr);
    Local l;
    l.gx = gx;
    l.gy = gy;
    l.gnorm = std::max(std::hypot(gx, gy), 1e-6);
    l.angle = WrapPi(std::atan2(gy, gx) - sign_[k] * kPi / 2);
    double along = branch_[k] + WrapPi(l.angle - branch_[k]);  // the spiral's arg on that side
    double target = wantType_[k] == 0 ? 0 : kPi;
    l.err = WrapPi(target - r0 - sign_[k] * along);
    return l;
  };
  for (int round = 0; round < 3; ++round) {
    for (int sweep = 0; sweep < 3; ++sweep)
      for (size_t k = 0; k < minutiae.size(); ++k) {
        Local l = local(k);
        double step = std::clamp(l.err / l.gnorm, -0.55 * period, 0.55 * period);
        minutiae[k].x += step * l.gx / l.gnorm;
        minutiae[k].y -= step * l.gy / l.gnorm;
        branch_[k] = BranchFor(minutiae[k].x, minutiae[k].y, cuts, centreX, centreY) - kPi;
      }
    // Two minutiae pushed too close would blur into one feature: keep the first.
    for (size_t a = 0; a < minutiae.size(); ++a)
      for (size_t b = a + 1; b < minutiae.size(); ++b)
        if (std::hypot(minutiae[a].x - minutiae[b].x, minutiae[a].y - minutiae[b].y) < 1.2 * period) {
          minutiae.erase(minutiae.begin() + static_cast<long>(b));
          sign_.erase(sign_.begin() + static_cast<long>(b));
          wantType_.erase(wantType_.begin() + static_cast<long>(b));
          branch_.erase(branch_.begin() + static_cast<long>(b));
          --b;
        }
    Solve(grid_, nullptr, 100);
  }
  for (size_t k = 0; k < minutiae.size(); ++k) {
    Local l = local(k);
    minutiae[k].id = static_cast<int>(k);
    minutiae[k].angle = l.angle;
    // The type the phase gives: a ridge (cos > 0) or a valley leaves the point on the open side.
    double target = wantType_[k] == 0 ? 0 : kPi;
    minutiae[k].type = std::cos(target - l.err) > 0 ? 0 : 1;
  }
  hasPhase = true;
  BuildRidgeCanvas();
}

}  // namespace fpplace
