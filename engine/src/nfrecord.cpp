#include "nfrecord.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace omx {

uint8_t AngleByte(double radians) {
  long v = std::lround(radians / (2 * 3.14159265358979323846) * 256);
  return static_cast<uint8_t>(((v % 256) + 256) % 256);
}

namespace {

uint32_t Word(int x, int y, int type, int angle) {
  return (static_cast<uint32_t>(std::clamp(x, 0, 2047)) << 21) | (static_cast<uint32_t>(std::clamp(y, 0, 2047)) << 10) |
         (static_cast<uint32_t>(type & 3) << 8) | static_cast<uint32_t>(angle & 0xFF);
}

struct Out {
  uint8_t* p;
  size_t n = 0;
  void U8(unsigned v) {
    if (p) p[n] = static_cast<uint8_t>(v);
    ++n;
  }
  void U16(unsigned v) {
    U8(v & 0xFF);
    U8((v >> 8) & 0xFF);
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
};

constexpr size_t kHintBytes = 8;  // room for every piece of advice, and two more kinds

uint16_t Clamp16(int32_t v) { return static_cast<uint16_t>(std::clamp(v, 0, 65535)); }

}  // namespace

size_t WriteNFRecord(const Features& f, const ExportOptions& o, uint8_t* buffer) {
  const uint8_t flags = o.format == 0 ? 0 : o.format == 1 ? 1 : 7;
  const size_t recSize = 4 + (flags & 1) + ((flags >> 1) & 1) + ((flags >> 2) & 1);
  const size_t limit = o.size == 0 ? 32 : o.size == 1 ? 64 : o.size == 2 ? 128 : 255;

  // The best minutiae when they must be cut, then listed top to bottom.
  std::vector<const Minutia*> ms;
  for (const auto& m : f.minutiae) ms.push_back(&m);
  std::stable_sort(ms.begin(), ms.end(), [](auto* a, auto* b) { return a->quality > b->quality; });
  if (ms.size() > limit) ms.resize(limit);
  std::sort(ms.begin(), ms.end(), [](auto* a, auto* b) { return a->y != b->y ? a->y < b->y : a->x < b->x; });

  const size_t cores = o.singular ? std::min<size_t>(f.cores.size(), 255) : 0;
  const size_t deltas = o.singular ? std::min<size_t>(f.deltas.size(), 255) : 0;
  const size_t doubles = o.singular ? std::min<size_t>(f.doubleCores.size(), 255) : 0;
  const size_t extraLen = o.extra ? 8 + kHintBytes : 0;
  const size_t total = 26 + ms.size() * recSize + 3 + extraLen + 2 + cores * 4 + 2 + deltas * 7 + 2 + doubles * 4;
  if (!buffer) return total;

  Out w{buffer};
  w.U8('O'); w.U8('M'); w.U8('X'); w.U8('1');
  w.U16(Clamp16(o.width));
  w.U16(Clamp16(o.height));
  w.U16(Clamp16(o.hres));
  w.U16(Clamp16(o.vres));
  w.U32(static_cast<uint32_t>(total));
  w.U8(static_cast<unsigned>(std::clamp(f.imageQuality, 0, 100)));
  w.U8(static_cast<unsigned>(std::clamp(o.format, 0, 255)));
  w.U8(static_cast<unsigned>(std::clamp(o.size, 0, 255)));
  w.U8(0); w.U8(0); w.U8(0);
  w.U8(flags);
  w.U8(0);
  w.U8(static_cast<unsigned>(ms.size()));
  w.U8(static_cast<unsigned>(recSize));
  for (const Minutia* m : ms) {
    w.U32(Word(m->x, m->y, m->type, AngleByte(m->angle)));
    if (flags & 1) w.U8(static_cast<unsigned>(std::clamp(m->quality, 0, 100)));
    if (flags & 2) w.U8(static_cast<unsigned>(std::clamp(m->curvature, 0, 255)));
    if (flags & 4) w.U8(static_cast<unsigned>(std::clamp(m->period10, 0, 255)));
  }
  w.U8(0);
  w.U16(static_cast<unsigned>(extraLen));
  if (extraLen) {
    w.U16(Clamp16(f.foregroundBlocks));
    w.U8(static_cast<unsigned>(std::clamp(f.blockSize, 0, 255)));
    w.U8(static_cast<unsigned>(std::clamp(static_cast<int>(std::lround(f.meanPeriod * 10)), 0, 255)));
    w.U8(static_cast<unsigned>(std::clamp(f.imageQuality, 0, 100)));
    w.U8(0); w.U8(0); w.U8(0);
    // The advice, most important first, as 1-based codes; 0 fills the rest.
    for (size_t k = 0; k < kHintBytes; ++k)
      w.U8(k < f.qualityHints.size() ? static_cast<unsigned>(f.qualityHints[k]) + 1 : 0);
  }
  w.U8(static_cast<unsigned>(cores));
  w.U8(4);
  for (size_t i = 0; i < cores; ++i) w.U32(Word(f.cores[i].x, f.cores[i].y, 0, AngleByte(f.cores[i].angle[0])));
  w.U8(static_cast<unsigned>(deltas));
  w.U8(7);
  for (size_t i = 0; i < deltas; ++i) {
    w.U32(Word(f.deltas[i].x, f.deltas[i].y, 0, 0));
    for (int k = 0; k < 3; ++k) w.U8(AngleByte(f.deltas[i].angle[k]));
  }
  w.U8(static_cast<unsigned>(doubles));
  w.U8(4);
  for (size_t i = 0; i < doubles; ++i) w.U32(Word(f.doubleCores[i].x, f.doubleCores[i].y, 0, 0));
  return w.n;
}

}  // namespace omx
