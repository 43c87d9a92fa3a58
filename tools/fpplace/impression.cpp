// Impressions: how a finger lands on the sensor, and the picture it leaves.
#include <algorithm>
#include <cmath>

#include "detail.h"
#include "fpplace/fpplace.h"

namespace fpplace {

using detail::kPi;
using detail::Rng;
using detail::SmoothStep;
using detail::ValueNoise;
using detail::WrapPi;

const char* Name(Quality q) {
  switch (q) {
    case Quality::Good: return "good";
    case Quality::Dry: return "dry";
    case Quality::Wet: return "wet";
    case Quality::Poor: return "poor";
    case Quality::Clean: return "clean";
  }
  return "?";
}

ImpressionParams DrawImpression(const Finger& f, uint64_t seed, Quality q) {
  ImpressionParams p;
  p.seed = seed;
  p.quality = q;
  Rng rng(detail::Mix(seed, 0x1A7));
  // Placement and distortion first, in a fixed order, whatever the quality.
  p.rotation = rng.U(-20, 20) * kPi / 180;
  p.shiftX = rng.U(-40, 40);
  p.shiftY = rng.U(-40, 40);
  p.contactX = f.centreX + rng.U(-25, 25);
  p.contactY = f.centreY + rng.U(-25, 25);
  p.elasticAngle = rng.U(-4, 4) * kPi / 180;
  double shift = rng.U(0, 8), dir = rng.U(0, 2 * kPi);
  p.elasticShiftX = shift * std::cos(dir);
  p.elasticShiftY = shift * std::sin(dir);
  p.elasticSigma = rng.U(50, 80);
  p.waveAmp = rng.U(0, 2);
  double len = rng.U(120, 250), wdir = rng.U(0, 2 * kPi);
  p.waveKx = 2 * kPi / len * std::cos(wdir);
  p.waveKy = 2 * kPi / len * std::sin(wdir);
  p.wavePhase = rng.U(0, 2 * kPi);
  p.contactScaleX = rng.U(0.75, 1.05);
  p.contactScaleY = rng.U(0.75, 1.05);
  switch (q) {
    case Quality::Good:
      p.bias = rng.U(-0.1, 0.15), p.pressure = rng.U(0, 0.1), p.contrast = rng.U(170, 215);
      p.background = rng.U(235, 252), p.blur = rng.U(0.5, 0.9), p.noise = rng.U(2, 5);
      break;
    case Quality::Dry:
      p.bias = rng.U(0.3, 0.5), p.pressure = rng.U(0.05, 0.15), p.breakup = rng.U(0.25, 0.55);
      p.contrast = rng.U(120, 180), p.background = rng.U(238, 254), p.blur = rng.U(0.5, 0.9), p.noise = rng.U(3, 7);
      break;
    case Quality::Wet:
      p.bias = rng.U(-0.5, -0.3), p.pressure = rng.U(0.05, 0.15), p.smudge = rng.U(0.3, 0.7);
      p.contrast = rng.U(170, 220), p.background = rng.U(225, 245), p.blur = rng.U(0.9, 1.4), p.noise = rng.U(3, 7);
      break;
    case Quality::Poor:
      p.bias = rng.U(-0.15, 0.25), p.pressure = rng.U(0.25, 0.4), p.breakup = rng.U(0.1, 0.3);
      p.smudge = rng.U(0.1, 0.3), p.contrast = rng.U(80, 130), p.background = rng.U(200, 240);
      p.blur = rng.U(1.1, 1.6), p.noise = rng.U(9, 16);
      break;
    case Quality::Clean:
      p.contrast = 255, p.background = 255;
      break;
  }
  return p;
}

Mapping::Mapping(const Finger& f, const ImpressionParams& p, int w, int h) : finger(f), params(p), width(w), height(h) {}

Point Mapping::Displace(double fx, double fy) const {
  const ImpressionParams& p = params;
  double rx = fx - p.contactX, ry = fy - p.contactY;
  double wgt = 1 - std::exp(-(rx * rx + ry * ry) / (2 * p.elasticSigma * p.elasticSigma));
  double c = std::cos(p.elasticAngle), s = std::sin(p.elasticAngle);
  // Turn as seen (counter-clockwise) in pixel rows: x' = c x + s y, y' = -s x + c y.
  double tx = c * rx + s * ry - rx + p.elasticShiftX, ty = -s * rx + c * ry - ry + p.elasticShiftY;
  double kl = std::hypot(p.waveKx, p.waveKy);
  double wave = p.waveAmp * std::sin(p.waveKx * fx + p.waveKy * fy + p.wavePhase);
  double wx = kl > 0 ? wave * p.waveKx / kl : 0, wy = kl > 0 ? wave * p.waveKy / kl : 0;
  return {fx + wgt * tx + wx, fy + wgt * ty + wy};
}

Point Mapping::Forward(double fx, double fy) const {
  Point d = Displace(fx, fy);
  double u = d.x - finger.centreX, v = d.y - finger.centreY;
  double c = std::cos(params.rotation), s = std::sin(params.rotation);
  return {(width - 1) / 2.0 + params.shiftX + c * u + s * v, (height - 1) / 2.0 + params.shiftY - s * u + c * v};
}

Point Mapping::Inverse(double x, double y) const {
  double xr = x - (width - 1) / 2.0 - params.shiftX, yr = y - (height - 1) / 2.0 - params.shiftY;
  double c = std::cos(params.rotation), s = std::sin(params.rotation);
  double tx = c * xr - s * yr + finger.centreX, ty = s * xr + c * yr + finger.centreY;
  // q + d(q) = t: the displacement changes by less than half a pixel per pixel, so this contracts.
  double qx = tx, qy = ty;
  for (int it = 0; it < 60; ++it) {
    Point d = Displace(qx, qy);
    double nx = qx + tx - d.x, ny = qy + ty - d.y;
    bool done = std::fabs(nx - qx) + std::fabs(ny - qy) < 1e-10;
    qx = nx, qy = ny;
    if (done) break;
  }
  return {qx, qy};
}

double Mapping::ForwardAngle(double fx, double fy, double angle) const {
  const double h = 0.5;
  Point px = Forward(fx + h, fy), mx = Forward(fx - h, fy), py = Forward(fx, fy + h), my = Forward(fx, fy - h);
  double vx = std::cos(angle), vy = -std::sin(angle);  // direction in pixel rows
  double wx = ((px.x - mx.x) * vx + (py.x - my.x) * vy) / (2 * h);
  double wy = ((px.y - mx.y) * vx + (py.y - my.y) * vy) / (2 * h);
  return std::atan2(-wy, wx);
}

double Mapping::Contact(double fx, double fy) const {
  const Finger& f = finger;
  double ex = (fx - params.contactX) / (params.contactScaleX * f.radiusX);
  double ey = (fy - params.contactY) / (params.contactScaleY * f.radiusY);
  double rho = std::hypot(ex, ey), phi = std::atan2(ey, ex);
  double rx = params.contactScaleX * f.radiusX, ry = params.contactScaleY * f.radiusY;
  double contact = (1 - rho) * std::sqrt(rx * rx * std::cos(phi) * std::cos(phi) + ry * ry * std::sin(phi) * std::sin(phi));
  double depth = std::min(f.Depth(fx, fy), contact);
  return SmoothStep((depth + 3) / 6);  // 0.5 on the rim
}

namespace {

// Single-valued core angle and delta angles from the orientation model: near a
// core the ridges turn about it like arg/2 around a direction, the loop's axis.
void Truth(const Finger& f, const Mapping& map, Impression& imp) {
  for (const auto& m : f.minutiae) {
    if (map.Contact(m.x, m.y) < 0.5) continue;
    Point p = map.Forward(m.x, m.y);
    if (p.x < 0 || p.y < 0 || p.x > imp.width - 1 || p.y > imp.height - 1) continue;
    Minutia t = m;
    t.x = p.x;
    t.y = p.y;
    t.angle = WrapPi(map.ForwardAngle(m.x, m.y, m.angle));
    imp.minutiae.push_back(t);
  }
  auto singular = [&](const std::vector<Point>& in, std::vector<Point>& out) {
    for (const auto& c : in) {
      if (map.Contact(c.x, c.y) < 0.5) continue;
      Point p = map.Forward(c.x, c.y);
      if (p.x < 0 || p.y < 0 || p.x > imp.width - 1 || p.y > imp.height - 1) continue;
      out.push_back(p);
    }
  };
  singular(f.cores, imp.cores);
  singular(f.deltas, imp.deltas);
}

}  // namespace

Impression Place(const Finger& f, const ImpressionParams& p, int width, int height) {
  Impression imp;
  imp.width = width;
  imp.height = height;
  imp.params = p;
  Mapping map(f, p, width, height);
  Truth(f, map, imp);
  return imp;
}

Impression Render(const Finger& f, const ImpressionParams& p, int width, int height) {
  Impression imp = Place(f, p, width, height);
  Mapping map(f, p, width, height);
  const size_t n = static_cast<size_t>(width) * height;
  imp.area.assign(n, 0);
  // Where each pixel comes from on the finger: exact on a 4-pixel lattice, bilinear between.
  const int step = 4, gx = (width - 1) / step + 2, gy = (height - 1) / step + 2;
  std::vector<Point> lattice(static_cast<size_t>(gx) * gy);
  for (int j = 0; j < gy; ++j)
    for (int i = 0; i < gx; ++i) lattice[static_cast<size_t>(j) * gx + i] = map.Inverse(i * step, j * step);
  const bool clean = p.quality == Quality::Clean;
  const uint64_t s = p.seed;
  std::vector<float> img(n);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      int i = x / step, j = y / step;
      double ax = (x - i * step) / static_cast<double>(step), ay = (y - j * step) / static_cast<double>(step);
      const Point& a = lattice[static_cast<size_t>(j) * gx + i];
      const Point& b = lattice[static_cast<size_t>(j) * gx + i + 1];
      const Point& c = lattice[static_cast<size_t>(j + 1) * gx + i];
      const Point& d = lattice[static_cast<size_t>(j + 1) * gx + i + 1];
      double qx = (1 - ay) * ((1 - ax) * a.x + ax * b.x) + ay * ((1 - ax) * c.x + ax * d.x);
      double qy = (1 - ay) * ((1 - ax) * a.y + ax * b.y) + ay * ((1 - ax) * c.y + ax * d.y);
      size_t k = static_cast<size_t>(y) * width + x;
      double bg = p.background + (clean ? 0 : 4 * ValueNoise(s ^ 0xB6, 90, x, y));
      double contact = map.Contact(qx, qy);
      imp.area[k] = contact >= 0.5;
      if (contact <= 0) {
        img[k] = static_cast<float>(bg);
        continue;
      }
      double r = f.RidgeFast(qx, qy);
      double ink;
      if (clean) {
        ink = 0.5 + 0.5 * std::tanh(6 * r);
      } else {
        double bias = p.bias + p.pressure * ValueNoise(s ^ 0x9E, 60, qx, qy);
        ink = 0.5 + 0.5 * std::tanh(2.8 * (r - bias));
        if (p.breakup > 0) {  // dry skin: ridges break into pieces, more so in patches
          double thr = p.breakup * (0.6 + 0.4 * ValueNoise(s ^ 0xD1, 25, qx, qy));
          double grain = 0.5 + 0.5 * ValueNoise(s ^ 0xD2, 3.5, qx, qy);
          ink *= SmoothStep((grain - thr) / 0.15 + 0.5);
        }
        if (p.smudge > 0) {  // wet skin: ink runs into the valleys in patches
          double blob = 0.5 + 0.5 * ValueNoise(s ^ 0xE1, 18, qx, qy);
          double fill = p.smudge * SmoothStep((blob - (1 - 0.6 * p.smudge)) / 0.12);
          ink = std::max(ink, 0.9 * fill);
        }
      }
      img[k] = static_cast<float>(bg - p.contrast * ink * contact);
    }
  if (p.blur > 0.05) {  // separable Gaussian
    int r = static_cast<int>(std::ceil(3 * p.blur));
    std::vector<double> kern(2 * r + 1);
    double sum = 0;
    for (int i = -r; i <= r; ++i) sum += kern[i + r] = std::exp(-i * i / (2 * p.blur * p.blur));
    for (auto& v : kern) v /= sum;
    std::vector<float> tmp(n);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        double acc = 0;
        for (int i = -r; i <= r; ++i) acc += kern[i + r] * img[static_cast<size_t>(y) * width + std::clamp(x + i, 0, width - 1)];
        tmp[static_cast<size_t>(y) * width + x] = static_cast<float>(acc);
      }
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        double acc = 0;
        for (int i = -r; i <= r; ++i) acc += kern[i + r] * tmp[static_cast<size_t>(std::clamp(y + i, 0, height - 1)) * width + x];
        img[static_cast<size_t>(y) * width + x] = static_cast<float>(acc);
      }
  }
  Rng rng(detail::Mix(s, 0x4015E));
  imp.pixels.resize(n);
  for (size_t k = 0; k < n; ++k) {
    double v = img[k] + (p.noise > 0 ? p.noise * rng.Normal() : 0);
    imp.pixels[k] = static_cast<uint8_t>(std::clamp(std::lround(v), 0l, 255l));
  }
  return imp;
}

}  // namespace fpplace
