#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "config.h"
#include "extractor.h"
#include "fpsynth/fpsynth.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

double AngleGap(double a, double b) {
  double d = std::fmod(std::fabs(a - b), 2 * kPi);
  return d > kPi ? 2 * kPi - d : d;
}

struct P { double x, y, a; };

// Share of `want` with a partner in `got` within 12 px and 30 degrees (greedy).
double Paired(const std::vector<P>& want, const std::vector<P>& got) {
  std::vector<bool> used(got.size());
  int n = 0;
  for (const auto& w : want) {
    int best = -1;
    double bestD = 12;
    for (size_t j = 0; j < got.size(); ++j) {
      double d = std::hypot(w.x - got[j].x, w.y - got[j].y);
      if (!used[j] && d <= bestD && AngleGap(w.a, got[j].a) <= kPi / 6) {
        bestD = d;
        best = static_cast<int>(j);
      }
    }
    if (best >= 0) {
      used[static_cast<size_t>(best)] = true;
      ++n;
    }
  }
  return want.empty() ? 0 : static_cast<double>(n) / static_cast<double>(want.size());
}

omx::Features Extracted(const std::vector<uint8_t>& px, int w, int h, const omx::TOmExtractorConfiguration& cfg = omx::DefaultConfig()) {
  omx::Features f;
  EXPECT_TRUE(omx::Extract(px.data(), static_cast<uint32_t>(w), static_cast<uint32_t>(h), 500, cfg, false, nullptr, f));
  return f;
}

fpsynth::Fingerprint Print(fpsynth::Pattern pattern, uint32_t seed, double quality = 0.9, int w = 384, int h = 376) {
  fpsynth::Params p;
  p.width = w;
  p.height = h;
  p.pattern = pattern;
  p.quality = quality;
  return fpsynth::Generate(p, seed);
}

bool Near(const std::vector<omx::SingularPoint>& found, double x, double y, double r) {
  for (const auto& s : found)
    if (std::hypot(s.x - x, s.y - y) <= r) return true;
  return false;
}

TEST(Extract, FindsTheTruthOfAGoodPrint) {
  auto fp = Print(fpsynth::Pattern::RightLoop, 21);
  auto f = Extracted(fp.pixels, fp.width, fp.height);
  std::vector<P> truth, found;
  for (const auto& m : fp.minutiae) truth.push_back({double(m.x), double(m.y), m.angle});
  for (const auto& m : f.minutiae) found.push_back({double(m.x), double(m.y), m.angle});
  ASSERT_GT(truth.size(), 20u);
  EXPECT_GT(Paired(truth, found), 0.75) << "recall";
  // Precision, counting only finds inside the truth's area.
  std::vector<P> inside;
  for (const auto& m : f.minutiae)
    if (fp.mask[static_cast<size_t>(m.y) * fp.width + m.x]) inside.push_back({double(m.x), double(m.y), m.angle});
  EXPECT_GT(Paired(inside, truth), 0.75) << "precision";
  // The print's ridges are 9 px apart; about the core, where they curve
  // tightly, the period read across them comes out longer.
  std::vector<int> periods;
  for (const auto& m : f.minutiae) {
    EXPECT_GE(m.quality, 0);
    EXPECT_LE(m.quality, 100);
    EXPECT_NEAR(m.period10, 90, 25) << "at " << m.x << ", " << m.y;
    periods.push_back(m.period10);
  }
  std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
  EXPECT_NEAR(periods[periods.size() / 2], 90, 10) << "median";
}

// Minutiae within r px of (x, y).
int CountNear(const omx::Features& f, double x, double y, double r) {
  int n = 0;
  for (const auto& m : f.minutiae) n += std::hypot(m.x - x, m.y - y) <= r;
  return n;
}

TEST(Extract, LightPrintKeepsItsAreaAndMinutiae) {
  // The same print pressed lightly: an eighth of the contrast, on white.
  auto fp = Print(fpsynth::Pattern::Whorl, 31);
  auto full = Extracted(fp.pixels, fp.width, fp.height);
  std::vector<uint8_t> light(fp.pixels.size());
  for (size_t i = 0; i < light.size(); ++i) light[i] = static_cast<uint8_t>(255 - (255 - fp.pixels[i]) / 8);
  auto f = Extracted(light, fp.width, fp.height);
  ASSERT_GT(full.minutiae.size(), 20u);
  EXPECT_GT(f.foregroundBlocks, full.foregroundBlocks * 9 / 10);
  std::vector<P> want, got;
  for (const auto& m : full.minutiae) want.push_back({double(m.x), double(m.y), m.angle});
  for (const auto& m : f.minutiae) got.push_back({double(m.x), double(m.y), m.angle});
  EXPECT_GT(Paired(want, got), 0.8);
}

