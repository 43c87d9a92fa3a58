// The filter in front of the full comparison: what a filtered search keeps
// of the full search's result, and the gallery's memory per template.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "matching/Filter.h"
#include "matching/Gallery.h"
#include "matching/Matcher.h"
#include "placed.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Block(const Bytes& record) {
  Bytes block;
  matching::PrepareTemplate(record.data(), record.size(), block);
  return block;
}

// Sets how large galleries are searched for one test, and puts it back.
class TSearchAs {
 public:
  TSearchAs(size_t from, size_t least, int perMille) : FSaved(matching::SearchTuning()) {
    auto& t = matching::SearchTuning();
    t.FilterFrom = from;
    t.Least = least;
    t.KeepPerMille = perMille;
  }
  ~TSearchAs() { matching::SearchTuning() = FSaved; }

 private:
  matching::TSearchTuning FSaved;
};

struct TSet {
  std::vector<std::vector<placed::Minutia>> Minutiae;
  std::vector<Bytes> Records;
};

TSet Fingers(int n, uint32_t seed) {
  TSet s;
  std::mt19937 rng(seed);
  for (int i = 0; i < n; ++i) {
    s.Minutiae.push_back(placed::Finger(rng));
    s.Records.push_back(placed::Record(s.Minutiae.back()));
  }
  return s;
}

// Another impression as an extractor gives it: turned, moved, every minutia a
// little off, some lost and some spurious.
Bytes Impression(const std::vector<placed::Minutia>& m, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-1, 1);
  const auto moved = placed::Transform(m, 30 * u(rng), static_cast<int>(20 * u(rng)), static_cast<int>(20 * u(rng)), rng, 3, 6);
  return placed::Record(placed::Corrupt(moved, 0.15, 4, rng));
}

TEST(Filter, KeysAreDistinctTrianglesThatTurnWithTheFinger) {
  const TSet s = Fingers(20, 41);
  std::mt19937 rng(5);
  for (size_t i = 0; i < s.Records.size(); ++i) {
    Bytes key, again, shifted, turned;
    matching::MakeFilterKey(Block(s.Records[i]).data(), key);
    matching::MakeFilterKey(Block(s.Records[i]).data(), again);
    EXPECT_EQ(key, again);
    const std::vector<uint32_t> tri = matching::UnpackFilterKey(key.data(), key.size());
    ASSERT_GT(tri.size(), 100u);
    EXPECT_EQ(tri.size(), size_t{key[0]} | size_t{key[1]} << 8);
    EXPECT_TRUE(std::is_sorted(tri.begin(), tri.end()));
    EXPECT_EQ(std::adjacent_find(tri.begin(), tri.end()), tri.end());
    // Packed: the cells as byte gaps beside 4-bit turns.
    EXPECT_LT(key.size(), tri.size() * 9 / 5 + 8) << tri.size() << " triangles";
    // Shifts and quarter turns move no minutia off the pixel grid: the same
    // cells, and after a quarter turn every triangle's turn a quarter on.
    matching::MakeFilterKey(Block(placed::Record(placed::Transform(s.Minutiae[i], 0, 17, -9, rng))).data(), shifted);
    EXPECT_EQ(key, shifted) << i;
    matching::MakeFilterKey(Block(placed::Record(placed::Transform(s.Minutiae[i], 90, 17, -9, rng))).data(), turned);
    std::vector<uint32_t> back = matching::UnpackFilterKey(turned.data(), turned.size());
    for (uint32_t& t : back) t = (t & ~15u) | ((t + 16 - 4) & 15);
    std::sort(back.begin(), back.end());
    EXPECT_EQ(tri, back) << i;
  }
}

// A key cut short, or whose counts say more than it holds, is no key: it
// gives no triangles and the lowest score, and nothing past it is read.
TEST(Filter, KeyCutShortOrOverstatedIsRefusedWhole) {
  const TSet s = Fingers(2, 45);
  Bytes key;
  matching::MakeFilterKey(Block(s.Records[0]).data(), key);
  matching::TFilterProbe f;
  f.Prepare(Block(s.Records[1]).data());
  EXPECT_GT(f.Score(key.data(), key.size()), INT32_MIN);
  for (size_t cut = 0; cut < key.size(); ++cut) {
    const Bytes part(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(cut));  // exactly sized: ASan sees a read past it
    EXPECT_TRUE(matching::UnpackFilterKey(part.data(), part.size()).empty()) << cut;
    EXPECT_EQ(f.Score(part.data(), part.size()), INT32_MIN) << cut;
  }
  Bytes more = key;
  more[2] = 0xFF, more[3] = 0xFF;  // gap bytes
  EXPECT_EQ(f.Score(more.data(), more.size()), INT32_MIN);
  more = key;
  more[0] = more[2], more[1] = more[3];  // as many triangles as gap bytes: fine, if unlikely
  EXPECT_GT(f.Score(more.data(), more.size()), INT32_MIN);
  more[0] = 0xFF, more[1] = 0x7F;  // more triangles than a key holds
  EXPECT_EQ(f.Score(more.data(), more.size()), INT32_MIN);
}

