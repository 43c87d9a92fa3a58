// What the Ridgeway layer takes from the vendor libraries, as arbitrary bytes:
// the wide texts of their information records (the serial number is built
// from them) and images of any size for the resampler.
//
// Input: a mode byte, then
//  - texts (bit 0 set): a 16-bit record size, offset and length limit, then
//    the record's bytes; besides that geometry, the two real ones (an RWFPApi
//    record of 1,056 bytes, an rwFpFns one of 440) are read from the same bytes;
//  - resampling: source width and height, region width and height and the
//    destination's width and height (16-bit, signed), then the pixels (the
//    height is cut to the rows the input holds). Bit 1 turns the image.
// Records, images and destinations are exactly sized, so that a read or a
// write past them is caught.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "readers/ScanManInterno.h"
#include "seeds.h"

namespace {

int16_t I16(const uint8_t* p) { return static_cast<int16_t>(p[0] | p[1] << 8); }

// Strict UTF-8: shortest forms, no surrogates, nothing above U+10FFFF.
bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      if ((b(i + k) & 0xC0) != 0x80) return false;
      cp = cp << 6 | (b(i + k) & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return false;
    i += n;
  }
  return true;
}

void Text(const uint8_t* record, size_t size, size_t offset, size_t limit) {
  const std::string text = TextoLargo(record, offset, size, limit);
  if (!ValidUtf8(text)) std::abort();
  const std::string serial = NumSerieDoIdentificador(text);
  if (serial.rfind("RTouch\\", 0) != 0) std::abort();
}

void Texts(const uint8_t* data, size_t size) {
  if (size < 6) return;
  const size_t recordSize = static_cast<uint16_t>(I16(data)) % 4096;
  const size_t offset = static_cast<uint16_t>(I16(data + 2));
  const size_t limit = static_cast<uint16_t>(I16(data + 4));
  data += 6;
  size -= 6;
  std::vector<uint8_t> record(data, data + std::min(size, recordSize));
  record.resize(recordSize);
  Text(record.data(), record.size(), offset, limit);
  // The records the layer hands the vendors: zeroed, then filled by them.
  for (const auto& [bytes, at, chars] : {std::tuple{kTamanhoInfoRWFP, size_t{544}, size_t{256}},
                                         std::tuple{kTamanhoInfoFT, size_t{284}, size_t{65}}}) {
    std::vector<uint8_t> info(data, data + std::min(size, bytes));
    info.resize(bytes);
    Text(info.data(), info.size(), at, chars);
  }
}

void Resample(const uint8_t* data, size_t size, bool turn) {
  if (size < 12) return;
  const int32_t w = I16(data), rl = I16(data + 4), ra = I16(data + 6), dl = I16(data + 8), da = I16(data + 10);
  int32_t h = I16(data + 2);
  data += 12;
  size -= 12;
  // The work grows with (region + destination) in each direction.
  if (int64_t{std::abs(rl) + std::abs(dl)} * (std::abs(ra) + std::abs(da)) > (1 << 16)) return;
  if (w > 0 && h > 0) h = static_cast<int32_t>(std::min<size_t>(h, size / w));
  const bool image = w > 0 && h > 0;
  const std::vector<uint8_t> pixels(data, data + (image ? size_t(w) * h : 0));
  const bool valid = rl > 0 && ra > 0 && dl > 0 && da > 0;
  std::vector<uint8_t> out(valid ? size_t(dl) * da : 0);
  ReamostrarArea(image ? pixels.data() : nullptr, w, h, rl, ra, valid ? out.data() : nullptr, dl, da, turn);
  if (!valid) return;
  // Every value is a mean of region pixels: within their range, the region
  // beyond the image counting as white.
  uint8_t lo = 255, hi = 0;
  if (image) {
    for (int32_t y = 0; y < std::min(h, ra); ++y)
      for (int32_t x = 0; x < std::min(w, rl); ++x) lo = std::min(lo, pixels[size_t(y) * w + x]), hi = std::max(hi, pixels[size_t(y) * w + x]);
  }
  if (!image || rl > w || ra > h) hi = 255;
  for (uint8_t v : out)
    if (v < lo || v > hi) std::abort();
}

std::vector<DlSeed> Seeds() {
  std::vector<DlSeed> seeds;
  // An identifier in braces where the RWFPApi record keeps it, an rwFpFns one,
  // and a product name with a character outside ASCII and one beyond the
  // basic plane.
  const std::u16string texts[] = {u"{6D1A2B3C-0001-4A5B-9C8D-0123456789AB}", u"{FT-00042}",
                                  u"R.Touch\u00AE 4000 \U0001F446"};
  const size_t places[] = {544, 284, 288};
  for (size_t k = 0; k < 3; ++k) {
    DlSeed s = {0x01};
    DlPut16(s, 1056);
    DlPut16(s, static_cast<uint32_t>(places[k]));
    DlPut16(s, 256);
    DlSeed record(1056, 0);
    std::memcpy(record.data() + places[k], texts[k].data(), texts[k].size() * 2);
    DlAppend(s, record);
    seeds.push_back(s);
  }
  // A ridge pattern resampled as the layer does it, smaller: 45 x 51 to 32 x 37.
  DlSeed s = {0x02};
  for (int v : {45, 51, 45, 51, 32, 37}) DlPut16(s, static_cast<uint32_t>(v));
  for (int y = 0; y < 51; ++y)
    for (int x = 0; x < 45; ++x) s.push_back(static_cast<uint8_t>((x + y) % 9 < 4 ? 40 : 220));
  seeds.push_back(s);
  return seeds;
}

}  // namespace

DL_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1) {
    Texts(data + 1, size - 1);
  } else {
    Resample(data + 1, size - 1, (data[0] & 2) != 0);
  }
  return 0;
}
