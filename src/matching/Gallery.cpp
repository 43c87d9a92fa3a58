#include "matching/Gallery.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <thread>

#include "support/Formatar.h"

namespace matching {

namespace {

bool Better(const TCandidate& a, const TCandidate& b) { return a.Score != b.Score ? a.Score > b.Score : a.Id < b.Id; }

// Keeps the best `max` candidates seen, in a heap whose top is the worst kept.
class TBest {
 public:
  explicit TBest(size_t max) : FMax(max) { FHeap.reserve(max); }
  void Offer(const TCandidate& c) {
    if (FHeap.size() < FMax) {
      FHeap.push_back(c);
      std::push_heap(FHeap.begin(), FHeap.end(), Better);
    } else if (FMax && Better(c, FHeap.front())) {
      std::pop_heap(FHeap.begin(), FHeap.end(), Better);
      FHeap.back() = c;
      std::push_heap(FHeap.begin(), FHeap.end(), Better);
    }
  }
  const std::vector<TCandidate>& Items() const { return FHeap; }

 private:
  size_t FMax;
  std::vector<TCandidate> FHeap;
};

}  // namespace

void TGallery::Add(int64_t id, const uint8_t* data, size_t size) {
  std::vector<uint8_t> block;
  PrepareTemplate(data, size, block);
  AddBlock(id, block.data());
}

void TGallery::AddBlock(int64_t id, const uint8_t* block) {
  const uint32_t size = reinterpret_cast<const TBlockHeader*>(block)->Size;
  std::unique_lock<std::shared_mutex> lock(FLock);
  if (FIndex.count(id)) throw EMatching(Format("Template %lld is already in the gallery", static_cast<long long>(id)));
  const size_t offset = FArena.size();
  FEntries.reserve(FEntries.size() + 1);
  FIndex.reserve(FIndex.size() + 1);
  FArena.insert(FArena.end(), block, block + size);
  FEntries.push_back(TEntry{id, offset});
  FIndex.emplace(id, FEntries.size() - 1);
}

bool TGallery::Remove(int64_t id) {
  std::unique_lock<std::shared_mutex> lock(FLock);
  auto it = FIndex.find(id);
  if (it == FIndex.end()) return false;
  const size_t pos = it->second;
  FDeadBytes += reinterpret_cast<const TBlockHeader*>(FArena.data() + FEntries[pos].Offset)->Size;
  FIndex.erase(it);
  if (pos + 1 != FEntries.size()) {
    FEntries[pos] = FEntries.back();
    FIndex[FEntries[pos].Id] = pos;
  }
  FEntries.pop_back();
  if (FDeadBytes > FArena.size() / 2) Compact();
  return true;
}

void TGallery::Compact() {
  std::vector<uint8_t> arena;
  arena.reserve(FArena.size() - FDeadBytes);
  for (auto& e : FEntries) {
    const uint8_t* b = FArena.data() + e.Offset;
    const uint32_t size = reinterpret_cast<const TBlockHeader*>(b)->Size;
    e.Offset = arena.size();
    arena.insert(arena.end(), b, b + size);
  }
  FArena.swap(arena);
  FDeadBytes = 0;
}

size_t TGallery::Count() const {
  std::shared_lock<std::shared_mutex> lock(FLock);
  return FEntries.size();
}

std::vector<TCandidate> TGallery::Identify(const uint8_t* data, size_t size, int max, int least, unsigned threads) const {
  TProbe probe(data, size);
  return Identify(probe, max, least, threads);
}

std::vector<TCandidate> TGallery::Identify(const TProbe& probe, int max, int least, unsigned threads) const {
  std::shared_lock<std::shared_mutex> lock(FLock);
  const size_t n = FEntries.size();
  if (max <= 0 || n == 0) return {};
  const size_t keep = std::min(static_cast<size_t>(max), n);
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  constexpr size_t kChunk = 512;  // entries taken by a worker at a time
  threads = static_cast<unsigned>(std::min<size_t>(threads, (n + kChunk - 1) / kChunk));

  // Work spaces and result lists are made before the search: the loop allocates nothing.
  std::vector<TComparison> comparisons(threads);
  std::vector<TBest> best;
  best.reserve(threads);
  for (unsigned t = 0; t < threads; ++t) best.emplace_back(keep);
  std::atomic<size_t> next{0};
  auto work = [&](unsigned t) {
    for (;;) {
      const size_t from = next.fetch_add(kChunk);
      if (from >= n) return;
      const size_t to = std::min(n, from + kChunk);
      for (size_t k = from; k < to; ++k) {
        const int score = comparisons[t].Score(probe, FArena.data() + FEntries[k].Offset);
        if (score >= least) best[t].Offer(TCandidate{FEntries[k].Id, score});
      }
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) {
    try {
      pool.emplace_back(work, t);
    } catch (const std::exception&) {
      break;  // fewer threads: the others take the rest
    }
  }
  work(0);
  for (auto& th : pool) th.join();

  TBest all(keep);
  for (const auto& b : best)
    for (const auto& c : b.Items()) all.Offer(c);
  std::vector<TCandidate> out = all.Items();
  std::sort(out.begin(), out.end(), Better);
  return out;
}

}  // namespace matching
