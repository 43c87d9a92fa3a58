// Synthetic fingerprints with ground truth, for simulators, tests and evaluation.
//
// A print is grown from noise with oriented filters that follow an orientation
// field (cores and deltas placed with a zero-pole model) and a smoothly varying
// ridge period. The minutiae of that clean master pattern are the truth; the
// returned picture is the master rendered with the chosen quality (pressure
// changes, blur, noise, contrast).
#pragma once

#include <cstdint>
#include <vector>

namespace fpsynth {

enum class Pattern { Random, Arch, TentedArch, LeftLoop, RightLoop, Whorl };
enum class MinutiaType { Ending = 0, Bifurcation = 1 };

struct Params {
  int width = 300;
  int height = 400;
  double ridgePeriod = 9.0;  // pixels between ridge centres (about 500 dpi)
  double quality = 0.8;      // 1 clean and sharp ... 0 noisy, blurred, broken
  Pattern pattern = Pattern::Random;
  bool fast = false;         // fewer growth steps: coarser pattern, several times quicker
  bool render = true;        // false: the picture is the clean master itself
};

// Angles in radians, counter-clockwise from +x as the image is seen (y down in
// pixel rows, so an angle of pi/2 points to the top row). A ridge ending points
// along its ridge into the ridge; a bifurcation points into the valley between
// its two branches.
struct Minutia {
  int x = 0, y = 0;
  double angle = 0;
  MinutiaType type = MinutiaType::Ending;
};

struct SingularPoint {
  double x = 0, y = 0;
};

struct Fingerprint {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;   // height rows of width bytes, top row first, 0 black ridges, 255 white
  std::vector<uint8_t> mask;     // 1 inside the finger area
  std::vector<Minutia> minutiae; // truth, only where the area is solid (not at its rim)
  std::vector<SingularPoint> cores, deltas;
  double meanPeriod = 0;
};

Fingerprint Generate(const Params& params, uint32_t seed);

// The truth finder, exposed for tests: minutiae of a binary ridge picture
// (non-zero = ridge) restricted to pixels where mask is non-zero (empty mask = all).
std::vector<Minutia> FindMinutiae(const std::vector<uint8_t>& ridges, int width, int height,
                                  const std::vector<uint8_t>& mask, int border);

}  // namespace fpsynth
