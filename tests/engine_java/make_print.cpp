// Writes a synthetic fingerprint as an 8-bit grey BMP and its true minutiae,
// for the Java end-to-end test: make_print <out.bmp> <truth.txt> <seed> [WxH]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fpsynth/fpsynth.h"

namespace {

void Put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(v & 0xFF);
  b.push_back((v >> 8) & 0xFF);
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// Bottom-up rows padded to 4 bytes and a grey palette, written here rather
// than by the library so that the library's reader is what the test checks.
std::vector<uint8_t> Bmp(const fpsynth::Fingerprint& f) {
  const uint32_t stride = (f.width + 3u) & ~3u;
  const uint32_t offset = 14 + 40 + 256 * 4;
  std::vector<uint8_t> b;
  b.push_back('B');
  b.push_back('M');
  Put32(b, offset + stride * f.height);
  Put32(b, 0);
  Put32(b, offset);
  Put32(b, 40);
  Put32(b, f.width);
  Put32(b, f.height);
  Put16(b, 1);
  Put16(b, 8);
  Put32(b, 0);
  Put32(b, stride * f.height);
  Put32(b, 19685);  // 500 ppi in pixels per metre
  Put32(b, 19685);
  Put32(b, 256);
  Put32(b, 0);
  for (uint32_t i = 0; i < 256; ++i) Put32(b, i << 16 | i << 8 | i);
  for (int y = f.height - 1; y >= 0; --y) {
    const uint8_t* row = f.pixels.data() + static_cast<size_t>(y) * f.width;
    b.insert(b.end(), row, row + f.width);
    b.insert(b.end(), stride - f.width, 0);
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: make_print out.bmp truth.txt seed [WxH]\n");
    return 2;
  }
  fpsynth::Params p;
  if (argc > 4 && std::sscanf(argv[4], "%dx%d", &p.width, &p.height) != 2) return 2;
  fpsynth::Fingerprint f = fpsynth::Generate(p, static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
  std::vector<uint8_t> bmp = Bmp(f);
  FILE* o = std::fopen(argv[1], "wb");
  if (!o || std::fwrite(bmp.data(), 1, bmp.size(), o) != bmp.size() || std::fclose(o) != 0) return 1;
  FILE* t = std::fopen(argv[2], "w");
  if (!t) return 1;
  std::fprintf(t, "%d %d\n", f.width, f.height);
  for (const auto& m : f.minutiae) std::fprintf(t, "%d %d\n", m.x, m.y);
  return std::fclose(t) == 0 ? 0 : 1;
}
