#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>

#include "bmp.h"
#include "config.h"
#include "extractor.h"
#include "fpsynth/fpsynth.h"
#include "nfrecord.h"
#include "quality.h"
#include "transform.h"

namespace {

using omx::QualityHint;

constexpr int kW = 384, kH = 376;

omx::Features Extracted(const std::vector<uint8_t>& px, int w = kW, int h = kH) {
  omx::Features f;
  EXPECT_TRUE(omx::Extract(px.data(), static_cast<uint32_t>(w), static_cast<uint32_t>(h), 500, omx::DefaultConfig(), false, nullptr, f));
  return f;
}

// Growing a print costs more than extracting it: each is made once.
const std::vector<uint8_t>& Print(uint32_t seed, double quality = 0.9) {
  static std::map<std::pair<uint32_t, double>, std::vector<uint8_t>> made;
  auto& px = made[{seed, quality}];
  if (px.empty()) {
    fpsynth::Params p;
    p.width = kW;
    p.height = kH;
    p.pattern = fpsynth::Pattern::Random;
    p.quality = quality;
    px = fpsynth::Generate(p, seed).pixels;
  }
  return px;
}

// Every grey value through f.
template <class F>
std::vector<uint8_t> Mapped(std::vector<uint8_t> px, F f) {
  for (auto& v : px) v = static_cast<uint8_t>(std::clamp(static_cast<int>(std::lround(f(v))), 0, 255));
  return px;
}

QualityHint First(const omx::Features& f) {
  EXPECT_FALSE(f.qualityHints.empty());
  return f.qualityHints.empty() ? QualityHint::TooLight : f.qualityHints.front();
}

bool Has(const omx::Features& f, QualityHint h) {
  return std::find(f.qualityHints.begin(), f.qualityHints.end(), h) != f.qualityHints.end();
}

TEST(Quality, AClearWholePrintScoresHighWithoutAdvice) {
  for (uint32_t seed : {3u, 8u}) {
    auto f = Extracted(Print(seed));
    EXPECT_GE(f.imageQuality, 70) << seed;
    EXPECT_TRUE(f.qualityHints.empty()) << seed << ": first hint " << static_cast<int>(f.qualityHints.front());
  }
}

TEST(Quality, PicturesWithoutPrintScoreNothingAndSayWhy) {
  auto blank = Extracted(std::vector<uint8_t>(kW * kH, 255));
  EXPECT_EQ(blank.imageQuality, 0);
  EXPECT_EQ(First(blank), QualityHint::TooLittleFinger);
  // Uniform grey with faint sensor noise: still no finger.
  std::mt19937 rng(5);
  std::vector<uint8_t> noise(kW * kH);
  for (auto& v : noise) v = static_cast<uint8_t>(200 + rng() % 5);
  auto grey = Extracted(noise);
  EXPECT_LE(grey.imageQuality, 5);
  EXPECT_EQ(First(grey), QualityHint::TooLittleFinger);
  auto black = Extracted(std::vector<uint8_t>(kW * kH, 10));
  EXPECT_EQ(black.imageQuality, 0);
  EXPECT_EQ(First(black), QualityHint::TooDark);
  // Too small a picture to hold a ridge pattern at all.
  omx::Features tiny;
  std::vector<uint8_t> px(16 * 16, 128);
  ASSERT_TRUE(omx::Extract(px.data(), 16, 16, 500, omx::DefaultConfig(), false, nullptr, tiny));
  EXPECT_EQ(tiny.imageQuality, 0);
  EXPECT_EQ(First(tiny), QualityHint::TooLittleFinger);
}

TEST(Quality, PartOfAFingerInACornerScoresLowerAndSaysSo) {
  const auto& full = Print(8);
  // Only the top-left corner holds print, the rest is white: about 75 mm2.
  std::vector<uint8_t> corner(full.size(), 255);
  for (int y = 0; y < 170; ++y)
    for (int x = 0; x < 170; ++x) corner[static_cast<size_t>(y) * kW + x] = full[static_cast<size_t>(y) * kW + x];
  auto whole = Extracted(full);
  auto part = Extracted(corner);
  EXPECT_LT(part.imageQuality, whole.imageQuality - 20);
  EXPECT_TRUE(Has(part, QualityHint::TooLittleFinger));
  EXPECT_TRUE(Has(part, QualityHint::OffCentre));
  EXPECT_FALSE(Has(part, QualityHint::TooDark));
  // Half the picture (more than a small finger gives): off centre only.
  std::vector<uint8_t> half(full.size(), 255);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW / 2; ++x) half[static_cast<size_t>(y) * kW + x] = full[static_cast<size_t>(y) * kW + x];
  auto side = Extracted(half);
  EXPECT_EQ(First(side), QualityHint::OffCentre);
  EXPECT_FALSE(Has(side, QualityHint::TooLittleFinger));
}

