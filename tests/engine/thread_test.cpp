// Extractions running at the same time give what they give one after another.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "config.h"
#include "extractor.h"
#include "fpsynth/fpsynth.h"

namespace {

struct Key {
  int x, y, type;
  bool operator==(const Key&) const = default;
};

std::vector<Key> Keys(const omx::Features& f) {
  std::vector<Key> k;
  for (const auto& m : f.minutiae) k.push_back({m.x, m.y, m.type});
  return k;
}

TEST(EngineThreads, ConcurrentCallsMatchSerialOnes) {
  std::vector<fpsynth::Fingerprint> prints;
  for (uint32_t s = 0; s < 3; ++s) {
    fpsynth::Params p;
    p.width = 200 + 40 * static_cast<int>(s);  // different sizes: the kept context must be resized correctly
    p.height = 220;
    p.fast = true;
    prints.push_back(fpsynth::Generate(p, 40 + s));
  }
  const auto cfg = omx::DefaultConfig();
  std::vector<std::vector<Key>> serial;
  for (const auto& fp : prints) {
    omx::Features f;
    ASSERT_TRUE(omx::Extract(fp.pixels.data(), fp.width, fp.height, 500, cfg, false, nullptr, f));
    ASSERT_FALSE(f.minutiae.empty());
    serial.push_back(Keys(f));
  }
  std::vector<std::vector<std::vector<Key>>> got(3);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        const auto& fp = prints[static_cast<size_t>((t + round) % 3)];
        std::vector<uint16_t> work(fp.pixels.size());
        omx::Features f;
        omx::Extract(fp.pixels.data(), fp.width, fp.height, 500, cfg, true, work.data(), f);
        got[static_cast<size_t>(t)].push_back(Keys(f));
      }
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < 3; ++t)
    for (int round = 0; round < 3; ++round)
      EXPECT_EQ(got[static_cast<size_t>(t)][static_cast<size_t>(round)], serial[static_cast<size_t>((t + round) % 3)])
          << "thread " << t << " round " << round;
}

}  // namespace
