// Picture transforms shared by the engine's evaluation and benchmark programs.
#pragma once
#include <cmath>
#include <cstdint>
#include <vector>

#include "bmp.h"

namespace omx::eval {

// Moves the picture by (dx, dy) and turns it by angle about its centre; white where nothing maps.
inline omx::bmp::Grey Transform(const omx::bmp::Grey& g, double dx, double dy, double angle) {
  omx::bmp::Grey o{g.width, g.height, std::vector<uint8_t>(g.pixels.size(), 255)};
  double cx = g.width / 2.0, cy = g.height / 2.0, c = std::cos(angle), s = std::sin(angle);
  for (int y = 0; y < g.height; ++y)
    for (int x = 0; x < g.width; ++x) {
      // Inverse map: seen rotation by angle is (x, -y) rotation, i.e. picture rows turn by -angle.
      double u = x - cx - dx, v = y - cy - dy;
      double sx = c * u - s * v + cx, sy = s * u + c * v + cy;
      int x0 = static_cast<int>(std::floor(sx)), y0 = static_cast<int>(std::floor(sy));
      if (x0 < 0 || y0 < 0 || x0 + 1 >= g.width || y0 + 1 >= g.height) continue;
      double ax = sx - x0, ay = sy - y0;
      auto at = [&](int xx, int yy) { return g.pixels[static_cast<size_t>(yy) * g.width + xx]; };
      double val = (1 - ay) * ((1 - ax) * at(x0, y0) + ax * at(x0 + 1, y0)) + ay * ((1 - ax) * at(x0, y0 + 1) + ax * at(x0 + 1, y0 + 1));
      o.pixels[static_cast<size_t>(y) * g.width + x] = static_cast<uint8_t>(std::lround(val));
    }
  return o;
}

}  // namespace omx::eval
