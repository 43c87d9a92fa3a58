#include "matching/Gallery.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>
#include <utility>

#include "matching/Filter.h"
#include "support/Formatar.h"

namespace matching {

TSearchTuning& SearchTuning() {
  static TSearchTuning t;
  return t;
}

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

constexpr size_t kLeastChunk = size_t{64} << 10;
constexpr size_t kMostChunk = size_t{8} << 20;

size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

// Room for `extra` more elements, so that the adds after it cannot throw.
// Grows by half at least: reserving the exact size each time would copy the
// whole table on every add once it is full.
template <class T>
void Room(std::vector<T>& v, size_t extra) {
  if (v.capacity() - v.size() < extra) v.reserve(std::max(v.size() + extra, v.capacity() + v.capacity() / 2));
}

// Runs work(t) on `threads` threads (this one among them); fewer when no
// more can be started: the work is shared out by the callers' own counter.
template <class F>
void Parallel(unsigned threads, F&& work) {
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) {
    try {
      pool.emplace_back(work, t);
    } catch (const std::exception&) {
      break;
    }
  }
  work(0u);
  for (auto& th : pool) th.join();
}

}  // namespace

TGallery::TGallery() = default;
TGallery::~TGallery() = default;

void TGallery::Add(int64_t id, const uint8_t* data, size_t size) {
  std::vector<uint8_t> block;
  PrepareTemplate(data, size, block);
  AddBlock(id, block.data());
}

void TGallery::AddBlock(int64_t id, const uint8_t* block) {
  std::unique_lock<TWriterFirstLock> lock(FLock);
  AddLocked(id, block);
}

void TGallery::AddAll(const TStored* stored, size_t count, std::vector<uint8_t>& added, unsigned threads) {
  added.assign(count, 0);
  std::vector<std::vector<uint8_t>> blocks(count);
  // The filter's keys too, when it is on: made outside the exclusive hold.
  const bool keyed = SearchTuning().FilterFrom != kFilterOff;
  std::vector<std::vector<uint8_t>> keys(keyed ? count : 0);
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads = static_cast<unsigned>(std::min<size_t>(threads, count / 16 + 1));  // a few: not worth a thread
  std::atomic<size_t> next{0};
  std::mutex failing;
  std::exception_ptr failure;
  Parallel(threads, [&](unsigned) {
    for (;;) {
      const size_t k = next.fetch_add(1);
      if (k >= count) return;
      try {
        PrepareTemplate(stored[k].Data, stored[k].Size, blocks[k]);
        if (keyed) MakeFilterKey(blocks[k].data(), keys[k]);
        added[k] = 1;
      } catch (const EMatching&) {
        blocks[k].clear();  // not a template: left out
      } catch (...) {
        std::lock_guard<std::mutex> hold(failing);
        if (!failure) failure = std::current_exception();
        next = count;
        return;
      }
    }
  });
  if (failure) std::rethrow_exception(failure);
  std::unique_lock<TWriterFirstLock> lock(FLock);
  Room(FEntries, count);
  for (size_t k = 0; k < count; ++k) {
    if (!added[k]) continue;
    if (FIndex.count(stored[k].Id)) {
      added[k] = 0;
      continue;
    }
    AddLocked(stored[k].Id, blocks[k].data(), keyed ? &keys[k] : nullptr);
    std::vector<uint8_t>().swap(blocks[k]);
    if (keyed) std::vector<uint8_t>().swap(keys[k]);
  }
}

bool TGallery::Remove(int64_t id) {
  std::unique_lock<TWriterFirstLock> lock(FLock);
  return RemoveLocked(id);
}

void TGallery::Apply(const TChange* changes, size_t count, size_t& applied) {
  applied = 0;
  std::unique_lock<TWriterFirstLock> lock(FLock);
  for (; applied < count; ++applied) {
    const TChange& c = changes[applied];
    if (c.Block)
      AddLocked(c.Id, c.Block);
    else
      RemoveLocked(c.Id);
  }
}