TEST(Extract, RelativeQualityCutSparesLightPrints) {
  // A strict cut on the quality against the picture's own contrast keeps as
  // many of a light print's minutiae as of the same print pressed firmly; a
  // cut on absolute contrast would leave the light one almost none.
  auto fp = Print(fpsynth::Pattern::LeftLoop, 27, 0.9, 288, 288);
  std::vector<uint8_t> light(fp.pixels.size());
  for (size_t i = 0; i < light.size(); ++i) light[i] = static_cast<uint8_t>(255 - (255 - fp.pixels[i]) / 8);
  auto open = omx::DefaultConfig();
  open.LimiarQ2 = 0;
  auto strict = open;
  strict.LimiarQ2 = 50;
  const double full = static_cast<double>(Extracted(fp.pixels, fp.width, fp.height, open).minutiae.size());
  const double lightAll = static_cast<double>(Extracted(light, fp.width, fp.height, open).minutiae.size());
  ASSERT_GT(full, 20);
  ASSERT_GT(lightAll, 20);
  const double kept = Extracted(fp.pixels, fp.width, fp.height, strict).minutiae.size() / full;
  const double lightKept = Extracted(light, fp.width, fp.height, strict).minutiae.size() / lightAll;
  EXPECT_LT(kept, 0.98) << "the cut at 50 should drop some minutiae";
  EXPECT_NEAR(lightKept, kept, 0.15);
}

// A print on a sensor whose background is grey grain of the given strength
// (the spread of three by three sums of uniform noise, divided by `weak`).
std::vector<uint8_t> OnGrain(const fpsynth::Fingerprint& fp, int weak) {
  std::vector<uint8_t> grainy = fp.pixels;
  uint32_t seed = 11;
  std::vector<int> noise(fp.pixels.size());
  for (auto& v : noise) {
    seed = seed * 1664525u + 1013904223u;
    v = static_cast<int>(seed >> 24) - 128;
  }
  for (int y = 1; y < fp.height - 1; ++y)
    for (int x = 1; x < fp.width - 1; ++x) {
      const size_t i = static_cast<size_t>(y) * fp.width + x;
      if (fp.mask[i]) continue;
      int sum = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) sum += noise[i + static_cast<size_t>(dy * fp.width + dx)];
      grainy[i] = static_cast<uint8_t>(std::clamp(190 + sum / weak, 0, 255));
    }
  return grainy;
}

// The area the grain adds, and whether every minutia has the finger within 16 px.
void ExpectGrainLeftOut(const fpsynth::Fingerprint& fp, const omx::Features& clean, const omx::Features& f) {
  ASSERT_GT(clean.foregroundBlocks, 100);
  EXPECT_LT(f.foregroundBlocks, clean.foregroundBlocks * 11 / 10);
  EXPECT_GT(f.foregroundBlocks, clean.foregroundBlocks * 9 / 10);
  for (const auto& m : f.minutiae) {
    int inside = 0;
    for (int dy = -16; dy <= 16 && !inside; dy += 4)
      for (int dx = -16; dx <= 16 && !inside; dx += 4) {
        const int x = std::clamp(m.x + dx, 0, fp.width - 1), y = std::clamp(m.y + dy, 0, fp.height - 1);
        inside = fp.mask[static_cast<size_t>(y) * fp.width + x];
      }
    EXPECT_TRUE(inside) << m.x << "," << m.y;
  }
}

TEST(Extract, GrainOfTheBackgroundIsNotArea) {
  auto fp = Print(fpsynth::Pattern::RightLoop, 17);
  auto clean = Extracted(fp.pixels, fp.width, fp.height);
  // Grain as strong as a light print's ridges, weak beside this dark one.
  ExpectGrainLeftOut(fp, clean, Extracted(OnGrain(fp, 14), fp.width, fp.height));
  // Stronger grain takes the clarity test.
  auto cfg = omx::DefaultConfig();
  cfg.MinQFG = 0.4;
  ExpectGrainLeftOut(fp, Extracted(fp.pixels, fp.width, fp.height, cfg), Extracted(OnGrain(fp, 6), fp.width, fp.height, cfg));
}

