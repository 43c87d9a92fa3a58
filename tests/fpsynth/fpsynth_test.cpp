#include "fpsynth/fpsynth.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

double AngleGap(double a, double b) {
  double d = std::fmod(std::fabs(a - b), 2 * kPi);
  return d > kPi ? 2 * kPi - d : d;
}

TEST(FpSynth, SameSeedSamePrintOtherSeedOtherPrint) {
  fpsynth::Params p;
  p.width = 160;
  p.height = 200;
  p.fast = true;
  auto a = fpsynth::Generate(p, 7), b = fpsynth::Generate(p, 7), c = fpsynth::Generate(p, 8);
  ASSERT_EQ(a.pixels.size(), 160u * 200u);
  EXPECT_EQ(a.pixels, b.pixels);
  EXPECT_EQ(a.minutiae.size(), b.minutiae.size());
  EXPECT_NE(a.pixels, c.pixels);
}

TEST(FpSynth, PrintHasRidgesInsideAndBackgroundOutsideAndTruthInside) {
  fpsynth::Params p;
  p.quality = 1.0;
  p.pattern = fpsynth::Pattern::LeftLoop;
  auto fp = fpsynth::Generate(p, 3);
  ASSERT_EQ(fp.width, 300);
  ASSERT_EQ(fp.height, 400);
  // Corners are background (light), the centre holds dark ridges and light valleys.
  EXPECT_GT(fp.pixels[0], 180);
  EXPECT_GT(fp.pixels[fp.pixels.size() - 1], 180);
  int dark = 0, light = 0;
  for (int y = 180; y < 220; ++y)
    for (int x = 130; x < 170; ++x) (fp.pixels[y * 300 + x] < 100 ? dark : light) += fp.pixels[y * 300 + x] > 160 || fp.pixels[y * 300 + x] < 100;
  EXPECT_GT(dark, 300);
  EXPECT_GT(light, 300);
  EXPECT_GT(fp.minutiae.size(), 15u);
  EXPECT_LT(fp.minutiae.size(), 200u);
  for (const auto& m : fp.minutiae) EXPECT_TRUE(fp.mask[m.y * 300 + m.x]) << m.x << "," << m.y;
  EXPECT_EQ(fp.cores.size(), 1u);
  EXPECT_EQ(fp.deltas.size(), 1u);
  EXPECT_NEAR(fp.meanPeriod, 9.0, 1.0);
}

TEST(FpSynth, PatternsCarryTheirSingularPoints) {
  fpsynth::Params p;
  p.fast = true;
  p.pattern = fpsynth::Pattern::Whorl;
  auto whorl = fpsynth::Generate(p, 1);
  EXPECT_EQ(whorl.cores.size(), 2u);
  EXPECT_EQ(whorl.deltas.size(), 2u);
  p.pattern = fpsynth::Pattern::Arch;
  auto arch = fpsynth::Generate(p, 1);
  EXPECT_TRUE(arch.cores.empty());
  EXPECT_TRUE(arch.deltas.empty());
}

TEST(FpSynth, TruthFinderEndingAndBifurcationDirections) {
  // A horizontal bar from x=10 to x=40 on row 20, and a fork: a stem from the
  // left joining two branches going to the right.
  const int w = 80, h = 60;
  std::vector<uint8_t> img(w * h, 0);
  for (int x = 10; x <= 40; ++x) img[20 * w + x] = 1;
  for (int x = 10; x <= 40; ++x) img[45 * w + x] = 1;  // stem, ends at x=40
  for (int k = 0; k <= 20; ++k) {
    img[(45 - k) * w + 40 + k] = 1;  // branch up-right
    img[(45 + (k < 12 ? k : 12)) * w + 40 + k] = 1;  // branch down-right, flattening
  }
  auto ms = fpsynth::FindMinutiae(img, w, h, {}, 2);
  int endings = 0, forks = 0;
  for (const auto& m : ms) {
    if (m.type == fpsynth::MinutiaType::Ending && m.y == 20 && m.x == 10) {
      ++endings;
      EXPECT_LT(AngleGap(m.angle, 0), 0.3);  // points into the bar, to the right
    } else if (m.type == fpsynth::MinutiaType::Ending && m.y == 20 && m.x == 40) {
      ++endings;
      EXPECT_LT(AngleGap(m.angle, kPi), 0.3);
    } else if (m.type == fpsynth::MinutiaType::Bifurcation) {
      ++forks;
      EXPECT_NEAR(m.x, 40, 2);
      EXPECT_NEAR(m.y, 45, 2);
      EXPECT_LT(AngleGap(m.angle, 0), 0.5);  // opens to the right
    }
  }
  EXPECT_EQ(endings, 2);
  EXPECT_EQ(forks, 1);
}

TEST(FpSynth, TruthFinderToleratesDegenerateInput) {
  EXPECT_TRUE(fpsynth::FindMinutiae({}, 0, 0, {}, 0).empty());
  EXPECT_TRUE(fpsynth::FindMinutiae(std::vector<uint8_t>(4, 1), 2, 2, {}, 0).empty());
  EXPECT_TRUE(fpsynth::FindMinutiae(std::vector<uint8_t>(9, 1), 3, 3, {}, 0).empty());
  EXPECT_TRUE(fpsynth::FindMinutiae(std::vector<uint8_t>(5, 1), 3, 3, {}, 0).empty());  // short buffer
}

}  // namespace
