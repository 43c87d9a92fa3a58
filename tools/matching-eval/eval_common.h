// What the evaluation tools share: a picture's NFRecord as the engine makes
// it, and a loop over items spread on a few threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "config.h"
#include "extractor.h"
#include "nfrecord.h"

namespace evaltools {

// The NFRecord of a 500 dpi grey picture; the features stay in *keep when given.
inline std::vector<uint8_t> ExtractRecord(const std::vector<uint8_t>& px, int w, int h,
                                          const omx::TOmExtractorConfiguration& cfg, int& minutiae,
                                          omx::Features* keep = nullptr) {
  omx::Features local;
  omx::Features& f = keep ? *keep : local;
  omx::Extract(px.data(), static_cast<uint32_t>(w), static_cast<uint32_t>(h), 500, cfg, false, nullptr, f);
  omx::ExportOptions o;
  o.width = w;
  o.height = h;
  std::vector<uint8_t> rec(omx::WriteNFRecord(f, o, nullptr));
  omx::WriteNFRecord(f, o, rec.data());
  minutiae = static_cast<int>(f.minutiae.size());
  return rec;
}

// body(i, t) for every i in [0, count), on `threads` threads (t is the thread's number).
template <class F>
void Parallel(int count, int threads, F&& body) {
  std::atomic<int> next{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      for (int i; (i = next.fetch_add(1)) < count;) body(i, t);
    });
  for (auto& t : pool) t.join();
}

}  // namespace evaltools