TEST(Extract, FalseMinutiaeOfTheSkeletonAreDropped) {
  // Straight ridges 10 px apart, drawn without contextual filtering so that
  // every flaw reaches the skeleton: two real endings, and a hole in a ridge,
  // a spur, a short piece in a valley and a bridge between two ridges.
  const int w = 260, h = 300;
  std::vector<uint8_t> px(static_cast<size_t>(w) * h, 225);
  auto dark = [&](int x, int y) {
    if (x >= 0 && y >= 0 && x < w && y < h) px[static_cast<size_t>(y) * w + x] = 30;
  };
  auto light = [&](int x, int y) {
    if (x >= 0 && y >= 0 && x < w && y < h) px[static_cast<size_t>(y) * w + x] = 225;
  };
  for (int r = 0; r < 29; ++r) {
    const int yc = 10 + 10 * r;
    const int x0 = r == 8 ? 130 : 0, x1 = r == 5 ? 130 : w;  // a ridge ending from each side
    for (int y = yc - 2; y <= yc + 2; ++y)
      for (int x = x0; x < x1; ++x) dark(x, y);
  }
  for (int x = 118; x < 140; ++x)                             // hole in the ridge at y 120
    for (int y = 117; y <= 123; ++y) {
      if (y >= 119 && y <= 121 && x >= 122 && x < 134) light(x, y);
      else dark(x, y);
    }
  for (int y = 153; y < 157; ++y) dark(150, y), dark(151, y);  // spur below the ridge at y 150
  for (int x = 120; x < 126; ++x) dark(x, 185), dark(x, 186);  // piece in the valley at y 185
  for (int y = 212; y < 219; ++y) dark(110, y), dark(111, y);  // bridge between y 210 and 220
  auto cfg = omx::DefaultConfig();
  cfg.BinSimples = true;
  auto f = Extracted(px, w, h, cfg);
  EXPECT_EQ(CountNear(f, 130, 60, 6), 1);
  EXPECT_EQ(CountNear(f, 130, 90, 6), 1);
  const double flaws[4][2] = {{128, 120}, {150, 152}, {123, 185}, {110, 215}};
  for (const auto& p : flaws) EXPECT_EQ(CountNear(f, p[0], p[1], 12), 0) << p[0] << "," << p[1];
  cfg.EliminarMinucias = false;  // the flaws do reach the skeleton
  f = Extracted(px, w, h, cfg);
  for (const auto& p : flaws) EXPECT_GE(CountNear(f, p[0], p[1], 12), 2) << p[0] << "," << p[1];
}

TEST(Extract, SingularPointsWhereThePatternHasThem) {
  auto loop = Print(fpsynth::Pattern::LeftLoop, 4);
  ASSERT_EQ(loop.cores.size(), 1u);
  ASSERT_EQ(loop.deltas.size(), 1u);
  auto f = Extracted(loop.pixels, loop.width, loop.height);
  EXPECT_TRUE(Near(f.cores, loop.cores[0].x, loop.cores[0].y, 24)) << f.cores.size();
  EXPECT_TRUE(Near(f.deltas, loop.deltas[0].x, loop.deltas[0].y, 24)) << f.deltas.size();
  EXPECT_EQ(f.cores.size(), 1u);
  EXPECT_EQ(f.deltas.size(), 1u);
  // The loop opens downwards, on the side away from its delta (which lies down to the right).
  ASSERT_FALSE(f.cores.empty());
  EXPECT_LT(std::sin(f.cores[0].angle[0]), -0.3);
  EXPECT_LT(std::cos(f.cores[0].angle[0]), 0.0);

  auto tented = Print(fpsynth::Pattern::TentedArch, 9);
  f = Extracted(tented.pixels, tented.width, tented.height);
  ASSERT_EQ(tented.cores.size(), 1u);
  EXPECT_TRUE(Near(f.cores, tented.cores[0].x, tented.cores[0].y, 24));
  EXPECT_TRUE(Near(f.deltas, tented.deltas[0].x, tented.deltas[0].y, 24));

  auto arch = Print(fpsynth::Pattern::Arch, 2);
  f = Extracted(arch.pixels, arch.width, arch.height);
  EXPECT_TRUE(f.cores.empty());
  EXPECT_TRUE(f.deltas.empty());
  EXPECT_GT(f.minutiae.size(), 10u);
}

