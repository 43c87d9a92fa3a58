// Properties of the minutiae matcher on templates made from placed minutiae.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <fstream>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "matching/Gallery.h"
#include "matching/Matcher.h"
#include "evaluation_subset.h"
#include "placed.h"
#include "rates.h"

// ThreadSanitizer's runtime replaces the allocation functions itself: the
// counting below is left out of that build.
#if defined(__SANITIZE_THREAD__)
#define DL_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DL_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef DL_COUNT_ALLOCATIONS
#define DL_COUNT_ALLOCATIONS 1
#endif

#if DL_COUNT_ALLOCATIONS
#if defined(__GNUC__) && !defined(__clang__)
// The replacements below free what they allocated with malloc; GCC takes
// the free in a replaced operator delete for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// Every allocation of this program's threads is counted, so that a test can
// tell that a comparison makes none.
namespace {
thread_local long g_allocations = 0;
void* Counted(size_t n) {
  ++g_allocations;
  return std::malloc(n ? n : 1);
}
}  // namespace

void* operator new(size_t n) {
  if (void* p = Counted(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) {
  if (void* p = Counted(n)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t n, const std::nothrow_t&) noexcept { return Counted(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Counted(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#endif

namespace {

using Bytes = std::vector<uint8_t>;

int Score(const Bytes& a, const Bytes& b) { return matching::Compare(a.data(), a.size(), b.data(), b.size()); }

std::vector<Bytes> Fingers(int n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Bytes> out;
  for (int i = 0; i < n; ++i) out.push_back(placed::Record(placed::Finger(rng)));
  return out;
}

std::vector<placed::Minutia> Minutiae(uint32_t seed) {
  std::mt19937 rng(seed);
  return placed::Finger(rng);
}

Bytes Block(const Bytes& record) {
  Bytes block;
  matching::PrepareTemplate(record.data(), record.size(), block);
  return block;
}

TEST(Matcher, SelfScoreIsAboveEveryOtherScoreOfTheTemplate) {
  const auto fingers = Fingers(30, 3);
  matching::TComparison c;
  for (size_t i = 0; i < fingers.size(); ++i) {
    const matching::TProbe probe(fingers[i].data(), fingers[i].size());
    const int self = c.Score(probe, Block(fingers[i]).data());
    EXPECT_GT(self, matching::Threshold(1e-4)) << "finger " << i;
    for (size_t j = 0; j < fingers.size(); ++j) {
      if (j != i) {
        EXPECT_GT(self, c.Score(probe, Block(fingers[j]).data())) << i << " against " << j;
      }
    }
  }
}

// Turned 30 degrees, moved 40 pixels, 20 % of the minutiae gone and 10
// spurious ones added, with a little jitter as a second impression has.
TEST(Matcher, DisturbedImpressionScoresAboveThreshold) {
  const int threshold = matching::Threshold(1e-3);
  int below = 0;
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    const auto m = Minutiae(seed);
    std::mt19937 rng(seed * 31);
    for (double turn : {30.0, -30.0}) {
      const auto other = placed::Corrupt(placed::Transform(m, turn, 40, -25, rng, 1, 2), 0.2, 10, rng);
      const int s = Score(placed::Record(m), placed::Record(other));
      if (s < threshold) {
        ++below;
        ADD_FAILURE() << "seed " << seed << " turned " << turn << ": " << s << " below " << threshold;
      }
    }
  }
  EXPECT_EQ(below, 0);
}

TEST(Matcher, ElasticDistortionGrowingWithDistanceIsTolerated) {
  // Each minutia moved by up to 6 % of its distance from the middle: a
  // stretch that no single rotation and translation undoes.
  const int threshold = matching::Threshold(1e-3);
  for (uint32_t seed = 100; seed < 120; ++seed) {
    auto m = Minutiae(seed);
    auto d = m;
    for (auto& p : d) {
      p.x = static_cast<int>(194 + (p.x - 194) * 1.06);
      p.y = static_cast<int>(187 + (p.y - 187) * 0.95);
    }
    EXPECT_GE(Score(placed::Record(m), placed::Record(d)), threshold) << "seed " << seed;
  }
}

TEST(Matcher, PartialOverlapOfHalfThePrintStillMatches) {
  const int threshold = matching::Threshold(1e-3);
  for (uint32_t seed = 200; seed < 220; ++seed) {
    const auto m = Minutiae(seed);
    std::vector<placed::Minutia> upper, lowerish;
    for (const auto& p : m) {
      if (p.y < 270) upper.push_back(p);
      if (p.y > 100) lowerish.push_back(p);
    }
    // The two windows share the band 100..270, about half of the print.
    std::mt19937 rng(seed);
    const auto moved = placed::Transform(lowerish, 10, 0, -100, rng, 1.5, 3);
    EXPECT_GE(Score(placed::Record(upper), placed::Record(moved)), threshold) << "seed " << seed;
  }
}

#if DL_COUNT_ALLOCATIONS
// A search compares a probe with every template of a gallery: a comparison
// with a work space made beforehand allocates nothing, mates and strangers
// alike.
TEST(Matcher, AComparisonWithItsWorkSpaceAllocatesNothing) {
  const auto fingers = Fingers(40, 71);
  std::vector<Bytes> blocks;
  for (const auto& f : fingers) blocks.push_back(Block(f));
  std::mt19937 rng(3);
  const Bytes probeRecord = placed::Record(placed::Corrupt(placed::Transform(Minutiae(71), 20, 10, -10, rng, 3, 6), 0.15, 4, rng));
  matching::TProbe probe(probeRecord.data(), probeRecord.size());
  matching::TComparison c;
  long scored = 0;
  const long before = g_allocations;
  for (const auto& b : blocks) scored += c.Score(probe, b.data());
  EXPECT_EQ(g_allocations, before) << "allocations in " << blocks.size() << " comparisons";
  EXPECT_GT(scored, 0);
}
#endif

TEST(Matcher, ScoreIsSymmetricAndTheSameFromAReusedWorkSpace) {
  const auto fingers = Fingers(8, 9);
  std::vector<Bytes> all = fingers;
  std::mt19937 rng(4);
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    const auto m = Minutiae(seed);
    all.push_back(placed::Record(m));
    all.push_back(placed::Record(placed::Corrupt(placed::Transform(m, 17, -20, 33, rng, 2, 3), 0.15, 6, rng)));
  }
  std::vector<matching::TProbe> probes;
  std::vector<Bytes> blocks;
  for (const auto& t : all) {
    probes.emplace_back(t.data(), t.size());
    blocks.push_back(Block(t));
  }
  matching::TComparison reused;
  for (size_t i = 0; i < all.size(); ++i)
    for (size_t j = 0; j < all.size(); ++j) {
      const int ij = reused.Score(probes[i], blocks[j].data());
      ASSERT_EQ(ij, reused.Score(probes[j], blocks[i].data())) << i << " and " << j;
      if (i == j + 1) {
        matching::TComparison fresh;
        ASSERT_EQ(ij, fresh.Score(probes[i], blocks[j].data())) << i << " and " << j << ": a fresh work space differs";
      }
    }
}

// The SSE2 paths of a comparison (where the build has them) against the plain
// code: every score and what it is made of, on genuine pairs turned and moved
// towards the coordinate range's edges, on impostors, and under tolerances
// that the evaluation tools vary, some beyond what the SSE2 paths take (they
// then give way to the plain code).
TEST(Matcher, VectorPathsScoreAsThePlainCode) {
  std::mt19937 rng(21);
  std::vector<Bytes> all;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    const auto m = Minutiae(100 + seed);
    all.push_back(placed::Record(m));
    all.push_back(placed::Record(placed::Corrupt(placed::Transform(m, 35.0 * seed - 200, 0, 0, rng, 3, 6), 0.2, 8, rng)));
    // Pushed against the range's corners (minutiae beyond it are left out).
    all.push_back(placed::Record(placed::Transform(m, 170, seed % 2 ? -190 : 1850, seed % 3 ? -180 : 1855, rng, 2, 4)));
  }
  for (const auto& f : Fingers(12, 23)) all.push_back(f);
  struct TTolerances {
    int PosTol, PosTolMax, GrowthDen, PairAngleTol, AlphaTol, BetaTol;
  };
  const TTolerances variants[] = {{10, 28, 156, 341, 14, 14}, {4, 45, 20, 2048, 30, 3}, {12, 60, 156, 341, 140, 14}, {40, 40, 1, 90, 0, 200}};
  const matching::TTuning saved = matching::Tuning();
  for (const TTolerances& v : variants) {
    matching::TTuning& t = matching::Tuning();
    t.PosTol = v.PosTol, t.PosTolMax = v.PosTolMax, t.GrowthDen = v.GrowthDen, t.PairAngleTol = v.PairAngleTol;
    t.AlphaTol = v.AlphaTol, t.BetaTol = v.BetaTol;
    std::vector<matching::TProbe> probes;
    std::vector<Bytes> blocks;
    for (const auto& r : all) {
      probes.emplace_back(r.data(), r.size());
      blocks.push_back(Block(r));
    }
    matching::TComparison vector, plain;
    for (size_t i = 0; i < all.size(); ++i)
      for (size_t j = 0; j < all.size(); ++j) {
        matching::VectorPaths() = true;
        const int a = vector.Score(probes[i], blocks[j].data());
        matching::VectorPaths() = false;
        const int b = plain.Score(probes[i], blocks[j].data());
        matching::VectorPaths() = true;
        const auto &x = vector.Last(), &y = plain.Last();
        ASSERT_EQ(a, b) << i << " against " << j << ", position tolerance " << v.PosTol;
        ASSERT_TRUE(x.Paired == y.Paired && x.Weight == y.Weight && x.InP == y.InP && x.InC == y.InC && x.Supported == y.Supported &&
                    x.Supported2 == y.Supported2 && x.SupportEdges == y.SupportEdges && x.SupportWeight == y.SupportWeight &&
                    x.Anchor == y.Anchor)
            << i << " against " << j;
        for (int k = 0; k < probes[i].Template().Count; ++k) ASSERT_EQ(vector.PairOf(k), plain.PairOf(k)) << i << " against " << j;
      }
  }
  matching::Tuning() = saved;
}

// Inputs the matcher fuzzer found scoring differently one way and the other:
// both cut as the fuzzer cuts them, compared with fresh and with reused work
// spaces.
TEST(Matcher, FuzzedPairsScoreTheSameBothWays) {
  for (const char* name : {"asymmetric-1.bin", "asymmetric-2.bin", "asymmetric-3.bin"}) {
    std::ifstream f(std::string(DL_MATCHING_DATA) + "/" + name, std::ios::binary);
    ASSERT_TRUE(f) << name;
    const Bytes data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_GE(data.size(), 3u);
    const size_t cut = (data[0] | size_t{data[1]} << 8) % (data.size() - 1);
    const Bytes a(data.begin() + 2, data.begin() + 2 + cut), b(data.begin() + 2 + cut, data.end());
    auto score = [](const Bytes& p, const Bytes& c, matching::TComparison& work) {
      try {
        matching::TProbe probe(p.data(), p.size());
        Bytes block;
        matching::PrepareTemplate(c.data(), c.size(), block);
        return work.Score(probe, block.data());
      } catch (const matching::EMatching&) {
        return -1;
      }
    };
    matching::TComparison fresh1, fresh2, reused;
    const int ab = score(a, b, fresh1), ba = score(b, a, fresh2);
    EXPECT_EQ(ab, ba) << name;
    EXPECT_EQ(ab, score(a, b, reused)) << name;
    EXPECT_EQ(ba, score(b, a, reused)) << name;
  }
}

TEST(Matcher, ImpostorsOfTheEvaluationSetPassAtAboutTheMeasuredRates) {
  const auto templates = EvaluationSubset();
  ASSERT_EQ(templates.size(), 120u) << "test data missing or cut short";
  std::vector<Bytes> blocks;
  for (const auto& t : templates) blocks.push_back(Block(t));
  matching::TComparison c;
  long pairs = 0, above3 = 0, above2 = 0;
  for (size_t i = 0; i < templates.size(); ++i) {
    const matching::TProbe probe(templates[i].data(), templates[i].size());
    for (size_t j = i + 1; j < templates.size(); ++j, ++pairs) {
      const int s = c.Score(probe, blocks[j].data());
      above3 += s >= matching::Threshold(1e-3);
      above2 += s >= matching::Threshold(1e-2);
    }
  }
  // 7,140 pairs. The thresholds keep their rates on real prints; the
  // generated fingers share one generator's ridge period, so that the period
  // cue does not tell them apart, and their impostors pass more often: 20
  // above threshold(1e-3) and 189 above threshold(1e-2) when measured. The
  // bounds leave room for a change of about 2 and 1.3 times, no more.
  // The counts go into the test report, to be compared between platforms.
  RecordProperty("above_threshold_1e-3", static_cast<int>(above3));
  RecordProperty("above_threshold_1e-2", static_cast<int>(above2));
  EXPECT_LE(above3, pairs * 6 / 1000) << above3 << " of " << pairs;
  EXPECT_LE(above2, pairs * 35 / 1000) << above2 << " of " << pairs;
}

// The same minutiae with their ridge periods (the G byte, tenths of a pixel):
// a print of the same finger has about the same period at each minutia.
Bytes WithPeriods(const std::vector<placed::Minutia>& m, int period) {
  Bytes rec = placed::Record(m);
  Bytes out(rec.begin(), rec.begin() + 26);
  out[22] = 4;  // G byte present
  out[25] = 5;
  for (size_t k = 0; k < m.size(); ++k) {
    out.insert(out.end(), rec.begin() + 26 + 4 * static_cast<std::ptrdiff_t>(k), rec.begin() + 30 + 4 * static_cast<std::ptrdiff_t>(k));
    out.push_back(static_cast<uint8_t>(period));
  }
  out.insert(out.end(), rec.begin() + 26 + 4 * static_cast<std::ptrdiff_t>(m.size()), rec.end());
  return out;
}

TEST(Matcher, RidgePeriodsTooFarApartCountAgainstAPairing) {
  for (uint32_t seed = 300; seed < 310; ++seed) {
    const auto m = Minutiae(seed);
    std::mt19937 rng(seed);
    const auto moved = placed::Transform(m, 12, 15, -10, rng, 1, 2);
    const int same = Score(WithPeriods(m, 90), WithPeriods(moved, 95));
    const int unknown = Score(WithPeriods(m, 90), WithPeriods(moved, 255));
    const int apart = Score(WithPeriods(m, 60), WithPeriods(moved, 120));
    EXPECT_GE(same, matching::Threshold(1e-4)) << "seed " << seed;
    EXPECT_GE(unknown, same) << "seed " << seed << ": an unknown period costs nothing";
    EXPECT_LT(apart, matching::Threshold(1e-2)) << "seed " << seed << ": periods 6 and 12 pixels are not one finger";
  }
}

TEST(Matcher, MalformedTemplatesAreRefusedWithAMessage) {
  const Bytes good = placed::Record(Minutiae(5));
  auto message = [](const Bytes& b) -> std::string {
    try {
      matching::CheckTemplate(b.data(), b.size());
    } catch (const matching::EMatching& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_NE(message({}).find("empty"), std::string::npos);
  EXPECT_NE(message(Bytes(good.begin(), good.begin() + 20)).find("shorter than the 26 bytes"), std::string::npos);
  // Cut inside the minutiae, at every length up to the last minutia.
  for (size_t n = 26; n < 26 + 4 * size_t{good[24]}; ++n)
    EXPECT_NE(message(Bytes(good.begin(), good.begin() + n)).find("run past its end"), std::string::npos) << n;
  EXPECT_THROW(Score(good, Bytes(good.begin(), good.begin() + 40)), matching::EMatching);
  EXPECT_THROW(matching::TProbe(nullptr, 0), matching::EMatching);
}

TEST(Matcher, TemplatesWithoutCommonGroundScoreZero) {
  const Bytes none = placed::Record({});
  const Bytes one = placed::Record({{100, 100, 1, 10}});
  const Bytes good = placed::Record(Minutiae(6));
  EXPECT_EQ(Score(none, good), 0);
  EXPECT_EQ(Score(good, none), 0);
  EXPECT_EQ(Score(none, none), 0);
  EXPECT_EQ(Score(one, one), 0);
  // Minutiae at the far corners of the coordinate range stay within the work space.
  const Bytes corners = placed::Record({{0, 0, 1, 0}, {2047, 2047, 2, 128}, {0, 2047, 1, 64}, {2047, 0, 2, 200},
                                        {1024, 1024, 1, 32}, {1030, 1024, 1, 30}});
  EXPECT_EQ(Score(corners, good), Score(good, corners));
  EXPECT_GT(Score(corners, corners), 0);
}

// The fewest minutiae a template needs: with that many, well spread, a
// template reaches the lowest threshold against itself; with one fewer no
// comparison can.
TEST(Matcher, LeastUsableMinutiaeCanReachTheLowestThresholdAndOneFewerCannot) {
  const int least = matching::LeastUsableMinutiae();
  const int lowest = matching::Threshold(1);
  ASSERT_GE(least, 2);
  ASSERT_LE(least, 40);
  std::vector<placed::Minutia> spread;
  for (int k = 0; k < least; ++k) {  // on a circle of radius 110: neighbours within an edge's reach, hull large
    const double a = 2 * placed::kPi * k / least;
    spread.push_back({static_cast<int>(400 + 110 * std::cos(a)), static_cast<int>(400 + 110 * std::sin(a)), 1 + k % 2,
                      (k * 37) & 255});
  }
  const Bytes enough = placed::Record(spread);
  EXPECT_GE(Score(enough, enough), lowest);
  const Bytes fewer = placed::Record(std::vector<placed::Minutia>(spread.begin(), spread.end() - 1));
  EXPECT_LT(Score(fewer, fewer), lowest);
  for (uint32_t seed = 40; seed < 60; ++seed) {
    auto m = Minutiae(seed);
    m.resize(static_cast<size_t>(least - 1));
    const Bytes cut = placed::Record(m);
    EXPECT_LT(Score(cut, cut), lowest) << seed;
  }
}

TEST(Matcher, BlocksFromOutsideAreCheckedAgainstTheirOwnSizes) {
  const Bytes block = Block(placed::Record(Minutiae(7)));
  EXPECT_NO_THROW(matching::CheckBlock(block.data(), block.size()));
  const Bytes empty = Block(placed::Record({}));
  EXPECT_NO_THROW(matching::CheckBlock(empty.data(), empty.size()));
  EXPECT_THROW(matching::CheckBlock(block.data(), 8), matching::EMatching);
  EXPECT_THROW(matching::CheckBlock(block.data(), block.size() - 8), matching::EMatching);
  Bytes more = block;
  more[4] = static_cast<uint8_t>(more[4] + 1);  // one minutia more than its size holds
  EXPECT_THROW(matching::CheckBlock(more.data(), more.size()), matching::EMatching);
  const Bytes record = placed::Record(Minutiae(7));
  EXPECT_THROW(matching::CheckBlock(record.data(), record.size()), matching::EMatching);

  // The edges: each from its lower numbered end to a higher one, and no
  // minutia with more edges than the work space's slots.
  matching::TBlockHeader h;
  std::memcpy(&h, block.data(), sizeof h);
  ASSERT_GT(h.EdgeCount, 0);
  const size_t edges = sizeof h + (sizeof(matching::TPackedMinutia) + 1) * h.Count;
  Bytes back = block;
  back[edges] = 0;  // the first edge's far end: minutia 0, not above its owner
  EXPECT_THROW(matching::CheckBlock(back.data(), back.size()), matching::EMatching);
  Bytes beyond = block;
  beyond[edges] = static_cast<uint8_t>(h.Count);
  EXPECT_THROW(matching::CheckBlock(beyond.data(), beyond.size()), matching::EMatching);
  Bytes crowded = block;
  const size_t typeForward = sizeof h + sizeof(matching::TPackedMinutia) * h.Count;
  crowded[typeForward] = static_cast<uint8_t>((crowded[typeForward] & 3) | (40 << 2));  // more edges than the block holds
  EXPECT_THROW(matching::CheckBlock(crowded.data(), crowded.size()), matching::EMatching);

  // An edge's length comes from its ends, so they must be apart and no
  // farther than the longest edge: moving the first edge's far end onto its
  // owner, or far away, is refused (a length outside the lengths' table).
  const int owner = [&] {
    for (int i = 0; i < h.Count; ++i)
      if (block[typeForward + i] >> 2) return i;
    return -1;
  }();
  ASSERT_GE(owner, 0);
  size_t first = edges;
  for (int i = 0; i < owner; ++i) first += sizeof(matching::TPackedEdge) * (block[typeForward + i] >> 2);
  const int far = block[first];
  auto moved = [&](int16_t x, int16_t y) {
    Bytes b = block;
    matching::TPackedMinutia pm;
    const size_t at = sizeof h + sizeof pm * static_cast<size_t>(far);
    std::memcpy(&pm, b.data() + at, sizeof pm);
    pm.X = x;
    pm.Y = y;
    std::memcpy(b.data() + at, &pm, sizeof pm);
    return b;
  };
  matching::TPackedMinutia o;
  std::memcpy(&o, block.data() + sizeof h + sizeof o * static_cast<size_t>(owner), sizeof o);
  for (const Bytes& b : {moved(o.X, o.Y), moved(static_cast<int16_t>(o.X + 256), o.Y), moved(static_cast<int16_t>(o.X - 30000), o.Y)})
    EXPECT_THROW(matching::CheckBlock(b.data(), b.size()), matching::EMatching);
  EXPECT_NO_THROW(matching::CheckBlock(block.data(), block.size()));
}

// Edges keep no length in the block; unpacked, each has the rounded distance
// of its ends, seen from either end.
TEST(Matcher, UnpackedEdgesHaveTheDistanceOfTheirEnds) {
  std::mt19937 rng(5);
  matching::TUnpacked unpacked;
  for (int k = 0; k < 10; ++k) {
    const Bytes block = Block(placed::Record(placed::Finger(rng)));
    const matching::TTemplateView& v = unpacked.Unpack(block.data());
    int seen = 0;
    for (int i = 0; i < v.Count; ++i)
      for (int s = 0; s < matching::kMaxNeighbours && v.Edges[i * matching::kMaxNeighbours + s].Length; ++s, ++seen) {
        const matching::TEdge& e = v.Edges[i * matching::kMaxNeighbours + s];
        const double d = std::hypot(v.Minutiae[e.To].X - v.Minutiae[i].X, v.Minutiae[e.To].Y - v.Minutiae[i].Y);
        EXPECT_EQ(e.Length, static_cast<int>(std::floor(d + 0.5))) << k << " " << i;
      }
    EXPECT_EQ(seen, 2 * v.LinkCount);
    for (int l = 0; l < v.LinkCount; ++l) {
      const matching::TLink& x = v.Links[l];
      EXPECT_EQ(x.Length, static_cast<int>(std::floor(std::hypot(v.Minutiae[x.To].X - v.Minutiae[x.From].X,
                                                                  v.Minutiae[x.To].Y - v.Minutiae[x.From].Y) + 0.5)));
    }
  }
}

// The gallery keeps blocks: about 20 bytes a minutia (edges once for both
// ends and without their lengths, small fields), so that a block and its
// filter key stay below the 2 KB a template that a base of a million may take.
TEST(Matcher, BlocksOfFiftyMinutiaeStayCompact) {
  std::mt19937 rng(21);
  int checked = 0;
  for (int k = 0; k < 40; ++k) {
    auto m = placed::Finger(rng);
    if (m.size() < 50) continue;
    m.resize(50);
    const Bytes block = Block(placed::Record(m));
    EXPECT_LE(block.size(), 1100u);
    ++checked;
  }
  EXPECT_GT(checked, 5);
}

TEST(Threshold, DocumentedRatesInterpolatedBetweenAndClampedOutside) {
  const int t2 = matching::Threshold(1e-2), t3 = matching::Threshold(1e-3), t4 = matching::Threshold(1e-4);
  EXPECT_LT(t2, t3);
  EXPECT_LT(t3, t4);
  EXPECT_EQ(matching::Threshold(0.5), t2);
  EXPECT_EQ(matching::Threshold(1e-9), t4);
  EXPECT_EQ(matching::Threshold(0), t4);
  EXPECT_EQ(matching::Threshold(-1), t4);
  const int mid = matching::Threshold(3e-3);
  EXPECT_GT(mid, t2);
  EXPECT_LT(mid, t3);
  int last = 0;
  for (double r = 2e-2; r > 5e-5; r *= 0.9) {
    EXPECT_GE(matching::Threshold(r), last) << r;
    last = matching::Threshold(r);
  }
}

TEST(Gallery, IdentifyFindsTheFingerBestFirstAndForgetsRemovedOnes) {
  matching::TGallery g;
  const auto fingers = Fingers(300, 21);
  for (size_t i = 0; i < fingers.size(); ++i) g.Add(static_cast<int64_t>(i) + 1000, fingers[i].data(), fingers[i].size());
  EXPECT_THROW(g.Add(1000, fingers[0].data(), fingers[0].size()), matching::EMatching);
  EXPECT_EQ(g.Count(), 300u);
  // The accounting counts at least every prepared block and their ids.
  size_t blocks = 0;
  for (const auto& f : fingers) blocks += Block(f).size();
  const size_t held = g.MemoryBytes();
  EXPECT_GE(held, blocks + 300 * (sizeof(int64_t) + sizeof(size_t)));
  EXPECT_LT(held, 3 * blocks);
  // The first finger Fingers made, rebuilt the same way and seen again.
  std::mt19937 rng(8), r21(21);
  const auto m0 = placed::Finger(r21);
  const auto probe0 = placed::Record(placed::Transform(m0, 12, 10, 5, rng, 1.5, 2));
  for (unsigned threads : {1u, 2u, 5u}) {
    const auto found = g.Identify(probe0.data(), probe0.size(), 5, 0, threads);
    ASSERT_EQ(found.size(), 5u);
    EXPECT_EQ(found[0].Id, 1000);
    for (size_t k = 1; k < found.size(); ++k) EXPECT_GE(found[k - 1].Score, found[k].Score);
  }
  EXPECT_EQ(g.Identify(probe0.data(), probe0.size(), 5, 0, 1).size(), 5u);
  const auto strict = g.Identify(probe0.data(), probe0.size(), 5, matching::Threshold(1e-3));
  ASSERT_GE(strict.size(), 1u);
  for (const auto& c : strict) EXPECT_GE(c.Score, matching::Threshold(1e-3));
  // Removing most of the gallery compacts it; the rest is still found.
  for (int64_t id = 1000; id < 1250; ++id) EXPECT_TRUE(g.Remove(id));
  EXPECT_FALSE(g.Remove(1000));
  EXPECT_EQ(g.Count(), 50u);
  for (const auto& c : g.Identify(probe0.data(), probe0.size(), 50, 0)) EXPECT_GE(c.Id, 1250);
  const auto last = fingers[299];
  const auto again = g.Identify(last.data(), last.size(), 1, 0);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].Id, 1299);
}

TEST(Gallery, ApplyMakesChangesInOrderAndStopsAtTheOneThatFails) {
  matching::TGallery g;
  const auto f = Fingers(3, 35);
  const Bytes a = Block(f[0]), b = Block(f[1]), c = Block(f[2]);
  size_t applied = 99;
  // Added and removed within one batch: gone; removed and added again: there.
  const matching::TChange first[] = {{1, a.data()}, {2, b.data()}, {1, nullptr}, {2, nullptr}, {2, c.data()}};
  g.Apply(first, 5, applied);
  EXPECT_EQ(applied, 5u);
  EXPECT_EQ(g.Count(), 1u);
  auto found = g.Identify(f[2].data(), f[2].size(), 5, 1);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Id, 2);
  const matching::TChange second[] = {{3, a.data()}, {2, b.data()}, {4, b.data()}};
  EXPECT_THROW(g.Apply(second, 3, applied), matching::EMatching);
  EXPECT_EQ(applied, 1u);  // 3 added, 2 already there, 4 not tried
  EXPECT_EQ(g.Count(), 2u);
  found = g.Identify(f[0].data(), f[0].size(), 1, 1);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Id, 3);
  EXPECT_TRUE(g.Identify(f[1].data(), f[1].size(), 5, matching::Threshold(1e-2)).empty());
}

TEST(Gallery, EqualScoresComeInOrderOfId) {
  matching::TGallery g;
  const auto f = Fingers(1, 33)[0];
  for (int64_t id : {9, 3, 7, 1}) g.Add(id, f.data(), f.size());
  const auto found = g.Identify(f.data(), f.size(), 3, 0);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].Id, 1);
  EXPECT_EQ(found[1].Id, 3);
  EXPECT_EQ(found[2].Id, 7);
  EXPECT_TRUE(g.Identify(f.data(), f.size(), 0, 0).empty());
}

}  // namespace

