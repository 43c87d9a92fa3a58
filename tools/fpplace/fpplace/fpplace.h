// Fingerprints whose minutiae are placed, not found.
//
// A finger is a ridge phase Psi over a canvas: a smooth part that follows an
// orientation model (cores and deltas at chosen points) with a chosen ridge
// period, plus one spiral term s * arg(z - p) for every minutia. Around each
// spiral point the number of ridges on one side is one more than on the other:
// a ridge (or a valley) starts there. Which of the two, and so whether the
// point is a ridge ending or a bifurcation, is set by the phase at the point;
// the generator moves each point across the ridges (less than half a period)
// until that phase says the type it drew. Truth positions, directions and
// types are therefore what was put into the picture, computed from the phase
// itself: no detector looks at the picture.
//
// Cores and deltas have half-turn orientation, which no single-valued phase
// can follow: the smooth part is solved (least squares, on a grid) on the
// two-sheeted surface over the canvas, with the phase changing sign across a
// cut from each core to its delta; cos(Psi) is the same on both sheets, so the
// ridges are continuous across the cuts.
//
// An impression maps the finger into a picture: rotation, translation, an
// elastic (non-linear) distortion, a partial contact area and window, and a
// rendering of given quality (dry, wet, noisy). The truth goes through the
// same map.
//
// FROZEN: a matcher is tuned and measured on what version 1 writes. Any change
// that alters the output for a given seed (pictures, truth, templates, the
// choice of parameters) must raise kVersion and say so in
// docs/engine-evaluation.md; the test FpPlace.VersionOneOutputIsFrozen pins
// version 1.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fpplace {

constexpr int kVersion = 1;

// Finger canvas (finger coordinates: pixels at about 500 ppi, y down).
constexpr int kCanvasWidth = 320;
constexpr int kCanvasHeight = 440;

enum class Pattern { Arch, TentedArch, LeftLoop, RightLoop, Whorl };
// Clean: black ridges on white, no texture or noise (for checks, not in data sets).
enum class Quality { Good, Dry, Wet, Poor, Clean };

const char* Name(Pattern p);
const char* Name(Quality q);

// A minutia in picture (or finger) pixels: x to the right, y down, both
// continuous (pixel centres at integers). angle: radians, counter-clockwise
// from +x as the picture is seen (so pi/2 points to the top row). A ridge
// ending points along its ridge, away from the end; a bifurcation points into
// the valley between its branches, away from the stem.
struct Minutia {
  double x = 0, y = 0;
  double angle = 0;
  int type = 0;  // 0 ridge ending, 1 bifurcation
  int id = 0;    // index among the finger's placed minutiae, the same in every impression
};

// The engine's angle unit: 256 steps per full turn, counter-clockwise.
int AngleUnits(double radians);

struct Point {
  double x = 0, y = 0;
};

class Finger {
 public:
  // Everything about one finger follows from its seed. withPhase = false
  // skips the ridge phase (templates without pictures): positions stay as
  // placed (before the per-type adjustment), directions come from the
  // orientation model and types are as drawn.
  static Finger Make(uint64_t seed, bool withPhase = true);

  uint64_t seed = 0;
  Pattern pattern = Pattern::Arch;
  double period = 9;             // mean ridge period, pixels
  double centreX = 0, centreY = 0;
  double radiusX = 0, radiusY = 0;  // finger area: an ellipse with a slightly wavy rim
  std::vector<Point> cores, deltas;
  std::vector<Minutia> minutiae;  // finger coordinates
  bool hasPhase = false;

  // Ridge signal at a finger point: cos(Psi), 1 on a ridge's centre line, -1
  // in a valley's (needs the phase).
  double Ridge(double x, double y) const;
  // The same from the canvas sampled once at every pixel (bilinear), as the
  // renderer uses it.
  double RidgeFast(double x, double y) const;
  // Ridge phase with the spiral of minutia k left out: smooth around that
  // minutia (needs the phase).
  double RegularPhase(size_t k, double x, double y) const;
  // Orientation model: ridge direction (radians, seen, modulo pi) and period.
  double Orientation(double x, double y) const;
  double PeriodAt(double x, double y) const;
  // Pixels inside the finger area's rim (negative outside).
  double Depth(double x, double y) const;
  // Spiral sign of each minutia (+1 or -1), for checks.
  const std::vector<int>& Signs() const { return sign_; }

 private:
  struct Pair {
    double cx, cy, dx, dy;  // core and delta joined by a cut
  };
  struct Grid {
    int nx = 0, ny = 0;
    double step = 1;
    std::vector<double> phi;   // smooth phase part, on each node's principal sheet
    std::vector<double> sheet; // node's sheet as an angle (principal arg of the cover function)
    std::vector<double> v;     // spiral part at the node
  };

  void Place(uint64_t seed);
  void SolvePhase();
  void Solve(Grid& g, const Grid* coarse, int iterations) const;
  void BuildRidgeCanvas();
  double SheetAngle(double x, double y) const;  // arg of the cover function (0 without cores)
  double ModelTheta(double x, double y) const;  // ridge direction on the principal sheet
  double Spirals(double x, double y, int skip) const;
  double ArgOf(size_t k, double x, double y) const;  // seen angle from minutia k, with its branch
  double SmoothPart(const Grid& g, double x, double y) const;
  double Psi(double x, double y) const;

