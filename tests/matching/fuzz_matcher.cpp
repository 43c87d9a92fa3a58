// Arbitrary bytes as both templates of a comparison: either refused with
// EMatching or compared, symmetrically, without touching bytes beyond them.
//
// Input: a 16-bit length (modulo the rest) cuts the rest into the two
// templates. The probe, the candidate block and the work space are reused from
// run to run, as a gallery reuses them: besides being faster, that checks that
// nothing of one comparison leaks into the next.
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "matching/Matcher.h"
#include "placed.h"
#include "seeds.h"

namespace {

// The score of probe `p` against candidate `c`, or -1 when either is refused.
int Score(const std::vector<uint8_t>& p, const std::vector<uint8_t>& c) {
  static matching::TProbe probe;
  static matching::TComparison comparison;
  static std::vector<uint8_t> block;
  try {
    probe.Prepare(p.data(), p.size());
    block.clear();
    matching::PrepareTemplate(c.data(), c.size(), block);
  } catch (const matching::EMatching&) {
    return -1;
  }
  return comparison.Score(probe, block.data());
}

DlSeed Pair(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  DlSeed s;
  DlPut16(s, static_cast<uint32_t>(a.size()));
  DlAppend(s, a);
  DlAppend(s, b);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  DlWriteSeedsIfAsked([] {
    // Mated pairs (turned, moved, jittered, some minutiae lost and added) and
    // unrelated pairs, so that fuzzing starts from comparisons that pair.
    std::vector<DlSeed> seeds;
    std::mt19937 rng(19);
    for (int k = 0; k < 6; ++k) {
      const auto finger = placed::Finger(rng);
      const auto other = placed::Transform(placed::Corrupt(finger, 0.2, 5, rng), 20.0 * k - 50, 15 * k - 30, 10 - 4 * k,
                                           rng, 3, 6);
      seeds.push_back(Pair(placed::Record(finger), placed::Record(other)));
      seeds.push_back(Pair(placed::Record(finger), placed::Record(placed::Finger(rng))));
    }
    return seeds;
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t rest = size - 2;
  const size_t cut = (data[0] | size_t{data[1]} << 8) % (rest + 1);
  const std::vector<uint8_t> a(data + 2, data + 2 + cut);  // exact sizes: ASan sees any overrun
  const std::vector<uint8_t> b(data + 2 + cut, data + size);
  const int ab = Score(a, b), ba = Score(b, a);
  if (ab != ba || ab < -1) std::abort();
  return 0;
}