// The derivation of the shipped thresholds (tools/real-eval/rates.h).
TEST(ThresholdDerivation, QuantilesBelowAndTheGeneratedTailsShapeBeyond) {
  realeval::Scores s;
  for (int k = 0; k < 10000; ++k) s.Add(false, k % 1000);  // ten of each score 0..999
  s.Sort();
  const realeval::FarTail tail{100, 150, 250};  // 100 points from 1e-3 to 1e-4, twice 1e-2 to 1e-3
  const realeval::Thresholds t = realeval::DeriveThresholds(s, tail);
  EXPECT_EQ(t.t2, 990);  // 100 of 10,000 reach it
  EXPECT_EQ(t.t3, 999);  // 10 reach 999, none reach 1000
  EXPECT_EQ(t.t4, 999 + 18);  // (999 - 990) * 100 / 50
  EXPECT_LE(s.Fmr(t.t2), 1e-2);
  EXPECT_LE(s.Fmr(t.t3), 1e-3);
  // Without a tail, 1e-4 is the empirical quantile, still above 1e-3.
  const realeval::Thresholds rough = realeval::DeriveThresholds(s, realeval::FarTail{});
  EXPECT_GT(rough.t4, rough.t3);
  // A tail that is not ascending is no tail.
  EXPECT_FALSE((realeval::FarTail{150, 100, 250}).Valid());
}
