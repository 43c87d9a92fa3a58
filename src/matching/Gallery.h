// Templates kept prepared in native memory for identification, searched by
// every core.
//
// Each template is stored once, in chunks of memory that never move while it
// is enrolled: its prepared block, and apart from it its filter key
// (Filter.h) once that is made. Chunks are allocated as the gallery grows,
// each about an eighth of what is held already, so that what is allocated
// stays close to what is stored (a buffer grown by doubling holds up to twice
// its contents). Removed templates leave their bytes behind until they are a
// quarter of what is held; then the rest is copied into new chunks.
//
// A search holds the gallery shared for its whole length; a change holds it
// exclusively and waits at most for the searches already running (see
// TWriterFirstLock). Changes edit the gallery in place: nothing is copied per
// change but the template added.
//
// A search of a large gallery (kFilterFrom templates and more) ranks the
// templates by the filter first, and compares only the best ranked share (at
// least kFilterLeast) in full, with the same scores as in a full search. A key
// takes about 75 us of one core to make, as long as preparing the block, so
// keys are not made on the way in: once a gallery is large, threads of its
// own make the missing keys in the background, on what the cores leave idle
// (a base's opening and the searches go first). A template without a key yet
// is always compared in full, so a search never misses a template for want of
// its key; it is only slower until the keys are made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "matching/Matcher.h"
#include "matching/WriterFirstLock.h"

namespace matching {

struct TCandidate {
  int64_t Id;
  int32_t Score;
};

// One change of a batch: adds the prepared block under the id, or removes
// the id when Block is null.
struct TChange {
  int64_t Id;
  const uint8_t* Block;
};

// The gallery size from which searches are filtered, and "never".
constexpr size_t kFilterFrom = 20000;
constexpr size_t kFilterOff = SIZE_MAX;
constexpr size_t kFilterLeast = 2000;

// How a search over a large gallery is made (for the evaluation tools and
// tests; change it only while no gallery is in use). Filter keys are made in
// the background for a gallery that an add leaves with FilterFrom templates
// or more (kFilterOff: never).
struct TSearchTuning {
  int KeepPerMille = 20;  // share of the gallery compared in full after the filter...
  size_t Least = kFilterLeast;  // ...but at least this many
  size_t FilterFrom = kFilterFrom;
};
TSearchTuning& SearchTuning();

class TGallery {
 public:
  TGallery();
  ~TGallery();
  TGallery(const TGallery&) = delete;
  TGallery& operator=(const TGallery&) = delete;

  // Adds a template under a new id; throws EMatching for malformed bytes and
  // when the id is already present (nothing is changed then).
  void Add(int64_t id, const uint8_t* data, size_t size);
  // Adds a template prepared with PrepareTemplate.
  void AddBlock(int64_t id, const uint8_t* block);
  // Adds many stored templates, as a base's opening reads them: prepared on
  // `threads` threads (0: every core; preparing is most of a load's time),
  // then added in their order under one exclusive hold. added[k] is 1 when
  // template k is in the gallery, 0 when its bytes are not a template or its
  // id is already present. Other failures (memory) throw; the templates
  // before the failing one may then be in.
  struct TStored {
    int64_t Id;
    const uint8_t* Data;
    size_t Size;
  };
  void AddAll(const TStored* stored, size_t count, std::vector<uint8_t>& added, unsigned threads = 0);
  bool Remove(int64_t id);
  // Makes the changes in their order under one exclusive hold, so that a
  // batch waits for the running searches once. `applied` counts the changes
  // made; a change that fails (an id already present, memory) throws with
  // `applied` at its index, the changes before it made and none after.
  void Apply(const TChange* changes, size_t count, size_t& applied);
  // Makes room for `count` templates in the id tables (for loading a known
  // number at once: the tables then grow no further).
  void Reserve(size_t count);
  size_t Count() const;
  // The native memory the gallery holds: its chunks of templates and filter
  // keys and its id tables as allocated (capacity, not size), for sizing a
  // gallery.
  size_t MemoryBytes() const;
  // Templates whose filter key is not made yet.
  size_t KeysPending() const;
  // Makes every missing filter key now, on `threads` threads (0: every core)
  // at the caller's priority, whatever the gallery's size (for tools and
  // tests that need a gallery's keys complete). Changes and searches may run
  // meanwhile. Returns the keys still pending after it: none, unless memory
  // ran out or templates were added meanwhile.
  size_t MakeKeys(unsigned threads = 0);
  // The filter key made for the template (false: none yet, or no template of
  // that id); empty for a template with no triangle (for tests).
  bool KeyOf(int64_t id, std::vector<uint8_t>& key) const;
  // Whether a change waits or runs; a search started after this was true sees
  // that change (for the tests).
  bool ChangePending() const { return FLock.WriterPending(); }

  // The `max` best candidates scoring at least `least`, best first (equal
  // scores by id). `threads` 0 uses every core. Throws EMatching for a
  // malformed probe.
  std::vector<TCandidate> Identify(const uint8_t* data, size_t size, int max, int least, unsigned threads = 0) const;
  std::vector<TCandidate> Identify(const TProbe& probe, int max, int least, unsigned threads = 0) const;

 private:
  struct TEntry {
    int64_t Id;
    const uint8_t* Block;
    const uint8_t* Key;  // null: not made yet; with KeyBytes 0: made, no triangle
    uint32_t Bytes;      // of the block, padded to 8
    uint32_t KeyBytes;   // of the key, unpadded
  };
  // Keys being made: the blocks copied out under a shared hold, made with no
  // hold, installed under an exclusive one if the template is still there.
  struct TKeyBatch {
    std::vector<int64_t> Ids;
    std::vector<size_t> At;  // of each block in Blocks
    std::vector<uint8_t> Blocks;
    std::vector<std::vector<uint8_t>> Keys;
    std::vector<uint8_t> Made;  // 0 where making the key failed (memory)
    size_t Size() const { return Ids.size(); }
    void Make(size_t k);
  };
  class TKeyer;
  struct TChunk {
    std::unique_ptr<uint8_t[]> Data;
    size_t Capacity = 0;
    size_t Used = 0;
  };
  void AddLocked(int64_t id, const uint8_t* block);
  bool RemoveLocked(int64_t id);
  uint8_t* Allocate(size_t bytes);
  void Compact();
  std::vector<size_t> Shortlist(const TProbe& probe, unsigned threads) const;
  // After a change that leaves `count` templates: wakes the keyer when the
  // gallery is large enough to be filtered.
  void KeysWanted(size_t count);
  bool CollectKeys(size_t& cursor, size_t window, TKeyBatch& batch) const;
  size_t KeyFrom() const;
  size_t InstallKeys(const TKeyBatch& batch);

  mutable TWriterFirstLock FLock;
  std::vector<TChunk> FChunks;
  std::vector<TEntry> FEntries;
  std::unordered_map<int64_t, size_t> FIndex;  // id -> position in FEntries
  size_t FHeld = 0;       // bytes of all chunks
  size_t FDeadBytes = 0;  // of removed templates, still in the chunks
  size_t FUnkeyed = 0;    // entries whose key is not made yet
  size_t FKeyFrom = 0;    // no entry before this position lacks its key
  std::mutex FKeyerStart;
  std::unique_ptr<TKeyer> FKeyer;  // started by the first add that leaves the gallery large
};

}  // namespace matching
