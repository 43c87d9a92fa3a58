#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  omx::bmp::Grey g;
  std::string why;
  if (omx::bmp::Decode(bytes, g, why) && g.pixels.size() != static_cast<size_t>(g.width) * g.height) __builtin_trap();
  return 0;
}