TEST(Quality, VeryLightAndVeryDarkPrintsAreToldApart) {
  const auto& px = Print(8);
  // Ridges barely darker than the paper: a finger that hardly touches.
  auto light = Extracted(Mapped(px, [](double v) { return 255 - (255 - v) * 0.2; }));
  EXPECT_EQ(First(light), QualityHint::TooLight);
  EXPECT_FALSE(Has(light, QualityHint::TooDark));
  // Valleys nearly as dark as the ridges: pressed hard, or wet.
  auto dark = Extracted(Mapped(px, [](double v) { return v * 0.4; }));
  EXPECT_EQ(First(dark), QualityHint::TooDark);
  EXPECT_FALSE(Has(dark, QualityHint::TooLight));
}

TEST(Quality, UnclearPatchesAreSmudgedWhenDarkAndDryWhenLight) {
  const auto& px = Print(3);
  std::mt19937 rng(9);
  // The middle band of the picture loses its ridge wave: dark blots that
  // fill the valleys, or white gaps that break the ridges.
  auto patch = [&](bool wet) {
    std::vector<uint8_t> out = px;
    for (int y = kH / 5; y < kH * 4 / 5; ++y)
      for (int x = 0; x < kW; ++x) {
        uint8_t& v = out[static_cast<size_t>(y) * kW + x];
        const bool blot = ((x / 6) * 7 + (y / 6) * 13) % 3 == 0;
        if (wet) v = static_cast<uint8_t>(blot ? 15 : 60 + v / 4);
        else v = static_cast<uint8_t>(blot || rng() % 4 ? 250 : v);
      }
    return out;
  };
  auto wet = Extracted(patch(true));
  auto dry = Extracted(patch(false));
  auto clean = Extracted(px);
  EXPECT_TRUE(Has(wet, QualityHint::Smudged));
  EXPECT_FALSE(Has(wet, QualityHint::TooDry));
  EXPECT_TRUE(Has(dry, QualityHint::TooDry));
  EXPECT_FALSE(Has(dry, QualityHint::Smudged));
  EXPECT_LT(wet.imageQuality, clean.imageQuality);
  EXPECT_LT(dry.imageQuality, clean.imageQuality);
}

TEST(Quality, MovingOrTurningThePictureKeepsTheScoreWithinFivePoints) {
  const double turn = 10 * 3.14159265358979323846 / 180;
  for (uint32_t seed : {3u, 8u}) {
    for (double q : {0.9, 0.4}) {
      const omx::bmp::Grey g{kW, kH, Print(seed, q)};
      const int base = Extracted(g.pixels).imageQuality;
      for (auto [dx, dy, a] : {std::array<double, 3>{8, 0, 0}, {0, 8, 0}, {-8, -8, 0}, {0, 0, turn}, {0, 0, -turn}}) {
        const int moved = Extracted(omx::eval::Transform(g, dx, dy, a).pixels).imageQuality;
        EXPECT_NEAR(moved, base, 5) << "seed " << seed << " quality " << q << " move " << dx << "," << dy << " turn " << a;
      }
    }
  }
}

// Blocks of a made-up measurement: all area, coherence `inner` but on the
// rim `rim` blocks deep, where it is `edge`.
struct MadeUpBlocks {
  int bw = 30, bh = 28;
  std::vector<uint8_t> area;
  std::vector<float> grey, coherence, clarity, spread;
  MadeUpBlocks(float inner, float edge, int rim) {
    area.assign(static_cast<size_t>(bw) * bh, 1);
    coherence.assign(area.size(), inner);
    clarity.assign(area.size(), 0.7f);
    spread.assign(area.size(), 40);
    grey.assign(static_cast<size_t>(bw) * 8 * bh * 8, 128);
    for (int by = 0; by < bh; ++by)
      for (int bx = 0; bx < bw; ++bx)
        if (std::min({bx, by, bw - 1 - bx, bh - 1 - by}) < rim) coherence[static_cast<size_t>(by) * bw + bx] = edge;
  }
  omx::QualityMeasures Measure() const {
    return omx::MeasureQuality(omx::QualityInput{bw * 8, bh * 8, bw, bh, 8, 500, grey.data(), area.data(), coherence.data(),
                                                 clarity.data(), spread.data()});
  }
};

