// The engine's extraction on arbitrary pixels, through its C interface as the
// host calls it: ExtractMinutiae, then the template's export with every
// choice of format and size, and its release.
//
// Input: flags (bit 0 a resolution from the input instead of 500, bit 1 the
// skeleton into the work image, bit 2 a work image at all, bit 3 cores and
// deltas, bit 4 the summary block), width and height less one (at most 96
// each, so that a run stays short), a 16-bit resolution, the format and size
// ordinals, then the pixels row by row (the height is cut to the rows the
// input holds). Pixels and work image are exactly sized, so that a read or a
// write past them is caught; the record is read back within its length.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config.h"
#include "fpsynth/fpsynth.h"
#include "record_reader.h"
#include "seeds.h"

extern "C" void* ExtractMinutiae(const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t resolution,
                                 void* config, uint16_t skeleton, uint16_t* work);
extern "C" void GetDefaultConfig(void* config);

namespace {

constexpr uint32_t kMaxSide = 96;

using ReleaseFn = void (*)(void*);
using ExportFn = int32_t (*)(void*, uint8_t*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, bool, bool);
struct Ops {
  ReleaseFn release;
  ReleaseFn unused1;
  ReleaseFn unused2;
  ExportFn exportRecord;
};

DlSeed Seed(uint8_t flags, uint32_t width, uint32_t height, const std::vector<uint8_t>& pixels) {
  DlSeed s = {flags, static_cast<uint8_t>(width - 1), static_cast<uint8_t>(height - 1)};
  DlPut16(s, 500);
  s.push_back(2);
  s.push_back(3);
  DlAppend(s, pixels);
  return s;
}

std::vector<DlSeed> Seeds() {
  // Synthetic prints of every pattern at the largest size, a smaller one with
  // the skeleton, and a blank picture.
  std::vector<DlSeed> seeds;
  const fpsynth::Pattern patterns[] = {fpsynth::Pattern::Arch, fpsynth::Pattern::TentedArch,
                                       fpsynth::Pattern::LeftLoop, fpsynth::Pattern::RightLoop,
                                       fpsynth::Pattern::Whorl};
  uint32_t seed = 1;
  for (auto pattern : patterns) {
    fpsynth::Params p;
    p.width = p.height = kMaxSide;
    p.pattern = pattern;
    p.fast = true;
    seeds.push_back(Seed(0x18, kMaxSide, kMaxSide, fpsynth::Generate(p, seed++).pixels));
  }
  fpsynth::Params p;
  p.width = 72;
  p.height = 60;
  p.quality = 0.4;
  p.fast = true;
  seeds.push_back(Seed(0x1E, 72, 60, fpsynth::Generate(p, seed++).pixels));
  seeds.push_back(Seed(0x18, 64, 64, std::vector<uint8_t>(64 * 64, 255)));
  return seeds;
}

}  // namespace

DL_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  const uint8_t flags = data[0];
  const uint32_t width = 1 + data[1] % kMaxSide;
  uint32_t height = 1 + data[2] % kMaxSide;
  const uint32_t resolution = flags & 1 ? uint32_t(data[3] | data[4] << 8) : 500;
  const int32_t format = data[5], maximum = data[6];
  data += 7;
  size -= 7;
  height = static_cast<uint32_t>(std::min<size_t>(height, size / width));
  if (height == 0) return 0;
  const std::vector<uint8_t> pixels(data, data + size_t(width) * height);
  std::vector<uint16_t> work(flags & 4 ? size_t(width) * height : 0);
  alignas(8) uint8_t config[136];
  GetDefaultConfig(config);

  void* object = ExtractMinutiae(pixels.data(), width, height, resolution, config, flags & 2 ? 0xFFFF : 0,
                                 work.empty() ? nullptr : work.data());
  if (!object) std::abort();  // every size up to the largest is usable
  const Ops* ops = *static_cast<const Ops* const*>(object);
  const bool singular = flags & 8, extra = flags & 16;
  const int32_t length = ops->exportRecord(object, nullptr, int32_t(width), int32_t(height), 500, 500, format, maximum,
                                           singular, extra);
  if (length < 26) std::abort();
  std::vector<uint8_t> record(static_cast<size_t>(length));
  if (ops->exportRecord(object, record.data(), int32_t(width), int32_t(height), 500, 500, format, maximum, singular,
                        extra) != length)
    std::abort();
  ops->release(object);
  // A record the template reader takes whole, its items on the picture.
  const auto read = testrec::Read(record);
  if (!read || read->end > record.size()) std::abort();
  for (const auto& m : read->minutiae)
    if (m.x >= int(width) || m.y >= int(height)) std::abort();
  // The minutia bytes and the number kept as the ordinals select them.
  const int kept[] = {32, 64, 128};
  if (read->flags != (format == 0 ? 0 : format == 1 ? 1 : 7) ||
      read->minutiae.size() > size_t(maximum >= 0 && maximum < 3 ? kept[maximum] : 255) ||
      (!singular && (!read->cores.empty() || !read->deltas.empty() || !read->doubles.empty())))
    std::abort();
  return 0;
}
