#include "quality.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace omx {

namespace {

double Ramp(double v, double lo, double hi) { return std::clamp((v - lo) / (hi - lo), 0.0, 1.0); }

// A block counts as clear in proportion to its ridge clarity between these:
// below kClarityLow the grey varies along the ridges as much as across them
// (smudge, broken dry ridges, grain), above kClarityHigh a ridge wave explains
// nearly all of it.
constexpr double kClarityLow = 0.2, kClarityHigh = 0.6;

// How far, in blocks, a straight edge of the print (the picture's edge, white
// where a moved or turned picture has nothing, the end of the pressed area)
// carries into the orientation coherence: the orientation tensors are
// smoothed in three passes over 3 x 3 blocks. Such an edge is one strong
// gradient in one direction, which reads as perfectly regular flow.
constexpr int kEdgeReach = 3;

// Each area block's distance in blocks from the nearest block outside the
// area or the picture (1: on the boundary), counted up to kEdgeReach + 1.
std::vector<int> DepthInArea(const QualityInput& in) {
  const int bw = in.blocksWide, bh = in.blocksHigh;
  std::vector<int> depth(static_cast<size_t>(bw) * bh, 0);
  for (size_t b = 0; b < depth.size(); ++b) depth[b] = in.area[b] ? 1 : 0;
  // Peeling rings: a block one deeper than the last ring has its eight
  // neighbours all in it.
  for (int d = 1; d <= kEdgeReach; ++d)
    for (int by = 1; by + 1 < bh; ++by)
      for (int bx = 1; bx + 1 < bw; ++bx) {
        const size_t b = static_cast<size_t>(by) * bw + bx;
        if (depth[b] != d) continue;
        bool inside = true;
        for (int dy = -1; dy <= 1 && inside; ++dy)
          for (int dx = -1; dx <= 1 && inside; ++dx) inside = depth[b + static_cast<std::ptrdiff_t>(dy) * bw + dx] >= d;
        if (inside) depth[b] = d + 1;
      }
  return depth;
}

}  // namespace

QualityMeasures MeasureQuality(const QualityInput& in) {
  QualityMeasures m;
  const int bs = in.blockSize;
  const double pxPerMm = in.resolution / 25.4, blockMm2 = bs * bs / (pxPerMm * pxPerMm);
  double greySum = 0;
  for (size_t i = 0, n = static_cast<size_t>(in.width) * in.height; i < n; ++i) greySum += in.grey[i];
  m.pictureGrey = in.width > 0 && in.height > 0 ? greySum / (static_cast<double>(in.width) * in.height) : 255;
  m.printGrey = 255;

  int blocks = 0, rim = 0, rimArea = 0;
  double cx = 0, cy = 0, clar = 0, coh = 0, clear = 0, printGrey = 0, poor = 0, poorGrey = 0;
  long hist[256] = {};
  long pixels = 0;
  std::vector<float> spreads;
  for (int by = 0; by < in.blocksHigh; ++by)
    for (int bx = 0; bx < in.blocksWide; ++bx) {
      const size_t b = static_cast<size_t>(by) * in.blocksWide + bx;
      const bool onRim = bx == 0 || by == 0 || bx == in.blocksWide - 1 || by == in.blocksHigh - 1;
      rim += onRim;
      if (!in.area[b]) continue;
      rimArea += onRim;
      ++blocks;
      // The block's pixels, cut at the picture's edge.
      const int x0 = bx * bs, y0 = by * bs, x1 = std::min(in.width, x0 + bs), y1 = std::min(in.height, y0 + bs);
      double g = 0;
      for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
          const float v = in.grey[static_cast<size_t>(y) * in.width + x];
          g += v;
          ++hist[std::clamp(static_cast<int>(v), 0, 255)];
        }
      pixels += (x1 - x0) * (y1 - y0);
      g /= std::max(1, (x1 - x0) * (y1 - y0));
      printGrey += g;
      cx += (x0 + x1) / 2.0;
      cy += (y0 + y1) / 2.0;
      clar += in.clarity[b];
      coh += in.coherence[b];
      const double c = Ramp(in.clarity[b], kClarityLow, kClarityHigh);
      clear += c;
      poor += 1 - c;
      poorGrey += (1 - c) * g;
      spreads.push_back(in.spread[b]);
    }
  // Coherence near the area's edges: no more than the inner blocks have on
  // average, so that where the picture's edge or a fill falls does not move
  // the score (poor flow near the edges still counts).
  {
    const std::vector<int> depth = DepthInArea(in);
    const int deepest = depth.empty() ? 0 : *std::max_element(depth.begin(), depth.end());
    const int innerDepth = std::min(deepest, kEdgeReach + 1);
    double innerSum = 0;
    int inner = 0;
    for (size_t b = 0; b < depth.size(); ++b)
      if (depth[b] > 0 && depth[b] >= innerDepth) innerSum += in.coherence[b], ++inner;
    if (inner > 0) {
      const double innerMean = innerSum / inner;
      coh = 0;
      for (size_t b = 0; b < depth.size(); ++b)
        if (depth[b] > 0) coh += depth[b] >= innerDepth ? in.coherence[b] : std::min<double>(in.coherence[b], innerMean);
    }
  }
  const int allBlocks = in.blocksWide * in.blocksHigh;
  m.areaMm2 = blocks * blockMm2;
  m.areaShare = allBlocks ? static_cast<double>(blocks) / allBlocks : 0;
  m.edgeShare = rim ? static_cast<double>(rimArea) / rim : 0;
  if (!blocks) return m;
  m.clarity = clar / blocks;
  m.coherence = coh / blocks;
  m.clearAreaMm2 = clear * blockMm2;
  m.printGrey = printGrey / blocks;
  m.poorShare = poor / blocks;
  m.poorGrey = poor > 0 ? poorGrey / poor : m.printGrey;
  auto percentile = [&](double share) {
    long seen = 0;
    for (int v = 0; v < 256; ++v)
      if ((seen += hist[v]) >= share * pixels) return static_cast<double>(v);
    return 255.0;
  };
  m.ridgeGrey = percentile(0.1);
  m.valleyGrey = percentile(0.9);
  std::nth_element(spreads.begin(), spreads.begin() + spreads.size() / 2, spreads.end());
  m.contrast = spreads[spreads.size() / 2];
  const double dx = (cx / blocks - in.width / 2.0) / (in.width / 2.0), dy = (cy / blocks - in.height / 2.0) / (in.height / 2.0);
  m.offCentre = std::min(1.0, std::hypot(dx, dy));
  return m;
}

