// How usable a fingerprint picture is: a score 0-100 that predicts how well
// the print will match, and advice a person can act on when it is poor.
#pragma once

#include <cstdint>
#include <vector>

namespace omx {

// Advice codes, as written into the record (1-based there; 0 ends the list).
enum class QualityHint : uint8_t { TooLight = 0, TooDark = 1, TooLittleFinger = 2, OffCentre = 3, Smudged = 4, TooDry = 5 };
constexpr int kQualityHints = 6;

// What the extractor measured, per 8x8 block unless stated.
struct QualityInput {
  int width = 0, height = 0;          // picture, pixels
  int blocksWide = 0, blocksHigh = 0;
  int blockSize = 8;
  double resolution = 500;            // pixels per inch
  const float* grey = nullptr;        // lightly smoothed picture, width x height, 0 black .. 255 white
  const uint8_t* area = nullptr;      // non-zero: fingerprint area
  const float* coherence = nullptr;   // orientation coherence 0-1
  const float* clarity = nullptr;     // share of the grey variance a ridge wave explains, 0-1
  const float* spread = nullptr;      // local grey spread (standard deviation) at the block's centre
};

// The picture's summary measures, from which score and advice are derived.
struct QualityMeasures {
  double areaMm2 = 0;        // fingerprint area
  double areaShare = 0;      // of the picture
  double clarity = 0;        // mean over the area
  double coherence = 0;      // mean over the area
  double clearAreaMm2 = 0;   // area weighted by how clear its ridges are
  double printGrey = 0;      // mean grey of the area (255 when there is none)
  double ridgeGrey = 255;    // grey that a tenth of the area's pixels are darker than: the ridges
  double valleyGrey = 255;   // grey that a tenth of them are lighter than: the valleys
  double pictureGrey = 0;    // mean grey of the whole picture
  double contrast = 0;       // median local spread over the area, grey levels
  double offCentre = 0;      // centroid's distance from the centre, in half the picture's sides (0-1)
  double edgeShare = 0;      // share of the picture's rim blocks that belong to the area
  double poorShare = 0;      // share of the area whose ridges are unclear
  double poorGrey = 0;       // mean grey of those unclear blocks
};

struct QualityResult {
  int score = 0;                    // 0-100
  std::vector<QualityHint> hints;   // most important first
  QualityMeasures measures;
};

QualityMeasures MeasureQuality(const QualityInput& in);
QualityResult AssessQuality(const QualityMeasures& m);

}  // namespace omx
