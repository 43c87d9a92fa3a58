// A loop over items spread on a few threads, for the evaluation tools (no
// engine headers, so that the matcher's tools can use it alone).
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace evaltools {

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