namespace {

// The score's parts. Matching needs enough print whose ridges are clear:
// the clear area, against what a well-placed plain impression gives, counts
// most; the mean orientation coherence adds how regular the ridge flow is.
// The outer power spreads the scale without changing the order of pictures.
// (tools/real-eval/quality_loso.py tries other values with one set left out.)
constexpr double kFullClearMm2 = 120;  // a well-placed plain impression at 500 ppi
constexpr double kFlowWeight = 0.8, kSpread = 0.6;

// Advice thresholds, in the picture's own grey levels (0 black ridges, 255
// white). Sensors differ in how dark a good print is, so the advice on light
// and dark looks at the extremes: ridges that are barely darker than paper,
// valleys that are nearly as dark as ridges.
constexpr double kFaintRidge = 185;   // ridge grey (tenth darkest pixels) above this: too light
constexpr double kFilledValley = 160; // valley grey (tenth lightest pixels) below this: too dark
constexpr double kDarkPicture = 80;   // mean grey of a picture without print that counts as dark
constexpr double kFewMm2 = 80;        // print area
constexpr double kOffCentre = 0.35;   // centroid from the centre, in half sides
constexpr double kPoorShare = 0.12;   // share of the area whose ridges are unclear
constexpr int kUnclearScore = 75;     // ... in a picture that scores below this

}  // namespace

QualityResult AssessQuality(const QualityMeasures& m) {
  QualityResult r;
  r.measures = m;
  const double area = std::min(1.0, m.clearAreaMm2 / kFullClearMm2);
  const double flow = std::clamp(m.coherence, 0.0, 1.0);
  r.score = static_cast<int>(std::lround(100 * std::pow(area * std::pow(flow, kFlowWeight), kSpread)));
  r.score = std::clamp(r.score, 0, 100);

  // Each piece of advice with how strongly the measures call for it (0 none).
  double need[kQualityHints] = {};
  auto& light = need[static_cast<int>(QualityHint::TooLight)];
  auto& dark = need[static_cast<int>(QualityHint::TooDark)];
  auto& little = need[static_cast<int>(QualityHint::TooLittleFinger)];
  auto& off = need[static_cast<int>(QualityHint::OffCentre)];
  auto& smudged = need[static_cast<int>(QualityHint::Smudged)];
  auto& dry = need[static_cast<int>(QualityHint::TooDry)];
  if (m.areaMm2 <= 0) {
    // Nothing that looks like print: a dark picture is pressed too hard (or
    // covered), anything else has no finger on it.
    if (m.pictureGrey < kDarkPicture) dark = 1;
    else little = 1;
  } else {
    if (m.valleyGrey < kFilledValley) dark = 0.2 + (kFilledValley - m.valleyGrey) / kFilledValley;
    if (m.ridgeGrey > kFaintRidge) light = 0.2 + (m.ridgeGrey - kFaintRidge) / (255 - kFaintRidge);
    if (m.areaMm2 < kFewMm2) little = 0.5 + 0.5 * (kFewMm2 - m.areaMm2) / kFewMm2;
    // Off centre: the print's middle far from the picture's, and the print
    // not filling it (a print that fills the picture cannot be moved).
    if (m.offCentre > kOffCentre && m.areaShare < 0.8) off = 0.3 + (m.offCentre - kOffCentre);
    // Unclear ridges: smudged where those parts are darker than the print as
    // a whole (valleys filled), dry where they are lighter (ridges broken).
    if (m.poorShare > kPoorShare && r.score < kUnclearScore) {
      const double s = 0.2 + (m.poorShare - kPoorShare);
      if (m.poorGrey < m.printGrey) smudged = s;
      else dry = s;
    }
  }
  for (int k = 0; k < kQualityHints; ++k)
    if (need[k] > 0) r.hints.push_back(static_cast<QualityHint>(k));
  std::stable_sort(r.hints.begin(), r.hints.end(),
                   [&](QualityHint a, QualityHint b) { return need[static_cast<int>(a)] > need[static_cast<int>(b)]; });
  return r;
}

}  // namespace omx
