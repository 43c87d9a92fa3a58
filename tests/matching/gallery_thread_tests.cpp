// The gallery used from several threads at once: one enrolls and removes while
// others identify (each identification itself on several threads).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define DL_UNDER_ASAN 1
#include <stdlib.h>  // setenv: the sanitizer builds are POSIX only
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DL_UNDER_ASAN 1
#include <stdlib.h>
#endif
#endif

#include "matching/Filter.h"
#include "matching/Gallery.h"
#include "matching/Matcher.h"
#include "matching/WriterFirstLock.h"
#include "placed.h"

namespace {

std::vector<std::vector<uint8_t>> Fingers(int n, unsigned seed) {
  std::vector<std::vector<uint8_t>> out;
  std::mt19937 rng(seed);
  for (int i = 0; i < n; ++i) out.push_back(placed::Record(placed::Finger(rng)));
  return out;
}

TEST(GalleryThreads, IdentifyWhileAddingAndRemoving) {
  const auto fingers = Fingers(120, 12);
  matching::TGallery g;
  for (int i = 0; i < 60; ++i) g.Add(i, fingers[i].data(), fingers[i].size());

  std::mutex m;
  std::vector<std::string> failures;
  std::thread writer([&] {
    for (int i = 60; i < 120; ++i) {
      g.Add(i, fingers[i].data(), fingers[i].size());
      if (i % 2 == 0) g.Remove(i - 60);  // removals also compact the gallery now and then
    }
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&, t] {
      // Templates 30..59 with an odd number stay enrolled throughout.
      for (int k = 31 + t * 2; k < 60; k += 4) {
        const auto found = g.Identify(fingers[k].data(), fingers[k].size(), 1, 1, 3);
        if (found.empty() || found[0].Id != k) {
          std::lock_guard<std::mutex> lock(m);
          failures.push_back("template " + std::to_string(k) + " not found first");
        }
      }
    });
  writer.join();
  for (auto& r : readers) r.join();
  for (const auto& f : failures) ADD_FAILURE() << f;
  EXPECT_EQ(g.Count(), 90u);
}

// A base's opening: templates prepared on several threads, added in order.
// The gallery must come out as one made by single adds, and the batch's bad
// entries (not a template, an id already there) are left out alone.
TEST(GalleryThreads, AddAllPreparesInParallelAndLeavesOutOnlyTheBadOnes) {
  const auto fingers = Fingers(80, 31);
  const std::vector<uint8_t> junk = {1, 2, 3, 4, 5};
  std::vector<matching::TGallery::TStored> stored;
  for (int i = 0; i < 80; ++i) stored.push_back({i, fingers[i].data(), fingers[i].size()});
  stored.push_back({80, junk.data(), junk.size()});
  stored.push_back({81, nullptr, 0});
  stored.push_back({7, fingers[9].data(), fingers[9].size()});  // id 7 once more
  matching::TGallery all, one;
  std::vector<uint8_t> added;
  all.AddAll(stored.data(), stored.size(), added, 4);
  for (int i = 0; i < 80; ++i) one.Add(i, fingers[i].data(), fingers[i].size());
  ASSERT_EQ(added.size(), stored.size());
  for (size_t k = 0; k < stored.size(); ++k) EXPECT_EQ(added[k], k < 80 ? 1 : 0) << "entry " << k;
  EXPECT_EQ(all.Count(), 80u);
  EXPECT_LE(all.MemoryBytes(), one.MemoryBytes());  // the same templates, its tables grown at most as far
  for (int k = 0; k < 80; k += 7) {
    const auto a = all.Identify(fingers[k].data(), fingers[k].size(), 3, 1, 2);
    const auto b = one.Identify(fingers[k].data(), fingers[k].size(), 3, 1, 2);
    ASSERT_EQ(a.size(), b.size()) << "probe " << k;
    for (size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(a[i].Id, b[i].Id) << "probe " << k;
      EXPECT_EQ(a[i].Score, b[i].Score) << "probe " << k;
    }
  }
  // Added to while searched: the searches see the gallery before or after
  // the batch (template 1 first, its copy 101 tied behind it, or not yet).
  std::vector<matching::TGallery::TStored> more;
  for (int i = 0; i < 40; ++i) more.push_back({100 + i, fingers[i].data(), fingers[i].size()});
  std::thread searcher([&] {
    for (int k = 0; k < 6; ++k) {
      const auto found = all.Identify(fingers[1].data(), fingers[1].size(), 2, 1, 2);
      ASSERT_FALSE(found.empty());
      EXPECT_EQ(found[0].Id, 1);
      if (found.size() == 2 && found[1].Id == 101) {
        EXPECT_EQ(found[1].Score, found[0].Score);
      }
    }
  });
  all.AddAll(more.data(), more.size(), added, 2);
  searcher.join();
  EXPECT_EQ(all.Count(), 120u);
}

// The same with every search ranked by the filter first (the gallery counts
// as large): the filter's keys are added, moved by compaction and removed
// with their templates while searches read them.
TEST(GalleryThreads, FilteredSearchesWhileAddingAndRemoving) {
  const matching::TSearchTuning saved = matching::SearchTuning();
  matching::SearchTuning().FilterFrom = 40;
  matching::SearchTuning().Least = 8;
  const auto fingers = Fingers(160, 13);
  matching::TGallery g;
  for (int i = 0; i < 80; ++i) g.Add(i, fingers[i].data(), fingers[i].size());

  std::mutex m;
  std::vector<std::string> failures;
  std::thread writer([&] {
    for (int i = 80; i < 160; ++i) {
      g.Add(i, fingers[i].data(), fingers[i].size());
      if (i % 2 == 0) g.Remove(i - 80);  // removals compact the gallery now and then
    }
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&, t] {
      // Templates 40..79 with an odd number stay enrolled throughout.
      for (int k = 41 + t * 2; k < 80; k += 4) {
        const auto found = g.Identify(fingers[k].data(), fingers[k].size(), 1, 1, 2);
        if (found.empty() || found[0].Id != k) {
          std::lock_guard<std::mutex> lock(m);
          failures.push_back("template " + std::to_string(k) + " not found first");
        }
      }
    });
  writer.join();
  for (auto& r : readers) r.join();
  matching::SearchTuning() = saved;
  for (const auto& f : failures) ADD_FAILURE() << f;
  EXPECT_EQ(g.Count(), 120u);
}

// Three threads search back to back, so that a search is nearly always
// running, while templates are added and removed. A change may wait for the
// searches running when it starts, never for later ones: a search that starts
// while a change waits runs after it, and sees it. Each search checks this
// from its result (no clock involved): it looks for the template of the
// change under way, and if that change was pending when the search started,
// or had returned, the search must see the template added or removed. The
// readers give up after kGiveUp searches each, so that a change kept out
// fails the test instead of hanging it.
TEST(GalleryThreads, ChangesWaitOnlyForTheSearchesAlreadyRunning) {
  // At least kRounds rounds (an add and a remove each), more until some
  // search has met a waiting change: how often one does depends on the
  // scheduling (under TSan 4 rounds met none in about 1 run of 25).
  // Three readers: a search meets a waiting change when it starts while
  // another still runs, which two readers back to back rarely give.
  constexpr int kEnrolled = 200, kRounds = 4, kMaxRounds = 32, kGiveUp = 2000, kReaders = 3;
  const auto fingers = Fingers(kEnrolled + kMaxRounds, 31);
  matching::TGallery g;
  for (int i = 0; i < kEnrolled; ++i) g.Add(i, fingers[i].data(), fingers[i].size());

  // Change k: even k adds template kEnrolled + k/2, odd k removes template k.
  auto target = [&](int k) { return k % 2 == 0 ? kEnrolled + k / 2 : k; };
  std::atomic<int> current{0}, completed{-1};
  std::atomic<int> searches{0}, pendingSeen{0}, overtaken{0}, stale{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < kReaders; ++t)
    readers.emplace_back([&] {
      for (int n = 0; n < kGiveUp && !stop; ++n) {
        const int done = completed, k = current;
        const bool pending = g.ChangePending();
        const auto& probe = fingers[target(k)];
        const auto found = g.Identify(probe.data(), probe.size(), 1, 1, 1);
        const bool present = !found.empty() && found[0].Id == target(k);
        const bool changed = k % 2 == 0 ? present : !present;
        if (done >= k && !changed) ++stale;  // started after the change returned
        if (done < k && pending) {
          ++pendingSeen;
          if (!changed) ++overtaken;  // started while the change waited, ran before it
        }
        ++searches;
      }
    });
  while (searches < 4) std::this_thread::yield();
  for (int k = 0; k < 2 * kMaxRounds; ++k) {
    if (k % 2 == 0 && k >= 2 * kRounds && pendingSeen > 0) break;
    current = k;
    if (k % 2 == 0)
      g.Add(target(k), fingers[target(k)].data(), fingers[target(k)].size());
    else
      EXPECT_TRUE(g.Remove(target(k)));
    completed = k;
    // A few searches between changes, so that each change meets running ones.
    const int now = searches;
    while (searches < now + 4 && searches < kReaders * kGiveUp - 4) std::this_thread::yield();
  }
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(overtaken, 0) << "searches that started while a change waited and ran before it";
  EXPECT_EQ(stale, 0) << "searches that started after a change returned and did not see it";
  EXPECT_GT(pendingSeen, 0) << "no search met a waiting change: the test proved nothing";
  EXPECT_LT(searches, kReaders * kGiveUp) << "the readers gave up: a change was kept out";
  EXPECT_EQ(g.Count(), static_cast<size_t>(kEnrolled));
}

// The lock alone: a reader that asks while a writer waits gets in after it.
TEST(WriterFirstLock, AWaitingWriterGoesBeforeLaterReaders) {
  matching::TWriterFirstLock lock;
  std::mutex m;
  std::vector<std::string> order;
  auto note = [&](const std::string& what) {
    std::lock_guard<std::mutex> guard(m);
    order.push_back(what);
  };

  lock.lock_shared();  // the search already running
  std::thread writer([&] {
    lock.lock();
    note("writer");
    lock.unlock();
  });
  while (!lock.WriterPending()) std::this_thread::yield();
  std::thread reader([&] {
    lock.lock_shared();
    note("later reader");
    lock.unlock_shared();
  });
  note("first reader leaves");
  lock.unlock_shared();
  writer.join();
  reader.join();
  ASSERT_EQ(order.size(), 3u);
  EXPECT_EQ(order[0], "first reader leaves");
  EXPECT_EQ(order[1], "writer");
  EXPECT_EQ(order[2], "later reader");
}

// Filter keys are made off the holds and installed later: a template removed,
// or its id enrolled again with another finger, meanwhile must never get the
// key of the template before it. Every id is enrolled again with another
// finger while the background keyer and a caller's MakeKeys make the keys of
// the first ones; every key held at the end is the one its own block gives.
TEST(GalleryThreads, KeysFollowTheirTemplatesWhileIdsAreEnrolledAgain) {
  const matching::TSearchTuning saved = matching::SearchTuning();
  matching::SearchTuning().FilterFrom = 20;
  const int n = 400;
  const auto first = Fingers(n, 14), second = Fingers(n, 15);
  for (int pass = 0; pass < 2; ++pass) {  // the race is met in most passes, not all
    matching::TGallery g;
    for (int i = 0; i < n; ++i) g.Add(i, first[i].data(), first[i].size());
    std::thread maker([&] { g.MakeKeys(1); });
    for (int i = 0; i < n; ++i) {
      g.Remove(i);
      g.Add(i, second[i].data(), second[i].size());
    }
    maker.join();
    ASSERT_EQ(g.MakeKeys(), 0u);
    for (int i = 0; i < n; ++i) {
      std::vector<uint8_t> block, made, held;
      matching::PrepareTemplate(second[i].data(), second[i].size(), block);
      matching::MakeFilterKey(block.data(), made);
      ASSERT_TRUE(g.KeyOf(i, held));
      EXPECT_EQ(held, made) << "template " << i;
    }
  }
  matching::SearchTuning() = saved;
}

// A program may exit while a large gallery still makes its keys (a JVM's
// System.exit after opening a base): the makers run on while the exit tears
// the program's statics down, so nothing they read may be torn down. Under
// the sanitizers a read of freed memory fails the child.
TEST(GalleryThreadsDeathTest, AProgramExitsWhileItsGalleryMakesKeys) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#ifdef DL_UNDER_ASAN
  // The leak check at exit and a report of a maker's read would wait for each
  // other: the child reports the read and fails without it.
  const char* was = std::getenv("ASAN_OPTIONS");
  const std::string kept = was ? was : "";
  setenv("ASAN_OPTIONS", (kept + (kept.empty() ? "" : ":") + "detect_leaks=0").c_str(), 1);
#endif
  EXPECT_EXIT(
      {
        // Registered before the matcher's tables exist, so run after what
        // tears them down: the makers work on meanwhile.
        std::atexit([] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
        matching::SearchTuning().FilterFrom = 10;
        static matching::TGallery* g = new matching::TGallery;  // never destroyed, as a JVM leaves it
        const auto fingers = Fingers(2000, 16);
        std::vector<uint8_t> block;
        std::vector<uint8_t> key;
        matching::PrepareTemplate(fingers[0].data(), fingers[0].size(), block);
        matching::MakeFilterKey(block.data(), key);  // the tables made here, before the exit
        std::vector<matching::TGallery::TStored> stored;
        for (size_t i = 0; i < fingers.size(); ++i)
          stored.push_back({static_cast<int64_t>(i), fingers[i].data(), fingers[i].size()});
        std::vector<uint8_t> added;
        g->AddAll(stored.data(), stored.size(), added);
        std::exit(g->KeysPending() > 0 ? 0 : 3);  // 3: the keys were done before the exit, nothing tested
      },
      ::testing::ExitedWithCode(0), "");
#ifdef DL_UNDER_ASAN
  if (was)
    setenv("ASAN_OPTIONS", kept.c_str(), 1);
  else
    unsetenv("ASAN_OPTIONS");
#endif
}

}  // namespace
