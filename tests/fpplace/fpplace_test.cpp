#include "fpplace/fpplace.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "bmp.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Grey value at a continuous point (bilinear), white outside.
double Sample(const fpplace::Impression& imp, double x, double y) {
  if (x < 0 || y < 0 || x > imp.width - 1.001 || y > imp.height - 1.001) return 255;
  int i = static_cast<int>(x), j = static_cast<int>(y);
  double ax = x - i, ay = y - j;
  auto at = [&](int xx, int yy) { return static_cast<double>(imp.pixels[static_cast<size_t>(yy) * imp.width + xx]); };
  return (1 - ay) * ((1 - ax) * at(i, j) + ax * at(i + 1, j)) + ay * ((1 - ax) * at(i, j + 1) + ax * at(i + 1, j + 1));
}

struct Check {
  int minutiae = 0, typed = 0, regularSame = 0, regular = 0;
};

// Checks a clean rendering of an impression against its truth, on the
// picture alone. A ridge ending points along the ridge it ends (dark ahead,
// light behind, half a period away); a fork points into the valley between
// its branches (light ahead, dark behind: the stem). At points of regular
// flow, ahead and behind along the ridges lie on the same ridge or valley.
Check CheckTruth(const fpplace::Finger& f, const fpplace::Impression& imp) {
  Check c;
  const double T = f.period, d = 0.45 * T;
  auto touched = [&](double x, double y, double r) {
    for (int k = 0; k < 16; ++k) {
      int xx = static_cast<int>(std::lround(x + r * std::cos(k * kPi / 8)));
      int yy = static_cast<int>(std::lround(y + r * std::sin(k * kPi / 8)));
      if (xx < 0 || yy < 0 || xx >= imp.width || yy >= imp.height || !imp.area[static_cast<size_t>(yy) * imp.width + xx]) return false;
    }
    return true;
  };
  for (const auto& m : imp.minutiae) {
    if (!touched(m.x, m.y, 2.6 * T)) continue;
    ++c.minutiae;
    double ahead = Sample(imp, m.x + d * std::cos(m.angle), m.y - d * std::sin(m.angle));
    double behind = Sample(imp, m.x - d * std::cos(m.angle), m.y + d * std::sin(m.angle));
    c.typed += m.type == 0 ? (ahead < 128 && behind >= 128) : (ahead >= 128 && behind < 128);
  }
  // Regular flow: points on a lattice, away from minutiae, cores and deltas;
  // along the ridges as the finger's model gives them.
  fpplace::Mapping map(f, imp.params, imp.width, imp.height);
  for (double y = 20; y < imp.height - 20; y += 9)
    for (double x = 20; x < imp.width - 20; x += 9) {
      if (!touched(x, y, 2.6 * T)) continue;
      bool clear = true;
      for (const auto& q : imp.minutiae) clear = clear && std::hypot(q.x - x, q.y - y) > 2.6 * T;
      for (const auto& s : imp.cores) clear = clear && std::hypot(s.x - x, s.y - y) > 4 * T;
      for (const auto& s : imp.deltas) clear = clear && std::hypot(s.x - x, s.y - y) > 4 * T;
      if (!clear) continue;
      auto q = map.Inverse(x, y);
      double along = map.ForwardAngle(q.x, q.y, f.Orientation(q.x, q.y));
      ++c.regular;
      double ahead = Sample(imp, x + d * std::cos(along), y - d * std::sin(along));
      double behind = Sample(imp, x - d * std::cos(along), y + d * std::sin(along));
      c.regularSame += (ahead < 128) == (behind < 128);
    }
  return c;
}

TEST(FpPlace, TruthLiesWhereTheRenderedRidgesEndOrFork) {
  Check total;
  for (uint64_t seed : {11u, 12u, 13u, 14u}) {
    auto f = fpplace::Finger::Make(seed);
    // Laid on the sensor turned, moved and elastically distorted, rendered without texture or noise.
    auto p = fpplace::DrawImpression(f, seed * 7, fpplace::Quality::Clean);
    auto imp = fpplace::Render(f, p, 388, 374);
    Check c = CheckTruth(f, imp);
    EXPECT_GE(c.minutiae, 15) << "seed " << seed;
    total.minutiae += c.minutiae, total.typed += c.typed;
    total.regular += c.regular, total.regularSame += c.regularSame;
  }
  std::printf("minutiae %d, type and direction confirmed %d; regular points %d, same ahead and behind %d\n", total.minutiae,
              total.typed, total.regular, total.regularSame);
  ASSERT_GT(total.minutiae, 80);
  ASSERT_GT(total.regular, 60);
  EXPECT_GE(total.typed, 0.95 * total.minutiae) << "minutiae whose direction and type the picture confirms";
  // The control is rough (the model's flow direction is off the rendered one
  // by some degrees, enough near a ridge's edge), but far from the minutiae's.
  EXPECT_GE(total.regularSame, 0.6 * total.regular) << "regular points on one ridge or valley ahead and behind";
}

