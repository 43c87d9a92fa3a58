// The realistic sensor's touches as the matcher sees them, on a fixed seed:
// touches of one finger are that finger's (at least 90 % of their pairs reach
// the threshold at a false match rate of 1e-3), touches of two fingers never
// are. The threshold is the matcher's own, asked at run time.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "Touches.h"
#include "config.h"
#include "extractor.h"
#include "matching/Matcher.h"
#include "nfrecord.h"

namespace {

std::vector<uint8_t> Template(const std::vector<uint8_t>& pixels, int width, int height, size_t* minutiae = nullptr) {
  static const auto cfg = omx::DefaultConfig();
  omx::Features f;
  omx::Extract(pixels.data(), uint32_t(width), uint32_t(height), 500, cfg, false, nullptr, f);
  if (minutiae) *minutiae = f.minutiae.size();
  omx::ExportOptions o;
  o.width = width;
  o.height = height;
  std::vector<uint8_t> rec(omx::WriteNFRecord(f, o, nullptr));
  omx::WriteNFRecord(f, o, rec.data());
  return rec;
}

TEST(RealisticMatching, TouchesOfAFingerMatchAndOfTwoFingersNever) {
  tavosim::TouchPlan plan;  // the program's defaults, seed 1
  plan.fingers = 4;
  plan.touches = 4;
  const int width = 256, height = 360;
  tavosim::TouchPainter painter(plan, 0, width, height);
  struct Sample {
    uint32_t finger;
    std::vector<uint8_t> record;
  };
  std::vector<Sample> samples;
  const uint32_t middle = plan.FramesPerTouch() / 2;  // the finger has settled
  for (uint64_t n = 0; n < uint64_t(plan.fingers) * plan.touches; ++n) {
    auto pic = painter.Paint(tavosim::TouchAt(plan, n, false));
    samples.push_back({pic->touch.finger, Template(tavosim::FrameOf(*pic, middle), width, height)});
  }
  const int threshold = matching::Threshold(1e-3);
  int genuine = 0, reached = 0, impostorsReaching = 0, worstImpostor = 0;
  for (size_t a = 0; a < samples.size(); ++a)
    for (size_t b = a + 1; b < samples.size(); ++b) {
      const auto& x = samples[a].record;
      const auto& y = samples[b].record;
      int score = matching::Compare(x.data(), x.size(), y.data(), y.size());
      if (samples[a].finger == samples[b].finger) {
        ++genuine;
        reached += score >= threshold;
      } else {
        impostorsReaching += score >= threshold;
        worstImpostor = std::max(worstImpostor, score);
      }
    }
  std::printf("threshold(1e-3) %d: %d of %d genuine pairs reach it; highest impostor score %d\n", threshold, reached,
              genuine, worstImpostor);
  EXPECT_EQ(genuine, 4 * 6);
  EXPECT_GE(reached * 10, genuine * 9);
  EXPECT_EQ(impostorsReaching, 0);
}

// A poor touch is one an enrollment should refuse: far fewer minutiae than
// the same touch made well.
TEST(RealisticMatching, APoorTouchShowsLittleOfItsFinger) {
  tavosim::TouchPlan plan;
  tavosim::TouchPainter painter(plan, 0, 256, 360);
  tavosim::Touch t = tavosim::TouchAt(plan, 2, false);
  auto good = painter.Paint(t);
  t.poor = true;
  auto poor = painter.Paint(t);
  auto count = [](const tavosim::TouchPicture& p) {
    size_t n = 0;
    Template(tavosim::FrameOf(p, 3), p.width, p.height, &n);
    return n;
  };
  size_t many = count(*good), few = count(*poor);
  EXPECT_LT(few * 3, many * 2) << few << " minutiae in the poor touch, " << many << " in the good one";
}

}  // namespace