TEST(Extract, MovedAndTurnedPrintGivesMovedAndTurnedMinutiae) {
  auto fp = Print(fpsynth::Pattern::LeftLoop, 13, 0.9);
  const int w = fp.width, h = fp.height;
  auto base = Extracted(fp.pixels, w, h);
  ASSERT_GT(base.minutiae.size(), 15u);

  // Shifted by whole blocks right and down, white coming in.
  std::vector<uint8_t> moved(fp.pixels.size(), 255);
  for (int y = 8; y < h; ++y)
    for (int x = 16; x < w; ++x) moved[static_cast<size_t>(y) * w + x] = fp.pixels[static_cast<size_t>(y - 8) * w + x - 16];
  auto f = Extracted(moved, w, h);
  std::vector<P> want, got;
  for (const auto& m : base.minutiae)
    if (m.x + 16 < w - 24 && m.y + 8 < h - 24) want.push_back({m.x + 16.0, m.y + 8.0, m.angle});
  for (const auto& m : f.minutiae) got.push_back({double(m.x), double(m.y), m.angle});
  EXPECT_GT(Paired(want, got), 0.85);

  // A quarter turn counter-clockwise: (x, y) goes to (y, w-1-x), angles grow by 90 degrees.
  std::vector<uint8_t> turned(fp.pixels.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) turned[static_cast<size_t>(w - 1 - x) * h + y] = fp.pixels[static_cast<size_t>(y) * w + x];
  f = Extracted(turned, h, w);
  want.clear();
  got.clear();
  for (const auto& m : base.minutiae) want.push_back({double(m.y), double(w - 1 - m.x), m.angle + kPi / 2});
  for (const auto& m : f.minutiae) got.push_back({double(m.x), double(m.y), m.angle});
  EXPECT_GT(Paired(want, got), 0.8);
}

TEST(Extract, UnusableArgumentsAreRefused) {
  omx::Features f;
  auto cfg = omx::DefaultConfig();
  std::vector<uint8_t> px(2049 * 4, 128);
  EXPECT_FALSE(omx::Extract(nullptr, 10, 10, 500, cfg, false, nullptr, f));
  EXPECT_FALSE(omx::Extract(px.data(), 0, 10, 500, cfg, false, nullptr, f));
  EXPECT_FALSE(omx::Extract(px.data(), 10, 0, 500, cfg, false, nullptr, f));
  EXPECT_FALSE(omx::Extract(px.data(), 2049, 4, 500, cfg, false, nullptr, f));
  EXPECT_FALSE(omx::Extract(px.data(), 4, 2049, 500, cfg, false, nullptr, f));
  EXPECT_FALSE(omx::Extract(px.data(), 0xFFFFFFFFu, 0xFFFFFFFFu, 500, cfg, false, nullptr, f));
}

TEST(Extract, DegeneratePicturesGiveEmptyResults) {
  for (int side : {1, 2, 3, 8, 23, 24, 25}) {
    std::vector<uint8_t> px(static_cast<size_t>(side) * side, 0);
    std::vector<uint16_t> work(px.size(), 7);
    omx::Features f;
    ASSERT_TRUE(omx::Extract(px.data(), side, side, 500, omx::DefaultConfig(), true, work.data(), f)) << side;
    EXPECT_TRUE(f.minutiae.empty()) << side;
  }
  for (uint8_t v : {0, 128, 255}) {
    auto f = Extracted(std::vector<uint8_t>(300 * 200, v), 300, 200);
    EXPECT_TRUE(f.minutiae.empty());
    EXPECT_TRUE(f.cores.empty());
    EXPECT_EQ(f.foregroundBlocks, 0);
  }
  // Odd sizes, a one-row strip, stripes and a checkerboard at the Nyquist limit.
  std::vector<uint8_t> px(307 * 211);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>((i * 2654435761u) >> 24);
  Extracted(px, 307, 211);
  Extracted(px, 2000, 1);
  Extracted(px, 1, 2000);
  for (int y = 0; y < 211; ++y)
    for (int x = 0; x < 307; ++x) px[static_cast<size_t>(y) * 307 + x] = ((x + y) & 1) ? 255 : 0;
  Extracted(px, 307, 211);
  for (int y = 0; y < 211; ++y)
    for (int x = 0; x < 307; ++x) px[static_cast<size_t>(y) * 307 + x] = (x / 4) % 2 ? 255 : 0;
  auto f = Extracted(px, 307, 211);
  EXPECT_LT(f.minutiae.size(), 10u);  // straight parallel ridges hold hardly any
}

TEST(Extract, LargestPictureWorks) {
  auto fp = Print(fpsynth::Pattern::Whorl, 3, 0.8, 512, 512);
  std::vector<uint8_t> big(2048u * 2048u);
  for (int y = 0; y < 2048; ++y)
    for (int x = 0; x < 2048; ++x) big[static_cast<size_t>(y) * 2048 + x] = fp.pixels[static_cast<size_t>(y % 512) * 512 + x % 512];
  auto f = Extracted(big, 2048, 2048);
  EXPECT_GT(f.minutiae.size(), 20u);
  for (const auto& m : f.minutiae) {
    EXPECT_LT(m.x, 2048);
    EXPECT_LT(m.y, 2048);
  }
}

