#include "matching/Gallery.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>
#include <utility>

#include "matching/Filter.h"
#include "platform/threads.h"
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

// The key of a template with no triangle: made, but nothing to rank by.
const uint8_t kNoTriangle[8] = {};

// Blocks looked at per hold when keys are collected: a hold copies at most
// this many blocks out (about 800 bytes each).
constexpr size_t kKeyWindow = 256;

}  // namespace

void TGallery::TKeyBatch::Make(size_t k) {
  Made[k] = 0;
  try {
    Keys[k].clear();
    MakeFilterKey(Blocks.data() + At[k], Keys[k]);
    Made[k] = 1;
  } catch (const std::exception&) {
    // Memory: the template stays without a key (compared in full) for now.
  }
}

// The gallery's background key making. A coordinator thread of normal
// priority takes the gallery's holds (copying blocks out, installing keys),
// and makers at idle priority make the keys, holding none of the gallery's
// locks: a thread at idle priority may wait long for a core, and nothing
// that a search or a change needs may wait with it. Makers and coordinator
// share a mutex of their own, which the gallery's callers never take.
class TGallery::TKeyer {
 public:
  explicit TKeyer(TGallery& gallery) : FGallery(gallery) {
    const unsigned makers = std::max(1u, std::thread::hardware_concurrency());
    try {
      for (unsigned k = 0; k < makers; ++k) FMakers.emplace_back([this] { MakeKeys(); });
    } catch (const std::exception&) {
      if (FMakers.empty()) throw;  // no thread at all: the gallery goes on without keys
    }
    try {
      FCoordinator = std::thread([this] { Coordinate(); });
    } catch (...) {
      Stop();
      throw;
    }
  }
  ~TKeyer() { Stop(); }

  void Wake() {
    std::lock_guard<std::mutex> hold(FWakeMutex);
    FWoken = true;
    FWake.notify_one();
  }

 private:
  void Stop() {
    FStopping = true;
    {
      std::lock_guard<std::mutex> hold(FWakeMutex);
      FWake.notify_all();
    }
    {
      std::lock_guard<std::mutex> hold(FMutex);
      FWork.notify_all();
      FDone.notify_all();
    }
    if (FCoordinator.joinable()) FCoordinator.join();
    for (auto& t : FMakers) t.join();
  }

  // Passes over the gallery while it lacks keys; a pass that installs none
  // (memory ran out) ends the work until the next wake.
  void Coordinate() {
    for (;;) {
      {
        std::unique_lock<std::mutex> hold(FWakeMutex);
        FWake.wait(hold, [this] { return FStopping || FWoken; });
        if (FStopping) return;
        FWoken = false;
      }
      try {
        if (!Pass()) return;
      } catch (const std::exception&) {
        // Memory (copying blocks out): the keys wait for the next wake; an
        // exception must not leave this thread, which would end the program.
      }
    }
  }

  // False when stopped on the way.
  bool Pass() {
    // Usually a wake is for the one template just added, at the end.
    size_t cursor = FGallery.KeyFrom(), installed = 0;
    for (;;) {
      if (FStopping) return false;
      if (!FGallery.CollectKeys(cursor, kKeyWindow, FBatch)) {
        // Removals move entries from the end into their holes, so a pass
        // can miss one: another pass, while the last one got anywhere.
        if (FGallery.KeysPending() == 0 || installed == 0) return true;
        cursor = FGallery.KeyFrom();
        installed = 0;
        continue;
      }
      if (FBatch.Size() == 0) continue;
      if (!MakeBatch()) return false;
      installed += FGallery.InstallKeys(FBatch);
    }
  }

  // Has the makers make FBatch's keys; false when stopped on the way.
  bool MakeBatch() {
    std::unique_lock<std::mutex> hold(FMutex);
    FNext = 0;
    FMade = 0;
    FCount = FBatch.Size();
    FWork.notify_all();
    FDone.wait(hold, [this] { return FStopping || FMade == FCount; });
    const bool done = FMade == FCount;
    FCount = 0;  // no maker takes another of this batch
    return done;
  }

  void MakeKeys() {
    plat::LowerThisThreadToIdle();
    std::unique_lock<std::mutex> hold(FMutex);
    for (;;) {
      FWork.wait(hold, [this] { return FStopping || FNext < FCount; });
      if (FStopping) return;
      const size_t k = FNext++;
      hold.unlock();
      FBatch.Make(k);
      hold.lock();
      if (++FMade == FCount) FDone.notify_one();
    }
  }

