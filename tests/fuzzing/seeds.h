// Seed inputs that a fuzz target makes itself, from the code it fuzzes (real
// replies, real templates), so that its corpus starts from input that reaches
// past the first checks and stays right when the formats change.
//
// Run with DL_FUZZ_SEEDS naming a folder, a target writes its seeds there and
// exits before any fuzzing; the build does that after linking each target
// that makes seeds (dl_add_fuzzer ... SEEDS).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using DlSeed = std::vector<uint8_t>;

// Call from LLVMFuzzerInitialize. `make` runs only when seeds are asked for.
template <class Make>
void DlWriteSeedsIfAsked(Make make) {
  const char* dir = std::getenv("DL_FUZZ_SEEDS");
  if (!dir || !*dir) return;
  const std::vector<DlSeed> seeds = make();
  for (size_t i = 0; i < seeds.size(); ++i) {
    const std::string path = std::string(dir) + "/seed-" + std::to_string(i);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(seeds[i].data(), 1, seeds[i].size(), f) != seeds[i].size() || std::fclose(f) != 0) {
      std::fprintf(stderr, "cannot write the seed %s\n", path.c_str());
      std::exit(1);
    }
  }
  std::exit(0);
}

// A target whose start-up does nothing but make its seeds.
#define DL_FUZZ_SEEDS(make)                               \
  extern "C" int LLVMFuzzerInitialize(int*, char***) {   \
    DlWriteSeedsIfAsked(make);                            \
    return 0;                                             \
  }

// Little-endian appends, for building seeds.
inline void DlPut16(DlSeed& s, uint32_t v) {
  s.push_back(static_cast<uint8_t>(v));
  s.push_back(static_cast<uint8_t>(v >> 8));
}
inline void DlPut32(DlSeed& s, uint32_t v) {
  DlPut16(s, v & 0xFFFF);
  DlPut16(s, v >> 16);
}
inline void DlAppend(DlSeed& s, const DlSeed& more) { s.insert(s.end(), more.begin(), more.end()); }