TEST(Quality, AStraightEdgeOfThePrintDoesNotPassForRegularFlow) {
  // An edge where the print meets white (the picture's edge, the fill of a
  // moved picture) is one strong gradient: near-perfect coherence that says
  // nothing of the ridges. Two rings of it leave the mean where the inner
  // blocks put it; poor flow along the edges still lowers it.
  EXPECT_NEAR(MadeUpBlocks(0.3f, 0.95f, 2).Measure().coherence, 0.3, 1e-6);
  EXPECT_NEAR(MadeUpBlocks(0.3f, 0.3f, 0).Measure().coherence, 0.3, 1e-6);
  const double poorEdges = MadeUpBlocks(0.6f, 0.1f, 2).Measure().coherence;
  EXPECT_LT(poorEdges, 0.55);
  EXPECT_GT(poorEdges, 0.1);

  // The same on a print that fills the picture, before and after a white
  // band is laid along its left side.
  for (uint32_t seed : {3u, 8u}) {
    const auto& px = Print(seed, 0.4);
    std::vector<uint8_t> banded = px;
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < 12; ++x) banded[static_cast<size_t>(y) * kW + x] = 255;
    EXPECT_LE(Extracted(banded).qualityMeasures.coherence, Extracted(px).qualityMeasures.coherence + 0.01) << "seed " << seed;
  }
}

TEST(Quality, AMinutiaIsTrustedLessNearTheEdgeInPoorFlowOrBesideAnother) {
  const omx::MinutiaMeasures good{0.8, 0.7, 0.9, 1.0, 1.0};
  const int best = omx::MinutiaConfidence(good);
  EXPECT_GT(best, 80);
  EXPECT_EQ(omx::MinutiaConfidence({1, 1, 1, 1, 1}), 100);
  EXPECT_GE(omx::MinutiaConfidence({0, 0, 0, 0, 0}), 0);
  for (double omx::MinutiaMeasures::*poorer : {&omx::MinutiaMeasures::coherence, &omx::MinutiaMeasures::contrast,
                                                 &omx::MinutiaMeasures::border, &omx::MinutiaMeasures::spacing}) {
    omx::MinutiaMeasures m = good;
    m.*poorer = 0.3;
    EXPECT_LT(omx::MinutiaConfidence(m), best - 5);
  }

  // On extracted prints: the minutiae near the area's edge score lower on
  // average than those well inside it.
  for (uint32_t seed : {3u, 8u}) {
    const auto f = Extracted(Print(seed, 0.6));
    double edge = 0, inner = 0;
    int edges = 0, inners = 0;
    for (const auto& m : f.minutiae) {
      EXPECT_GE(m.quality, 0);
      EXPECT_LE(m.quality, 100);
      if (m.measures.border < 0.5) edge += m.quality, ++edges;
      else if (m.measures.border >= 1) inner += m.quality, ++inners;
    }
    ASSERT_GT(edges, 0);
    ASSERT_GT(inners, 0);
    EXPECT_LT(edge / edges, inner / inners) << "seed " << seed;
  }
}

TEST(Quality, ARecordCarriesTheScoreAndTheAdviceInOrder) {
  omx::Features f;
  f.width = 300;
  f.height = 300;
  f.imageQuality = 42;
  f.qualityHints = {QualityHint::OffCentre, QualityHint::TooLittleFinger};
  omx::ExportOptions o;
  std::vector<uint8_t> r(omx::WriteNFRecord(f, o, nullptr));
  ASSERT_EQ(omx::WriteNFRecord(f, o, r.data()), r.size());
  EXPECT_EQ(r[16], 42);
  const size_t a = 26;  // no minutiae
  ASSERT_EQ(r[a + 1] | (r[a + 2] << 8), 16);
  EXPECT_EQ(r[a + 3 + 4], 42);  // the summary's copy
  EXPECT_EQ(r[a + 3 + 8], static_cast<int>(QualityHint::OffCentre) + 1);
  EXPECT_EQ(r[a + 3 + 9], static_cast<int>(QualityHint::TooLittleFinger) + 1);
  for (size_t k = 10; k < 16; ++k) EXPECT_EQ(r[a + 3 + k], 0) << k;
}

}  // namespace