void TGallery::Reserve(size_t count) {
  std::unique_lock<TWriterFirstLock> lock(FLock);
  FEntries.reserve(count);
  FIndex.reserve(count);
}

// Room at the end of the last chunk, or in a new one.
uint8_t* TGallery::Allocate(size_t bytes) {
  if (FChunks.empty() || FChunks.back().Capacity - FChunks.back().Used < bytes) {
    const size_t capacity = std::max(bytes, std::clamp(FHeld / 8, kLeastChunk, kMostChunk));
    Room(FChunks, 1);
    TChunk c;
    c.Data.reset(new uint8_t[capacity]);
    c.Capacity = capacity;
    FChunks.push_back(std::move(c));
    FHeld += capacity;
  }
  TChunk& c = FChunks.back();
  uint8_t* p = c.Data.get() + c.Used;
  c.Used += bytes;
  return p;
}

// Strong guarantee: a failure leaves the templates as they were (a chunk
// allocated on the way may stay, empty).
void TGallery::AddLocked(int64_t id, const uint8_t* block, const std::vector<uint8_t>* key) {
  const uint32_t size = reinterpret_cast<const TBlockHeader*>(block)->Size;
  if (FIndex.count(id)) throw EMatching(Format("Template %lld is already in the gallery", static_cast<long long>(id)));
  if (!key) {
    FKey.clear();
    // A key costs about as much as preparing the block: made only while the filter is on.
    if (SearchTuning().FilterFrom != kFilterOff) MakeFilterKey(block, FKey);
    key = &FKey;
  }
  const size_t keyBytes = key->size();
  const size_t bytes = size + Align8(keyBytes);
  Room(FEntries, 1);
  uint8_t* p = Allocate(bytes);
  std::memcpy(p, block, size);
  if (keyBytes) std::memcpy(p + size, key->data(), keyBytes);
  try {
    FIndex.emplace(id, FEntries.size());
  } catch (...) {
    FChunks.back().Used -= bytes;
    throw;
  }
  FEntries.push_back(TEntry{id, p, static_cast<uint32_t>(bytes), static_cast<uint32_t>(keyBytes)});
}

bool TGallery::RemoveLocked(int64_t id) {
  auto it = FIndex.find(id);
  if (it == FIndex.end()) return false;
  const size_t pos = it->second;
  FDeadBytes += FEntries[pos].Bytes;
  FIndex.erase(it);
  if (pos + 1 != FEntries.size()) {
    FEntries[pos] = FEntries.back();
    FIndex[FEntries[pos].Id] = pos;
  }
  FEntries.pop_back();
  if (FDeadBytes > FHeld / 4) {
    try {
      Compact();
    } catch (const std::bad_alloc&) {
      // Compacting needs new chunks; without them the dead bytes stay until the next removal.
    }
  }
  return true;
}

// Copies the enrolled templates into new chunks, leaving the dead bytes behind.
void TGallery::Compact() {
  std::vector<TChunk> old;
  old.swap(FChunks);
  const size_t held = FHeld;
  FHeld = 0;
  std::vector<uint8_t*> placed;
  try {
    placed.reserve(FEntries.size());
    for (const auto& e : FEntries) placed.push_back(Allocate(e.Bytes));
  } catch (...) {
    FChunks.swap(old);
    FHeld = held;
    throw;
  }
  for (size_t k = 0; k < FEntries.size(); ++k) {
    std::memcpy(placed[k], FEntries[k].Block, FEntries[k].Bytes);
    FEntries[k].Block = placed[k];
  }
  FDeadBytes = 0;
}

size_t TGallery::Count() const {
  std::shared_lock<TWriterFirstLock> lock(FLock);
  return FEntries.size();
}

size_t TGallery::MemoryBytes() const {
  std::shared_lock<TWriterFirstLock> lock(FLock);
  // A node of the id map holds its key, its value and the link to the next
  // node; the map adds one pointer per bucket. Allocator overhead is left out.
  constexpr size_t kNode = sizeof(void*) + sizeof(std::pair<const int64_t, size_t>);
  return FHeld + FChunks.capacity() * sizeof(TChunk) + FEntries.capacity() * sizeof(TEntry) +
         FIndex.bucket_count() * sizeof(void*) + FIndex.size() * kNode + FKey.capacity();
}

