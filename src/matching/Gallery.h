// Templates kept prepared in native memory for identification: one buffer of
// prepared blocks, searched by every core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "matching/Matcher.h"

namespace matching {

struct TCandidate {
  int64_t Id;
  int32_t Score;
};

class TGallery {
 public:
  // Adds a template under a new id; throws EMatching for malformed bytes and
  // when the id is already present (nothing is changed then).
  void Add(int64_t id, const uint8_t* data, size_t size);
  // Adds a template prepared with PrepareTemplate.
  void AddBlock(int64_t id, const uint8_t* block);
  bool Remove(int64_t id);
  size_t Count() const;

  // The `max` best candidates scoring at least `least`, best first (equal
  // scores by id). `threads` 0 uses every core. Throws EMatching for a
  // malformed probe.
  std::vector<TCandidate> Identify(const uint8_t* data, size_t size, int max, int least, unsigned threads = 0) const;
  std::vector<TCandidate> Identify(const TProbe& probe, int max, int least, unsigned threads = 0) const;

 private:
  struct TEntry {
    int64_t Id;
    size_t Offset;
  };
  void Compact();

  mutable std::shared_mutex FLock;
  std::vector<uint8_t> FArena;
  std::vector<TEntry> FEntries;
  std::unordered_map<int64_t, size_t> FIndex;  // id -> position in FEntries
  size_t FDeadBytes = 0;
};

}  // namespace matching