  // Orientation model.
  double theta0_ = 0;
  double archX_ = 0, archY_ = 0, archW_ = 1, archH_ = 1, archK_ = 1;
  std::vector<Pair> pairs_;
  struct Wave {
    double kx, ky, ph, amp;
  };
  std::vector<Wave> bend_, periodWaves_, rimWaves_;
  // Spirals.
  std::vector<int> sign_;
  std::vector<double> branch_;  // arg of minutia k is continuous except along the ray at branch_ + pi
  std::vector<int> wantType_;
  Grid grid_;
  std::vector<float> ridge_;  // cos(Psi) at every canvas pixel
};

// One impression: how the finger is laid on the sensor and rendered.
struct ImpressionParams {
  uint64_t seed = 0;          // textures and noise
  double rotation = 0;        // radians, counter-clockwise as seen
  double shiftX = 0, shiftY = 0;  // finger centre relative to the picture centre, pixels
  // Elastic distortion (finger coordinates): around the contact centre the skin
  // stays; farther out it is turned by elasticAngle and moved by elasticShift,
  // blending over elasticSigma pixels; plus a gentle wave of waveAmp pixels.
  double contactX = 0, contactY = 0;
  double elasticAngle = 0, elasticShiftX = 0, elasticShiftY = 0, elasticSigma = 60;
  double waveAmp = 0, waveKx = 0, waveKy = 0, wavePhase = 0;
  // Contact area: an ellipse about the contact centre, the finger's radii
  // times these, cut by the finger area.
  double contactScaleX = 1, contactScaleY = 1;
  Quality quality = Quality::Good;
  double bias = 0;         // ink threshold on cos(Psi): > 0 thinner ridges (dry), < 0 thicker (wet)
  double pressure = 0;     // amplitude of slow changes of that threshold
  double breakup = 0;      // dry: share of ridge broken into pieces, 0-1
  double smudge = 0;       // wet: strength of ink filling the valleys in patches, 0-1
  double contrast = 200;   // grey levels from background to a full ridge
  double background = 245;
  double blur = 0;         // Gaussian blur, pixels (sigma)
  double noise = 0;        // sensor noise, grey levels (sigma)
};

// Draws an impression's parameters. Quality::Clean gives the clean rendering.
ImpressionParams DrawImpression(const Finger& f, uint64_t seed, Quality q);

struct Impression {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;    // top row first, 0 black, 255 white
  std::vector<uint8_t> area;      // 1 where the finger touches, inside the picture
  std::vector<Minutia> minutiae;  // truth: placed minutiae that land in the area
  std::vector<Point> cores, deltas;  // those of the model that land in the area
  ImpressionParams params;
};

// Where a finger point lands in the picture, and back.
struct Mapping {
  Mapping(const Finger& f, const ImpressionParams& p, int width, int height);
  Point Forward(double fx, double fy) const;
  Point Inverse(double x, double y) const;  // exact (iterated), for checks
  double ForwardAngle(double fx, double fy, double angle) const;
  // Contact weight at a finger point: 1 well inside, 0 outside, a ramp over the rim.
  double Contact(double fx, double fy) const;

  const Finger& finger;
  const ImpressionParams& params;
  int width, height;

 private:
  Point Displace(double fx, double fy) const;  // finger point plus its elastic displacement
};

// Truth only: the minutiae, cores and deltas that land in the area (no picture).
Impression Place(const Finger& f, const ImpressionParams& p, int width, int height);
// Picture and truth.
Impression Render(const Finger& f, const ImpressionParams& p, int width, int height);

// ---- data sets ----

struct QualityMix {
  double good = 4, dry = 2, wet = 2, poor = 2;  // weights
};
// "good:4,dry:2,wet:2,poor:2" (any subset, weights >= 0, not all 0). False with a reason otherwise.
bool ParseMix(const std::string& text, QualityMix& mix, std::string& why);
std::string FormatMix(const QualityMix& mix);

struct SetOptions {
  uint64_t seed = 1;
  int fingers = 200;
  int impressions = 8;
  int width = 388, height = 374;
  QualityMix mix;
};

// Seeds of a finger and of an impression: finger k of a set does not depend on
// how many fingers the set has, nor impression j on how many impressions.
uint64_t FingerSeed(uint64_t setSeed, int finger);
uint64_t ImpressionSeed(uint64_t setSeed, int finger, int impression);
Quality DrawQuality(const QualityMix& mix, uint64_t impressionSeed);

// Impression j of finger k of a set (the finger made by the caller, once per finger).
Impression MakeImpression(const SetOptions& o, const Finger& f, int finger, int impression, bool render = true);

// 8-bit grey BMP (grey palette, rows bottom-up), as the project reads and writes them.
std::vector<uint8_t> EncodeBmp(int width, int height, const std::vector<uint8_t>& pixels);
// Truth file text (format in docs/engine-evaluation.md).
std::string FormatTruth(const SetOptions& o, const Finger& f, int finger, int impression, const Impression& imp);
// Reads the minutiae of a truth file: '#' lines (the size among them), then
// "x y angle type" per line, angle in degrees. False with a reason for a
// malformed line.
bool ParseTruth(const std::string& text, std::vector<Minutia>& out, int& width, int& height, std::string& why);

}  // namespace fpplace