TEST(FpPlace, TruthFollowsTheImpressionsMove) {
  auto f = fpplace::Finger::Make(21);
  auto p = fpplace::DrawImpression(f, 5, fpplace::Quality::Good);
  fpplace::Mapping map(f, p, 388, 374);
  auto placed = fpplace::Place(f, p, 388, 374);
  ASSERT_FALSE(placed.minutiae.empty());
  for (const auto& m : placed.minutiae) {
    const auto& src = f.minutiae[static_cast<size_t>(m.id)];
    auto back = map.Inverse(m.x, m.y);
    EXPECT_NEAR(back.x, src.x, 1e-6);
    EXPECT_NEAR(back.y, src.y, 1e-6);
    // Direction: turned by the rotation, give or take the elastic part's few degrees.
    double turn = std::remainder(m.angle - src.angle - p.rotation, 2 * kPi);
    EXPECT_LT(std::fabs(turn), 8 * kPi / 180);
  }
  // The rendered impression carries the same truth.
  auto rendered = fpplace::Render(f, p, 388, 374);
  ASSERT_EQ(rendered.minutiae.size(), placed.minutiae.size());
  for (size_t k = 0; k < placed.minutiae.size(); ++k) EXPECT_EQ(rendered.minutiae[k].x, placed.minutiae[k].x);
}

TEST(FpPlace, SameSeedSameFilesAndFingersDoNotDependOnTheSetsSize) {
  fpplace::SetOptions small, big;
  small.fingers = 2, small.impressions = 2;
  big.fingers = 50, big.impressions = 8;
  auto f1 = fpplace::Finger::Make(fpplace::FingerSeed(1, 1)), f2 = fpplace::Finger::Make(fpplace::FingerSeed(1, 1));
  auto a = fpplace::MakeImpression(small, f1, 1, 1), b = fpplace::MakeImpression(big, f2, 1, 1);
  EXPECT_EQ(fpplace::EncodeBmp(a.width, a.height, a.pixels), fpplace::EncodeBmp(b.width, b.height, b.pixels));
  EXPECT_EQ(fpplace::FormatTruth(small, f1, 1, 1, a), fpplace::FormatTruth(small, f2, 1, 1, b));
  auto c = fpplace::MakeImpression(small, f1, 1, 0);
  EXPECT_NE(a.pixels, c.pixels);
  auto other = fpplace::Finger::Make(fpplace::FingerSeed(1, 0));
  EXPECT_NE(other.minutiae.size() == f1.minutiae.size() && other.minutiae[0].x == f1.minutiae[0].x, true);
}

TEST(FpPlace, WritesAGrey8BitBmpAndTruthThatReadBack) {
  fpplace::SetOptions o;
  o.width = 389;  // rows padded to 392 bytes
  o.height = 301;
  auto f = fpplace::Finger::Make(fpplace::FingerSeed(3, 0));
  auto imp = fpplace::MakeImpression(o, f, 0, 0);
  auto file = fpplace::EncodeBmp(imp.width, imp.height, imp.pixels);
  ASSERT_GE(file.size(), 54u);
  auto u32 = [&](size_t at) { uint32_t v; std::memcpy(&v, &file[at], 4); return v; };
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  EXPECT_EQ(u32(2), file.size());
  EXPECT_EQ(u32(10), 14u + 40 + 1024);
  EXPECT_EQ(u32(18), 389u);
  EXPECT_EQ(u32(22), 301u);
  EXPECT_EQ(file[28], 8);
  EXPECT_EQ(u32(30), 0u);  // uncompressed
  EXPECT_EQ(file.size(), 14u + 40 + 1024 + 392u * 301);
  for (int i = 0; i < 256; i += 51) EXPECT_EQ(file[54 + 4 * i], i);
  omx::bmp::Grey g;
  std::string why;
  ASSERT_TRUE(omx::bmp::Decode(file, g, why)) << why;
  EXPECT_EQ(g.width, 389);
  EXPECT_EQ(g.height, 301);
  EXPECT_EQ(g.pixels, imp.pixels);
  // A print, not a blank: dark ridges and light valleys in the touched area.
  int dark = 0, light = 0;
  for (size_t k = 0; k < imp.pixels.size(); ++k)
    if (imp.area[k]) (imp.pixels[k] < imp.params.background - 0.6 * imp.params.contrast ? dark : light) +=
        imp.pixels[k] < imp.params.background - 0.6 * imp.params.contrast || imp.pixels[k] > imp.params.background - 0.3 * imp.params.contrast;
  EXPECT_GT(dark, 3000);
  EXPECT_GT(light, 3000);

  std::vector<fpplace::Minutia> back;
  int w = 0, h = 0;
  ASSERT_TRUE(fpplace::ParseTruth(fpplace::FormatTruth(o, f, 0, 0, imp), back, w, h, why)) << why;
  EXPECT_EQ(w, 389);
  EXPECT_EQ(h, 301);
  ASSERT_EQ(back.size(), imp.minutiae.size());
  for (size_t k = 0; k < back.size(); ++k) {
    EXPECT_NEAR(back[k].x, imp.minutiae[k].x, 0.006);
    EXPECT_NEAR(back[k].y, imp.minutiae[k].y, 0.006);
    EXPECT_NEAR(std::remainder(back[k].angle - imp.minutiae[k].angle, 2 * kPi), 0, 0.001);
    EXPECT_EQ(back[k].type, imp.minutiae[k].type);
  }
  EXPECT_FALSE(fpplace::ParseTruth("# size 10 10\n1 2 400 0\n", back, w, h, why));
  EXPECT_FALSE(fpplace::ParseTruth("1 2 3 2\n", back, w, h, why));
  EXPECT_FALSE(fpplace::ParseTruth("1 2 3\n", back, w, h, why));
}

