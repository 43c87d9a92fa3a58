// The gallery used from several threads at once: one enrolls and removes while
// others identify (each identification itself on several threads).
#include <gtest/gtest.h>

#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "matching/Gallery.h"
#include "placed.h"

namespace {

TEST(GalleryThreads, IdentifyWhileAddingAndRemoving) {
  std::vector<std::vector<uint8_t>> fingers;
  std::mt19937 rng(12);
  for (int i = 0; i < 120; ++i) fingers.push_back(placed::Record(placed::Finger(rng)));
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

}  // namespace
