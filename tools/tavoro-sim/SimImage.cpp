#include <cmath>

#include "TavoroSim.h"

#ifdef TAVOSIM_FPSYNTH
#include "fpsynth/fpsynth.h"
#endif

namespace tavosim {

std::vector<uint8_t> MakeImage(int width, int height, uint32_t seed) {
  if (width <= 0 || height <= 0) return {};
#ifdef TAVOSIM_FPSYNTH
  fpsynth::Params p;
  p.width = width;
  p.height = height;
  p.fast = true;
  fpsynth::Fingerprint f = fpsynth::Generate(p, seed);
  if (f.pixels.size() == size_t(width) * size_t(height)) return f.pixels;
#endif
  // Concentric ridges around a moving centre: enough of a print for tests.
  std::vector<uint8_t> img(size_t(width) * size_t(height));
  double cx = width * (0.4 + 0.2 * ((seed % 7) / 6.0)), cy = height * 0.45;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double r = std::hypot((x - cx) * 1.1, y - cy);
      double v = 0.5 + 0.5 * std::cos(r * 2 * 3.14159265 / 9.0);
      img[size_t(y) * width + x] = static_cast<uint8_t>(255 - v * 200);
    }
  }
  return img;
}

}  // namespace tavosim