  TGallery& FGallery;
  std::atomic<bool> FStopping{false};
  std::mutex FWakeMutex;  // the callers' side
  std::condition_variable FWake;
  bool FWoken = false;
  std::mutex FMutex;  // the makers' side
  std::condition_variable FWork, FDone;
  TKeyBatch FBatch;  // the coordinator's, read by the makers while they make it
  size_t FNext = 0, FMade = 0, FCount = 0;
  std::vector<std::thread> FMakers;
  std::thread FCoordinator;
};

TGallery::TGallery() = default;
// The keyer goes first: it reads the gallery until it has stopped.
TGallery::~TGallery() { FKeyer.reset(); }

void TGallery::Add(int64_t id, const uint8_t* data, size_t size) {
  std::vector<uint8_t> block;
  PrepareTemplate(data, size, block);
  AddBlock(id, block.data());
}

void TGallery::AddBlock(int64_t id, const uint8_t* block) {
  size_t count;
  {
    std::unique_lock<TWriterFirstLock> lock(FLock);
    AddLocked(id, block);
    count = FEntries.size();
  }
  KeysWanted(count);
}

void TGallery::AddAll(const TStored* stored, size_t count, std::vector<uint8_t>& added, unsigned threads) {
  added.assign(count, 0);
  std::vector<std::vector<uint8_t>> blocks(count);
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
  size_t total;
  {
    std::unique_lock<TWriterFirstLock> lock(FLock);
    Room(FEntries, count);
    for (size_t k = 0; k < count; ++k) {
      if (!added[k]) continue;
      if (FIndex.count(stored[k].Id)) {
        added[k] = 0;
        continue;
      }
      AddLocked(stored[k].Id, blocks[k].data());
      std::vector<uint8_t>().swap(blocks[k]);
    }
    total = FEntries.size();
  }
  KeysWanted(total);
}

bool TGallery::Remove(int64_t id) {
  std::unique_lock<TWriterFirstLock> lock(FLock);
  return RemoveLocked(id);
}

