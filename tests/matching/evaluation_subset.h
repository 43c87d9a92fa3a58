// Templates the engine extracted from the first impression of the first 120
// fingers of the matcher's evaluation set (fpplace, default options), kept in
// tests/matching/data, each preceded by its length (4 bytes, little-endian).
#pragma once

#include <cstdint>
#include <fstream>
#include <vector>

#ifndef DL_MATCHING_DATA
#error DL_MATCHING_DATA must name the folder of the test data of the matcher
#endif

inline std::vector<std::vector<uint8_t>> EvaluationSubset() {
  std::ifstream in(DL_MATCHING_DATA "/fpplace-first-impressions.nfrs", std::ios::binary);
  std::vector<std::vector<uint8_t>> out;
  uint8_t n[4];
  while (in.read(reinterpret_cast<char*>(n), 4)) {
    std::vector<uint8_t> t(n[0] | n[1] << 8 | n[2] << 16 | static_cast<size_t>(n[3]) << 24);
    if (!in.read(reinterpret_cast<char*>(t.data()), static_cast<std::streamsize>(t.size()))) break;
    out.push_back(std::move(t));
  }
  return out;
}