TEST(Extract, WorkPictureReceivesSkeletonOrEnhancedPicture) {
  auto fp = Print(fpsynth::Pattern::LeftLoop, 5);
  const size_t n = fp.pixels.size();
  std::vector<uint16_t> work(n, 7);
  omx::Features f;
  auto cfg = omx::DefaultConfig();
  ASSERT_TRUE(omx::Extract(fp.pixels.data(), fp.width, fp.height, 500, cfg, true, work.data(), f));
  size_t on = std::count(work.begin(), work.end(), 0xFFFF), off = std::count(work.begin(), work.end(), 0);
  EXPECT_EQ(on + off, n);
  EXPECT_GT(on, n / 40);  // one-pixel ridge lines about 9 px apart over most of the picture
  EXPECT_LT(on, n / 6);
  ASSERT_TRUE(omx::Extract(fp.pixels.data(), fp.width, fp.height, 500, cfg, false, work.data(), f));
  auto [lo, hi] = std::minmax_element(work.begin(), work.end());
  EXPECT_LT(*lo, cfg.MediaDesejada - 4000);
  EXPECT_GT(*hi, cfg.MediaDesejada + 4000);
}

TEST(Extract, ConfigurationIsHonoured) {
  auto fp = Print(fpsynth::Pattern::RightLoop, 8, 0.5);
  const auto def = omx::DefaultConfig();
  auto base = Extracted(fp.pixels, fp.width, fp.height, def);
  ASSERT_GT(base.minutiae.size(), 15u);

  auto cfg = def;
  cfg.LimiarVariancia = 1000000;  // nothing is bright enough to count as a finger
  auto none = Extracted(fp.pixels, fp.width, fp.height, cfg);
  EXPECT_EQ(none.foregroundBlocks, 0);
  EXPECT_TRUE(none.minutiae.empty());

  cfg = def;
  cfg.BinSimples = true;  // no contextual filtering: a noisy print breaks up into many more
  auto simple = Extracted(fp.pixels, fp.width, fp.height, cfg);
  EXPECT_GT(simple.minutiae.size(), base.minutiae.size());
  cfg.EliminarMinucias = false;  // and its spurs, breaks and bridges then stay
  EXPECT_GT(Extracted(fp.pixels, fp.width, fp.height, cfg).minutiae.size(), simple.minutiae.size());

  cfg = def;
  cfg.LimiarQ1 = 101;
  EXPECT_TRUE(Extracted(fp.pixels, fp.width, fp.height, cfg).minutiae.empty());

  cfg = def;
  cfg.LimiarQ2 = 101;
  EXPECT_TRUE(Extracted(fp.pixels, fp.width, fp.height, cfg).minutiae.empty());

  cfg = def;
  cfg.TruncarArea = false;
  EXPECT_GT(Extracted(fp.pixels, fp.width, fp.height, cfg).minutiae.size(), base.minutiae.size());


  cfg = def;
  cfg.MinQFG = 100;  // no block's ridges are that clear
  EXPECT_TRUE(Extracted(fp.pixels, fp.width, fp.height, cfg).minutiae.empty());

  // The filter's kernels are kept between calls for the fields they were
  // made for: other fields give another picture, the first fields the first.
  auto Key = [](const omx::Features& f) {
    std::vector<int> k;
    for (const auto& m : f.minutiae) k.insert(k.end(), {m.x, m.y, m.type});
    return k;
  };
  cfg = def;
  cfg.FatorGabor = 2.5;
  cfg.SigmaGabor = 0.3;
  EXPECT_NE(Key(Extracted(fp.pixels, fp.width, fp.height, cfg)), Key(base));
  EXPECT_EQ(Key(Extracted(fp.pixels, fp.width, fp.height, def)), Key(base));
}

TEST(Extract, DefaultsAreMeaningful) {
  auto c = omx::DefaultConfig();
  EXPECT_GT(c.LimiarVariancia, 0);
  EXPECT_GT(c.SigmaGabor, 0);
  EXPECT_GT(c.FatorGabor, 0);
  EXPECT_GT(c.EscalaGabor, 0);
  EXPECT_GT(c.VarianciaDesejada, 0);
  EXPECT_TRUE(c.EliminarMinucias);
  EXPECT_FALSE(c.SemNormalizar);
  EXPECT_EQ(c.LimiarAlfa, 0);  // fields the engine does not read stay zero
  EXPECT_EQ(c.PesoDF, 0);
}

}  // namespace