TEST(Filter, RanksTheMateAboveNearlyEveryOtherFinger) {
  const TSet s = Fingers(600, 43);
  std::vector<Bytes> keys(s.Records.size());
  for (size_t i = 0; i < keys.size(); ++i) matching::MakeFilterKey(Block(s.Records[i]).data(), keys[i]);
  std::mt19937 rng(9);
  int within = 0;
  const int probes = 60;
  for (int p = 0; p < probes; ++p) {
    matching::TFilterProbe f;
    f.Prepare(Block(Impression(s.Minutiae[static_cast<size_t>(p)], rng)).data());
    const int32_t mate = f.Score(keys[static_cast<size_t>(p)].data(), keys[static_cast<size_t>(p)].size());
    int above = 0;
    for (const auto& k : keys) above += f.Score(k.data(), k.size()) > mate;
    within += above < 12;  // the best 2 %
  }
  EXPECT_GE(within, probes - 1);
}

TEST(Filter, FilteredSearchGivesTheFullSearchResultAndItsScores) {
  const TSet s = Fingers(1500, 47);
  matching::TGallery g;
  {
    TSearchAs keys(1000, 20, 20);  // the gallery large enough for keys
    for (size_t i = 0; i < s.Records.size(); ++i) g.Add(static_cast<int64_t>(i), s.Records[i].data(), s.Records[i].size());
  }
  ASSERT_EQ(g.MakeKeys(), 0u);  // all of them now, so that each search ranks the same
  std::mt19937 rng(11);
  int same = 0;
  const int probes = 20;
  for (int p = 0; p < probes; ++p) {
    const Bytes probe = Impression(s.Minutiae[static_cast<size_t>(p) * 75], rng);
    std::vector<matching::TCandidate> full, filtered, again;
    {
      TSearchAs all(SIZE_MAX, 0, 0);
      full = g.Identify(probe.data(), probe.size(), 5, 0, 2);
    }
    {
      TSearchAs shortlist(1000, 20, 20);  // 30 of 1500 compared in full
      filtered = g.Identify(probe.data(), probe.size(), 5, 0, 1);
      again = g.Identify(probe.data(), probe.size(), 5, 0, 3);
    }
    ASSERT_FALSE(full.empty());
    ASSERT_FALSE(filtered.empty());
    EXPECT_EQ(full[0].Id, p * 75) << "the full search misses probe " << p;
    same += filtered[0].Id == full[0].Id && filtered[0].Score == full[0].Score;
    // Whatever the filtered search compares scores as in the full search.
    for (const auto& c : filtered)
      for (const auto& d : full)
        if (c.Id == d.Id) {
          EXPECT_EQ(c.Score, d.Score);
        }
    // The same on any number of threads.
    ASSERT_EQ(filtered.size(), again.size());
    for (size_t k = 0; k < filtered.size(); ++k) EXPECT_TRUE(filtered[k].Id == again[k].Id && filtered[k].Score == again[k].Score);
  }
  EXPECT_GE(same, probes - 1);
}

// Galleries from 20,000 templates are filtered; smaller ones make no keys.
TEST(Filter, IsOnForLargeGalleriesOnly) {
  EXPECT_EQ(matching::SearchTuning().FilterFrom, matching::kFilterFrom);
  const TSet s = Fingers(50, 63);
  matching::TGallery g;
  for (size_t i = 0; i < s.Records.size(); ++i) g.Add(static_cast<int64_t>(i), s.Records[i].data(), s.Records[i].size());
  Bytes key;
  EXPECT_EQ(g.KeysPending(), 50u);
  EXPECT_FALSE(g.KeyOf(0, key));
}