void TGallery::Apply(const TChange* changes, size_t count, size_t& applied) {
  applied = 0;
  size_t total = 0;
  bool adds = false;
  {
    // A failing change throws past the wake: the adds before it get their
    // keys when the keyer is woken next (compared in full until then).
    std::unique_lock<TWriterFirstLock> lock(FLock);
    for (; applied < count; ++applied) {
      const TChange& c = changes[applied];
      if (c.Block) {
        AddLocked(c.Id, c.Block);
        adds = true;
      } else {
        RemoveLocked(c.Id);
      }
    }
    total = FEntries.size();
  }
  if (adds) KeysWanted(total);
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
void TGallery::AddLocked(int64_t id, const uint8_t* block) {
  const uint32_t size = reinterpret_cast<const TBlockHeader*>(block)->Size;
  if (FIndex.count(id)) throw EMatching(Format("Template %lld is already in the gallery", static_cast<long long>(id)));
  const size_t bytes = Align8(size);
  Room(FEntries, 1);
  uint8_t* p = Allocate(bytes);
  std::memcpy(p, block, size);
  try {
    FIndex.emplace(id, FEntries.size());
  } catch (...) {
    FChunks.back().Used -= bytes;
    throw;
  }
  FKeyFrom = std::min(FKeyFrom, FEntries.size());
  FEntries.push_back(TEntry{id, p, nullptr, static_cast<uint32_t>(bytes), 0});
  ++FUnkeyed;
}

bool TGallery::RemoveLocked(int64_t id) {
  auto it = FIndex.find(id);
  if (it == FIndex.end()) return false;
  const size_t pos = it->second;
  FDeadBytes += FEntries[pos].Bytes + Align8(FEntries[pos].KeyBytes);
  if (!FEntries[pos].Key) --FUnkeyed;
  FIndex.erase(it);
  if (pos + 1 != FEntries.size()) {
    FEntries[pos] = FEntries.back();
    FIndex[FEntries[pos].Id] = pos;
    if (!FEntries[pos].Key) FKeyFrom = std::min(FKeyFrom, pos);
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
    for (const auto& e : FEntries) placed.push_back(Allocate(e.Bytes + Align8(e.KeyBytes)));
  } catch (...) {
    FChunks.swap(old);
    FHeld = held;
    throw;
  }
  // Each key goes right after its block now.
  for (size_t k = 0; k < FEntries.size(); ++k) {
    TEntry& e = FEntries[k];
    std::memcpy(placed[k], e.Block, e.Bytes);
    e.Block = placed[k];
    if (e.KeyBytes) {
      std::memcpy(placed[k] + e.Bytes, e.Key, e.KeyBytes);
      e.Key = placed[k] + e.Bytes;
    }
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
         FIndex.bucket_count() * sizeof(void*) + FIndex.size() * kNode;
}

size_t TGallery::KeysPending() const {
  std::shared_lock<TWriterFirstLock> lock(FLock);
  return FUnkeyed;
}

size_t TGallery::KeyFrom() const {
  std::shared_lock<TWriterFirstLock> lock(FLock);
  return FKeyFrom;
}

bool TGallery::KeyOf(int64_t id, std::vector<uint8_t>& key) const {
  std::shared_lock<TWriterFirstLock> lock(FLock);
  key.clear();
  const auto it = FIndex.find(id);
  if (it == FIndex.end() || !FEntries[it->second].Key) return false;
  const TEntry& e = FEntries[it->second];
  key.assign(e.Key, e.Key + e.KeyBytes);
  return true;
}

void TGallery::KeysWanted(size_t count) {
  const size_t from = SearchTuning().FilterFrom;
  if (from == kFilterOff || count < from) return;
  std::lock_guard<std::mutex> hold(FKeyerStart);
  if (!FKeyer) {
    try {
      FKeyer = std::make_unique<TKeyer>(*this);
    } catch (const std::exception&) {
      return;  // no threads: the templates stay keyless, compared in full
    }
  }
  FKeyer->Wake();
}

// Copies out the blocks without a key among the entries from `cursor` on, at
// most `window` of them, and moves the cursor past them. False when the
// cursor is at the end already.
bool TGallery::CollectKeys(size_t& cursor, size_t window, TKeyBatch& batch) const {
  batch.Ids.clear();
  batch.At.clear();
  batch.Blocks.clear();
  std::shared_lock<TWriterFirstLock> lock(FLock);
  const size_t n = FEntries.size();
  if (cursor >= n) return false;
  const size_t to = std::min(n, cursor + window);
  for (size_t k = cursor; k < to; ++k) {
    const TEntry& e = FEntries[k];
    if (e.Key) continue;
    const uint32_t size = reinterpret_cast<const TBlockHeader*>(e.Block)->Size;
    batch.Ids.push_back(e.Id);
    batch.At.push_back(batch.Blocks.size());
    batch.Blocks.insert(batch.Blocks.end(), e.Block, e.Block + size);
  }
  cursor = to;
  if (batch.Keys.size() < batch.Size()) batch.Keys.resize(batch.Size());
  batch.Made.assign(batch.Size(), 0);
  return true;
}

// Installs the keys made: each where its id still holds, without a key, the
// very block it was made from (the template may have been removed, or its id
// enrolled again, meanwhile). Returns how many were installed.
size_t TGallery::InstallKeys(const TKeyBatch& batch) {
  std::unique_lock<TWriterFirstLock> lock(FLock);
  size_t installed = 0;
  for (size_t k = 0; k < batch.Size(); ++k) {
    if (!batch.Made[k]) continue;
    const auto it = FIndex.find(batch.Ids[k]);
    if (it == FIndex.end()) continue;
    TEntry& e = FEntries[it->second];
    const uint8_t* from = batch.Blocks.data() + batch.At[k];
    const uint32_t size = reinterpret_cast<const TBlockHeader*>(from)->Size;
    if (e.Key || reinterpret_cast<const TBlockHeader*>(e.Block)->Size != size || std::memcmp(e.Block, from, size) != 0) continue;
    const std::vector<uint8_t>& key = batch.Keys[k];
    if (key.empty()) {
      e.Key = kNoTriangle;
    } else {
      uint8_t* p;
      try {
        p = Allocate(Align8(key.size()));
      } catch (const std::bad_alloc&) {
        break;
      }
      std::memcpy(p, key.data(), key.size());
      e.Key = p;
      e.KeyBytes = static_cast<uint32_t>(key.size());
    }
    --FUnkeyed;
    ++installed;
  }
  if (FUnkeyed == 0) FKeyFrom = FEntries.size();
  return installed;
}

size_t TGallery::MakeKeys(unsigned threads) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  for (;;) {
    std::atomic<size_t> next{KeyFrom()}, installed{0};
    Parallel(threads, [&](unsigned) {
      TKeyBatch batch;
      for (;;) {
        size_t cursor = next.fetch_add(kKeyWindow);
        if (!CollectKeys(cursor, kKeyWindow, batch)) return;
        for (size_t k = 0; k < batch.Size(); ++k) batch.Make(k);
        installed += InstallKeys(batch);
      }
    });
    const size_t pending = KeysPending();
    if (pending == 0 || installed == 0) return pending;
  }
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
        // No key yet, or no triangle: nothing to rank by, so compared in full.
        if (e.KeyBytes == 0) continue;
        scores[k] = filter.Score(e.Key, e.KeyBytes);
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
