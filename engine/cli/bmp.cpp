#include "bmp.h"

#include <fstream>
#include <iterator>

namespace omx::bmp {
namespace {

uint32_t U32(const std::vector<uint8_t>& b, size_t o) {
  return b[o] | (b[o + 1] << 8) | (b[o + 2] << 16) | (static_cast<uint32_t>(b[o + 3]) << 24);
}
uint16_t U16(const std::vector<uint8_t>& b, size_t o) { return static_cast<uint16_t>(b[o] | (b[o + 1] << 8)); }

void Put16(std::vector<uint8_t>& b, unsigned v) {
  b.push_back(v & 0xFF);
  b.push_back((v >> 8) & 0xFF);
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

std::vector<uint8_t> Header(int w, int h, int bits, uint32_t paletteBytes, uint32_t rowBytes) {
  std::vector<uint8_t> b;
  uint32_t data = 54 + paletteBytes, size = data + rowBytes * static_cast<uint32_t>(h);
  b.push_back('B');
  b.push_back('M');
  Put32(b, size);
  Put32(b, 0);
  Put32(b, data);
  Put32(b, 40);
  Put32(b, static_cast<uint32_t>(w));
  Put32(b, static_cast<uint32_t>(h));
  Put16(b, 1);
  Put16(b, static_cast<unsigned>(bits));
  Put32(b, 0);
  Put32(b, rowBytes * static_cast<uint32_t>(h));
  Put32(b, 19685);  // 500 dpi in pixels per metre
  Put32(b, 19685);
  Put32(b, bits == 8 ? 256 : 0);
  Put32(b, 0);
  return b;
}

}  // namespace

bool Decode(const std::vector<uint8_t>& f, Grey& out, std::string& why) {
  if (f.size() < 54 || f[0] != 'B' || f[1] != 'M') return why = "not a BMP file", false;
  uint32_t dataOff = U32(f, 10), hdr = U32(f, 14);
  if (hdr < 40 || 14 + static_cast<uint64_t>(hdr) > f.size()) return why = "unsupported BMP header", false;
  // 64-bit, so that the most negative height can be turned round.
  int64_t w = static_cast<int32_t>(U32(f, 18)), h = static_cast<int32_t>(U32(f, 22));
  unsigned bits = U16(f, 28), comp = U32(f, 30);
  bool topDown = h < 0;
  if (topDown) h = -h;
  if (w <= 0 || h <= 0 || w > 16384 || h > 16384) return why = "bad picture size", false;
  if (comp != 0 && !(comp == 3 && bits == 32)) return why = "compressed BMPs are not supported", false;
  if (bits != 8 && bits != 24 && bits != 32) return why = "only 8, 24 and 32-bit BMPs are supported", false;
  uint64_t row = (static_cast<uint64_t>(w) * bits / 8 + 3) / 4 * 4;
  if (dataOff > f.size() || row * static_cast<uint64_t>(h) > f.size() - dataOff) return why = "file is truncated", false;
  uint8_t lut[256];
  for (int i = 0; i < 256; ++i) lut[i] = static_cast<uint8_t>(i);
  if (bits == 8) {
    uint32_t colours = U32(f, 46);
    if (colours == 0 || colours > 256) colours = 256;
    uint64_t pal = 14 + static_cast<uint64_t>(hdr);
    for (uint32_t i = 0; i < colours && pal + 4 * i + 3 < dataOff; ++i) {
      const uint8_t* e = &f[pal + 4 * i];
      lut[i] = static_cast<uint8_t>((e[0] * 29 + e[1] * 150 + e[2] * 77) >> 8);
    }
  }
  out.width = static_cast<int>(w);
  out.height = static_cast<int>(h);
  out.pixels.assign(static_cast<size_t>(w * h), 0);
  for (int y = 0; y < out.height; ++y) {
    const uint8_t* src = &f[dataOff + row * static_cast<uint64_t>(topDown ? y : h - 1 - y)];
    uint8_t* dst = &out.pixels[static_cast<size_t>(y) * out.width];
    for (int x = 0; x < out.width; ++x) {
      if (bits == 8) dst[x] = lut[src[x]];
      else {
        const uint8_t* p = src + static_cast<size_t>(x) * (bits / 8);
        dst[x] = static_cast<uint8_t>((p[0] * 29 + p[1] * 150 + p[2] * 77) >> 8);
      }
    }
  }
  return true;
}

bool Load(const std::string& path, Grey& out, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return why = "cannot open " + path, false;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return Decode(bytes, out, why);
}

std::vector<uint8_t> EncodeGrey(const Grey& img) {
  uint32_t row = (static_cast<uint32_t>(img.width) + 3) / 4 * 4;
  auto b = Header(img.width, img.height, 8, 1024, row);
  for (int i = 0; i < 256; ++i) {
    b.push_back(static_cast<uint8_t>(i));
    b.push_back(static_cast<uint8_t>(i));
    b.push_back(static_cast<uint8_t>(i));
    b.push_back(0);
  }
  for (int y = img.height - 1; y >= 0; --y) {
    size_t start = b.size();
    b.insert(b.end(), img.pixels.begin() + static_cast<ptrdiff_t>(y) * img.width,
             img.pixels.begin() + static_cast<ptrdiff_t>(y + 1) * img.width);
    b.resize(start + row, 0);
  }
  return b;
}

std::vector<uint8_t> EncodeRgb(const Rgb& img) {
  uint32_t row = (static_cast<uint32_t>(img.width) * 3 + 3) / 4 * 4;
  auto b = Header(img.width, img.height, 24, 0, row);
  for (int y = img.height - 1; y >= 0; --y) {
    size_t start = b.size();
    for (int x = 0; x < img.width; ++x) {
      const uint8_t* p = &img.pixels[(static_cast<size_t>(y) * img.width + x) * 3];
      b.push_back(p[2]);
      b.push_back(p[1]);
      b.push_back(p[0]);
    }
    b.resize(start + row, 0);
  }
  return b;
}

bool Save(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace omx::bmp