// A template whose key is not made yet is compared in full by a filtered
// search, so the search loses none of them; once made, each key is the one
// its block gives, and a large gallery makes them in the background.
TEST(Filter, KeysAreMadeInTheBackgroundAndUntilThenTemplatesAreComparedInFull) {
  const TSet s = Fingers(300, 61);
  matching::TGallery g;
  for (size_t i = 0; i < 300; ++i) g.Add(static_cast<int64_t>(i), s.Records[i].data(), s.Records[i].size());
  ASSERT_EQ(g.KeysPending(), 300u);  // the gallery was small while they came
  std::mt19937 rng(5);
  for (int p = 0; p < 200; p += 40) {
    const Bytes probe = Impression(s.Minutiae[static_cast<size_t>(p)], rng);
    std::vector<matching::TCandidate> full, filtered;
    full = g.Identify(probe.data(), probe.size(), 10, 0, 2);
    {
      TSearchAs shortlist(10, 5, 20);
      filtered = g.Identify(probe.data(), probe.size(), 10, 0, 2);
    }
    ASSERT_EQ(filtered.size(), full.size());
    for (size_t k = 0; k < full.size(); ++k) EXPECT_TRUE(filtered[k].Id == full[k].Id && filtered[k].Score == full[k].Score);
  }
  {
    // One more add, into a gallery that counts as large now: the keyer makes
    // the keys of all of them.
    TSearchAs large(300, 5, 20);
    const Bytes more = placed::Record(placed::Finger(rng));
    g.Add(300, more.data(), more.size());
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);  // idle cores only: slow under load
  while (g.KeysPending() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(g.KeysPending(), 0u);
  for (size_t i = 0; i < 300; ++i) {
    Bytes held, made;
    ASSERT_TRUE(g.KeyOf(static_cast<int64_t>(i), held));
    matching::MakeFilterKey(Block(s.Records[i]).data(), made);
    EXPECT_EQ(held, made) << i;
  }
}

// As a small gallery runs (no keys), and what the keys add to a large one.
TEST(Gallery, HoldsAtMostTwoKilobytesPerTemplate) {
  const TSet s = Fingers(2500, 53);
  {
    matching::TGallery k;
    size_t content = 0, keyBytes = 0, triangles = 0;
    for (size_t i = 0; i < s.Records.size(); ++i) {
      const Bytes b = Block(s.Records[i]);
      Bytes key;
      keyBytes += matching::MakeFilterKey(b.data(), key);
      triangles += matching::UnpackFilterKey(key.data(), key.size()).size();
      content += b.size() + (key.size() + 7) / 8 * 8;
      k.AddBlock(static_cast<int64_t>(i), b.data());
    }
    ASSERT_EQ(k.MakeKeys(), 0u);
    // Each key held once, packed, beside its block; the chunks' room to grow
    // at most an eighth of what they hold.
    EXPECT_GE(k.MemoryBytes(), content);
    EXPECT_LT(static_cast<double>(k.MemoryBytes()), 1.125 * static_cast<double>(content) + 100.0 * 2500);
    EXPECT_LT(keyBytes, triangles * 9 / 5);
  }
  matching::TGallery g;
  size_t blocks = 0;
  for (size_t i = 0; i < s.Records.size(); ++i) {
    const Bytes b = Block(s.Records[i]);
    g.AddBlock(static_cast<int64_t>(i), b.data());
    blocks += b.size();
  }
  const double per = static_cast<double>(g.MemoryBytes()) / static_cast<double>(g.Count());
  EXPECT_LT(per, 2048) << "blocks alone average " << blocks / s.Records.size() << ", held " << g.MemoryBytes();
  EXPECT_GT(g.MemoryBytes(), blocks);
  // Removed templates leave at most a quarter of what is held behind: after
  // removing half and adding them back, at most a third more.
  for (int64_t id = 0; id < 2500; id += 2) ASSERT_TRUE(g.Remove(id));
  for (int64_t id = 0; id < 2500; id += 2) g.Add(id, s.Records[static_cast<size_t>(id)].data(), s.Records[static_cast<size_t>(id)].size());
  EXPECT_LT(static_cast<double>(g.MemoryBytes()) / static_cast<double>(g.Count()), per * 4 / 3 + 64);
  // Reserving for a known count first leaves the id tables as they are.
  matching::TGallery r;
  r.Reserve(2500);
  EXPECT_GT(r.MemoryBytes(), 2500 * sizeof(int64_t));
  for (size_t i = 0; i < 2500; ++i) r.Add(static_cast<int64_t>(i), s.Records[i].data(), s.Records[i].size());
  EXPECT_LT(static_cast<double>(r.MemoryBytes()) / 2500.0, 2048);
}

}  // namespace
