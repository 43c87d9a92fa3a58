// Reads an NFRecord the way the template reader does, every read bounded by
// the record's length; used to check what the engine writes.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace testrec {

struct Min { int x, y, type, angle, quality, curvature, g; };
struct Pt { int x, y, angle; int a1 = 0, a2 = 0, a3 = 0; };
struct Record {
  int flags = 0;
  std::vector<Min> minutiae;
  std::vector<Pt> cores, deltas, doubles;
  int coreSize = 0, deltaSize = 0, doubleSize = 0, blockLen = 0;
  size_t end = 0;  // offset just past the double cores
};

inline uint32_t Word(const std::vector<uint8_t>& d, size_t o) {
  return d[o] | (d[o + 1] << 8) | (d[o + 2] << 16) | (static_cast<uint32_t>(d[o + 3]) << 24);
}

inline std::optional<Record> Read(const std::vector<uint8_t>& d) {
  Record r;
  const size_t len = d.size();
  if (len <= 25) return std::nullopt;
  r.flags = d[22];
  const size_t n0 = d[24], s0 = d[25];
  const size_t step = 4 + (r.flags & 1) + ((r.flags >> 1) & 1) + ((r.flags >> 2) & 1);
  size_t o = 26;
  for (size_t i = 0; i < n0; ++i, o += step) {
    if (o + step > len) return std::nullopt;
    uint32_t w = Word(d, o);
    size_t k = o + 4;
    Min m{static_cast<int>(w >> 21), static_cast<int>((w >> 10) & 2047), static_cast<int>((w >> 8) & 3),
          static_cast<int>(w & 255), 255, 255, 255};
    if (r.flags & 1) m.quality = d[k++];
    if (r.flags & 2) m.curvature = d[k++];
    if (r.flags & 4) m.g = d[k++];
    r.minutiae.push_back(m);
  }
  size_t a = 26 + n0 * s0;
  if (a + 3 > len) return std::nullopt;
  r.blockLen = static_cast<int16_t>(d[a + 1] | (d[a + 2] << 8));
  if (r.blockLen < 0) return std::nullopt;
  size_t b = a + 3 + static_cast<size_t>(r.blockLen);
  if (b + 1 >= len) return std::nullopt;
  r.coreSize = d[b + 1];
  for (size_t i = 0; i < d[b]; ++i) {
    size_t p = b + 2 + i * r.coreSize;
    if (p + 4 > len) return std::nullopt;
    uint32_t w = Word(d, p);
    r.cores.push_back({static_cast<int>(w >> 21), static_cast<int>((w >> 10) & 2047), static_cast<int>(w & 255)});
  }
  size_t c = b + 2 + d[b] * static_cast<size_t>(r.coreSize);
  if (c + 1 >= len) return std::nullopt;
  r.deltaSize = d[c + 1];
  for (size_t i = 0; i < d[c]; ++i) {
    size_t p = c + 2 + i * r.deltaSize;
    if (p + 7 > len) return std::nullopt;
    uint32_t w = Word(d, p);
    r.deltas.push_back({static_cast<int>(w >> 21), static_cast<int>((w >> 10) & 2047), 0, d[p + 4], d[p + 5], d[p + 6]});
  }
  size_t e = c + 2 + d[c] * static_cast<size_t>(r.deltaSize);
  if (e + 1 >= len) return std::nullopt;
  r.doubleSize = d[e + 1];
  for (size_t i = 0; i < d[e]; ++i) {
    size_t p = e + 2 + i * r.doubleSize;
    if (p + 4 > len) return std::nullopt;
    uint32_t w = Word(d, p);
    r.doubles.push_back({static_cast<int>(w >> 21), static_cast<int>((w >> 10) & 2047), 0});
  }
  r.end = e + 2 + d[e] * static_cast<size_t>(r.doubleSize);
  return r;
}

}  // namespace testrec
