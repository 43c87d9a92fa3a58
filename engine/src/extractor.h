// Minutiae, cores and deltas of one grey fingerprint picture.
#pragma once

#include <cstdint>
#include <vector>

#include "config.h"
#include "quality.h"

namespace omx {

constexpr int kMaxSide = 2048;  // X and Y have 11 bits in the record

// What the extractor measured where a minutia lies, each 0-1 (1 best); its
// confidence is made of them (MinutiaConfidence).
struct MinutiaMeasures {
  double coherence = 0;  // orientation coherence of its block
  double clarity = 0;    // ridge clarity of its block (smoothed over its neighbours)
  double contrast = 0;   // local grey spread against the print's brightest tenth
  double border = 0;     // blocks to the area's edge, over kBorderBlocks
  double spacing = 0;    // distance to the nearest other minutia, over kSpacingPeriods ridge periods
};

struct Minutia {
  int x = 0, y = 0;
  double angle = 0;  // radians, counter-clockwise from +x as the picture is seen
  int type = 0;      // 0 ridge ending, 1 bifurcation
  int quality = 0;   // 0-100: the confidence that the minutia is real and will match
  int curvature = 0; // 0-255
  int period10 = 0;  // local ridge period, tenths of a pixel, 0-255
  MinutiaMeasures measures;
};

// The confidence 0-100 of a minutia measured so: a weighted geometric mean of
// its measures (weights in the definition; tools/real-eval/minutia_quality_loso.py
// chooses them with one set of real prints left out).
int MinutiaConfidence(const MinutiaMeasures& m);

struct SingularPoint {
  int x = 0, y = 0;
  double angle[3] = {0, 0, 0};  // cores use the first; deltas all three
};

struct Features {
  int width = 0, height = 0;
  std::vector<Minutia> minutiae;
  std::vector<SingularPoint> cores, deltas, doubleCores;
  int foregroundBlocks = 0;
  int blockSize = 8;
  double meanPeriod = 0;
  int imageQuality = 0;  // 0-100, how well the print can be expected to match (quality.h)
  std::vector<QualityHint> qualityHints;  // advice, most important first
  QualityMeasures qualityMeasures;
};

// Fills features; false only for arguments that cannot be used (no pixels, an
// empty picture, a side above kMaxSide). work, when given, receives width x
// height values: the enhanced picture, or the ridge skeleton (0 or 0xFFFF)
// when skeleton is set.
bool Extract(const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t resolution,
             const TOmExtractorConfiguration& cfg, bool skeleton, uint16_t* work, Features& out);

}  // namespace omx