std::vector<TCandidate> TGallery::Identify(const uint8_t* data, size_t size, int max, int least, unsigned threads) const {
  TProbe probe(data, size);
  return Identify(probe, max, least, threads);
}

// The positions of the entries the filter ranks best, in no order.
std::vector<size_t> TGallery::Shortlist(const TProbe& probe, unsigned threads) const {
  const size_t n = FEntries.size();
  TFilterProbe filter;
  filter.Prepare(probe.Block());
  std::vector<int32_t> scores(n);
  constexpr size_t kChunk = 4096;
  std::atomic<size_t> next{0};
  Parallel(threads, [&](unsigned) {
    for (;;) {
      const size_t from = next.fetch_add(kChunk);
      if (from >= n) return;
      const size_t to = std::min(n, from + kChunk);
      for (size_t k = from; k < to; ++k) {
        const TEntry& e = FEntries[k];
        // Added while the filter was off: nothing to rank by, so compared in full.
        if (e.KeyBytes == 0) continue;
        scores[k] = filter.Score(e.Block + (e.Bytes - Align8(e.KeyBytes)), e.KeyBytes);
      }
    }
  });
  // Every keyless entry, then the share of the others.
  std::vector<size_t> order, keyless;
  order.reserve(n);
  for (size_t k = 0; k < n; ++k) (FEntries[k].KeyBytes == 0 ? keyless : order).push_back(k);
  const size_t ranked = order.size();
  const size_t keep = std::min(ranked, std::max(SearchTuning().Least, ranked * static_cast<size_t>(std::max(SearchTuning().KeepPerMille, 0)) / 1000));
  // Ties by id, so that the share kept does not depend on where templates lie.
  auto ahead = [&](size_t a, size_t b) { return scores[a] != scores[b] ? scores[a] > scores[b] : FEntries[a].Id < FEntries[b].Id; };
  if (keep < ranked) std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep), order.end(), ahead);
  order.resize(keep);
  order.insert(order.end(), keyless.begin(), keyless.end());
  return order;
}

std::vector<TCandidate> TGallery::Identify(const TProbe& probe, int max, int least, unsigned threads) const {
  std::shared_lock<TWriterFirstLock> lock(FLock);
  const size_t total = FEntries.size();
  if (max <= 0 || total == 0) return {};
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<size_t> shortlist;
  // A probe never prepared has nothing to rank by (and scores 0 against all).
  const bool filtered = total >= SearchTuning().FilterFrom && probe.Block();
  if (filtered) shortlist = Shortlist(probe, threads);
  const size_t n = filtered ? shortlist.size() : total;
  const size_t keep = std::min(static_cast<size_t>(max), n);
  constexpr size_t kChunk = 512;  // entries taken by a worker at a time
  threads = static_cast<unsigned>(std::min<size_t>(threads, (n + kChunk - 1) / kChunk));

  // Work spaces and result lists are made before the search: the loop allocates nothing.
  std::vector<TComparison> comparisons(threads);
  std::vector<TBest> best;
  best.reserve(threads);
  for (unsigned t = 0; t < threads; ++t) best.emplace_back(keep);
  std::atomic<size_t> next{0};
  Parallel(threads, [&](unsigned t) {
    for (;;) {
      const size_t from = next.fetch_add(kChunk);
      if (from >= n) return;
      const size_t to = std::min(n, from + kChunk);
      for (size_t k = from; k < to; ++k) {
        const TEntry& e = FEntries[filtered ? shortlist[k] : k];
        const int score = comparisons[t].Score(probe, e.Block);
        if (score >= least) best[t].Offer(TCandidate{e.Id, score});
      }
    }
  });

  TBest all(keep);
  for (const auto& b : best)
    for (const auto& c : b.Items()) all.Offer(c);
  std::vector<TCandidate> out = all.Items();
  std::sort(out.begin(), out.end(), Better);
  return out;
}

}  // namespace matching
