#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "false_pairs.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

using omx::WrapPi;

// Every pair against every other, the way the rule reads.
std::vector<bool> Reference(const std::vector<omx::PairCandidate>& c) {
  std::vector<bool> drop(c.size(), false);
  for (size_t i = 0; i < c.size(); ++i)
    for (size_t j = i + 1; j < c.size(); ++j) {
      const auto &a = c[i], &b = c[j];
      double T = a.period, dx = b.x - a.x, dy = b.y - a.y, d = std::hypot(dx, dy);
      if (d > 2 * T) continue;
      if (d < 0.5 * T) {
        drop[i] = drop[j] = true;
        continue;
      }
      if (a.type == 0 && b.type == 0 && d < 1.6 * T) {
        double ab = std::atan2(-dy, dx);
        if (std::fabs(WrapPi(a.angle - b.angle)) > 2.4 && std::fabs(WrapPi(a.angle + kPi - ab)) < 0.8 &&
            std::fabs(WrapPi(b.angle - ab)) < 0.8)
          drop[i] = drop[j] = true;
      }
    }
  return drop;
}

std::vector<bool> Grid(std::vector<omx::PairCandidate> c) {
  omx::DropFalsePairs(c);
  std::vector<bool> drop;
  for (const auto& p : c) drop.push_back(p.drop);
  return drop;
}

// An ending at (x, y) and one facing it across a gap along the angle a.
void FacingPair(std::vector<omx::PairCandidate>& c, int x, int y, double a, double gap, double period) {
  c.push_back({x, y, 0, a + kPi, period, false});
  c.push_back({x + static_cast<int>(std::lround(gap * std::cos(a))), y - static_cast<int>(std::lround(gap * std::sin(a))), 0, a,
               period, false});
}

TEST(FalsePairs, GridMatchesEveryPairComparedWithEveryOther) {
  std::mt19937 rng(7);
  int dropped = 0, kept = 0;
  for (int round = 0; round < 300; ++round) {
    std::uniform_int_distribution<int> count(0, 120), coord(0, round % 3 == 0 ? 60 : 700);
    std::uniform_real_distribution<double> angle(-kPi, kPi), period(3, round % 5 == 0 ? 25 : 12);
    std::vector<omx::PairCandidate> c;
    const int n = count(rng);
    for (int i = 0; i < n; ++i) c.push_back({coord(rng), coord(rng), static_cast<int>(rng() % 2), angle(rng), period(rng), false});
    // Pairs placed to straddle cell edges: at exactly two periods, just
    // under half a period, and facing endings, in every direction, the later
    // one sometimes with the much smaller period (only the first one's counts).
    for (int k = 0; k < 6; ++k) {
      const double T = period(rng), a = angle(rng);
      const int x = coord(rng), y = coord(rng);
      c.push_back({x, y, 1, 0, T, false});
      c.push_back({x + static_cast<int>(std::floor(2 * T * std::cos(a))), y + static_cast<int>(std::floor(2 * T * std::sin(a))), 1, 0,
                   k % 2 ? 3.0 : T, false});
      c.push_back({x + 1, y + 1, 0, 0, T, false});
      FacingPair(c, coord(rng), coord(rng), a, 1.3 * T, T);
    }
    std::shuffle(c.begin(), c.end(), rng);
    const auto want = Reference(c);
    ASSERT_EQ(Grid(c), want) << "round " << round;
    for (bool d : want) (d ? dropped : kept)++;
  }
  // The sets exercise both outcomes, not only one.
  EXPECT_GT(dropped, 1000);
  EXPECT_GT(kept, 1000);
}

TEST(FalsePairs, OnlyTheFirstMembersPeriodAndPlainRulesCount) {
  // Four apart: the same pair is too close with the first member's period 25, not with 3.
  std::vector<omx::PairCandidate> c = {{100, 100, 1, 0, 25, false}, {100, 104, 1, 0, 3, false}};
  EXPECT_EQ(Grid(c), (std::vector<bool>{true, true}));  // under half of 25
  c = {{100, 100, 1, 0, 3, false}, {100, 104, 1, 0, 25, false}};
  EXPECT_EQ(Grid(c), (std::vector<bool>{false, false}));  // 4 is not under half of 3
  // Facing endings 14 apart with period 10 go; pointing the same way they stay.
  c.clear();
  FacingPair(c, 50, 50, 0.3, 14, 10);
  EXPECT_EQ(Grid(c), (std::vector<bool>{true, true}));
  c[1].angle = c[0].angle;
  EXPECT_EQ(Grid(c), (std::vector<bool>{false, false}));
  // Far apart on a wide picture with a large period in between: nothing goes.
  c = {{0, 0, 0, 0, 9, false}, {2047, 2047, 0, kPi, 9, false}, {1000, 0, 1, 0, 25, false}};
  EXPECT_EQ(Grid(c), (std::vector<bool>{false, false, false}));
  std::vector<omx::PairCandidate> none;
  omx::DropFalsePairs(none);
  EXPECT_TRUE(none.empty());
}

}  // namespace