TEST(FpPlace, QualityMixParsesOrSaysWhy) {
  fpplace::QualityMix m;
  std::string why;
  ASSERT_TRUE(fpplace::ParseMix("good:1,poor:3", m, why)) << why;
  EXPECT_EQ(m.good, 1);
  EXPECT_EQ(m.dry, 0);
  EXPECT_EQ(m.poor, 3);
  EXPECT_FALSE(fpplace::ParseMix("good:0", m, why));
  EXPECT_FALSE(fpplace::ParseMix("moist:1", m, why));
  EXPECT_FALSE(fpplace::ParseMix("good:-1", m, why));
  EXPECT_FALSE(fpplace::ParseMix("good", m, why));
  // Every quality of a mix is drawn, none outside it.
  int seen[4] = {};
  for (int j = 0; j < 400; ++j) ++seen[static_cast<int>(fpplace::DrawQuality(m, fpplace::ImpressionSeed(1, 0, j)))];
  EXPECT_GT(seen[0], 50);
  EXPECT_EQ(seen[1] + seen[2], 0);
  EXPECT_GT(seen[3], 200);
}

// The matcher is tuned and measured on what version 1 writes: a change of the
// output for a given seed must raise fpplace::kVersion (and update these
// figures and docs/engine-evaluation.md). Compared with tolerances, so that
// another maths library's last bits do not count as a change.
TEST(FpPlace, VersionOneOutputIsFrozen) {
  ASSERT_EQ(fpplace::kVersion, 1);
  fpplace::SetOptions o;  // seed 1, 388x374, default quality mix
  auto f = fpplace::Finger::Make(fpplace::FingerSeed(o.seed, 0));
  auto imp = fpplace::MakeImpression(o, f, 0, 0);
  EXPECT_EQ(f.pattern, fpplace::Pattern::LeftLoop);
  EXPECT_EQ(imp.params.quality, fpplace::Quality::Poor);
  EXPECT_NEAR(f.period, 8.94, 0.006);
  EXPECT_NEAR(imp.params.rotation * 180 / kPi, -14.74, 0.006);
  ASSERT_EQ(imp.minutiae.size(), 35u);
  struct Expected {
    double x, y, deg;
    int type;
  };
  const Expected first[] = {{172.45, 118.27, 332.39, 0}, {153.04, 43.95, 354.23, 1}, {120.80, 52.25, 2.66, 0},
                            {170.41, 31.82, 166.11, 1},  {232.65, 204.14, 325.89, 0}, {150.05, 269.18, 172.07, 0}};
  for (size_t k = 0; k < 6; ++k) {
    EXPECT_NEAR(imp.minutiae[k].x, first[k].x, 0.02) << k;
    EXPECT_NEAR(imp.minutiae[k].y, first[k].y, 0.02) << k;
    EXPECT_NEAR(std::remainder(imp.minutiae[k].angle * 180 / kPi - first[k].deg, 360.0), 0, 0.05) << k;
    EXPECT_EQ(imp.minutiae[k].type, first[k].type) << k;
  }
  double mean = 0;
  for (uint8_t v : imp.pixels) mean += v / static_cast<double>(imp.pixels.size());
  EXPECT_NEAR(mean, 220.029, 0.01);
}

}  // namespace
