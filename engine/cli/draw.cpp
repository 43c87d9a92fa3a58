#include "draw.h"

#include <cmath>

namespace omx::draw {
namespace {

void Put(Rgb& img, int x, int y, uint8_t r, uint8_t g, uint8_t b) {
  if (x < 0 || y < 0 || x >= img.width || y >= img.height) return;
  uint8_t* p = &img.pixels[(static_cast<size_t>(y) * img.width + x) * 3];
  p[0] = r;
  p[1] = g;
  p[2] = b;
}

void Line(Rgb& img, int x0, int y0, double angle, int len, uint8_t r, uint8_t g, uint8_t b) {
  for (int k = 0; k <= len; ++k)
    Put(img, x0 + static_cast<int>(std::lround(k * std::cos(angle))), y0 - static_cast<int>(std::lround(k * std::sin(angle))),
        r, g, b);
}

}  // namespace

Rgb FromGrey(const bmp::Grey& g) {
  Rgb out;
  out.width = g.width;
  out.height = g.height;
  out.pixels.resize(g.pixels.size() * 3);
  for (size_t i = 0; i < g.pixels.size(); ++i) out.pixels[3 * i] = out.pixels[3 * i + 1] = out.pixels[3 * i + 2] = g.pixels[i];
  return out;
}

void Mark(Rgb& img, int x, int y, double angle, uint8_t r, uint8_t g, uint8_t b) {
  for (int k = 0; k < 24; ++k) {
    double a = k * 2 * 3.14159265358979323846 / 24;
    Put(img, x + static_cast<int>(std::lround(3 * std::cos(a))), y + static_cast<int>(std::lround(3 * std::sin(a))), r, g, b);
  }
  Line(img, x, y, angle, 10, r, g, b);
}

void Features(Rgb& img, const omx::Features& f) {
  for (const auto& m : f.minutiae) {
    if (m.type == 0) Mark(img, m.x, m.y, m.angle, 230, 0, 0);
    else Mark(img, m.x, m.y, m.angle, 0, 60, 255);
  }
  for (const auto& c : f.cores) {
    for (int d = -5; d <= 5; ++d) {
      Put(img, c.x + d, c.y - 5, 0, 200, 0);
      Put(img, c.x + d, c.y + 5, 0, 200, 0);
      Put(img, c.x - 5, c.y + d, 0, 200, 0);
      Put(img, c.x + 5, c.y + d, 0, 200, 0);
    }
    Line(img, c.x, c.y, c.angle[0], 18, 0, 200, 0);
  }
  for (const auto& d : f.deltas)
    for (int k = 0; k < 3; ++k) Line(img, d.x, d.y, d.angle[k], 14, 220, 0, 220);
  for (const auto& c : f.doubleCores)
    for (int d = -4; d <= 4; ++d) {
      Put(img, c.x + d, c.y + d, 230, 200, 0);
      Put(img, c.x + d, c.y - d, 230, 200, 0);
    }
}

}  // namespace omx::draw
