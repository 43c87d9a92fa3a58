// Arbitrary bytes as both templates of a comparison: either refused with
// EMatching or compared, symmetrically, without touching bytes beyond them.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "matching/Matcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t cut = data[0] % size;
  const std::vector<uint8_t> a(data + 1, data + 1 + cut);  // exact sizes: ASan sees any overrun
  const std::vector<uint8_t> b(data + 1 + cut, data + size);
  int ab = -1, ba = -1;
  try {
    ab = matching::Compare(a.data(), a.size(), b.data(), b.size());
  } catch (const matching::EMatching&) {
  }
  try {
    ba = matching::Compare(b.data(), b.size(), a.data(), a.size());
  } catch (const matching::EMatching&) {
  }
  if (ab != ba || ab < -1) std::abort();
  return 0;
}
