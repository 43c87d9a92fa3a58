#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "images/udOmfwImages.h"
#include "support/Excecoes.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t U32(const Bytes& b, size_t p) { return b[p] | (b[p + 1] << 8) | (b[p + 2] << 16) | (uint32_t(b[p + 3]) << 24); }
uint16_t U16(const Bytes& b, size_t p) { return uint16_t(b[p] | (b[p + 1] << 8)); }
void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void Put16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

// A BMP file built field by field, so that each test can break one rule.
struct Bmp {
  int32_t w = 3, h = 2;
  uint32_t header = 40;  // 12: core header
  uint16_t planes = 1, bits = 8;
  uint32_t compression = 0, colours = 0;
  int paletteEntries = -1;  // default: colours, or 256 when 0
  int64_t offset = -1;      // default: right after the palette
  size_t gap = 0;           // bytes between palette and rows
  Bytes rows;               // as stored in the file, padding included

  Bytes Build() const {
    Bytes b{'B', 'M'};
    Put32(b, 0);
    Put32(b, 0);
    size_t entries = paletteEntries >= 0 ? size_t(paletteEntries) : (colours ? colours : 256);
    size_t entrySize = header == 12 ? 3 : 4;
    size_t pixels = 14 + header + entries * entrySize + gap;
    Put32(b, offset >= 0 ? uint32_t(offset) : uint32_t(pixels));
    Put32(b, header);
    if (header == 12) {
      Put16(b, uint16_t(w));
      Put16(b, uint16_t(h));
      Put16(b, planes);
      Put16(b, bits);
    } else {
      Put32(b, uint32_t(w));
      Put32(b, uint32_t(h));
      Put16(b, planes);
      Put16(b, bits);
      Put32(b, compression);
      Put32(b, 0);
      Put32(b, 2835);
      Put32(b, 2835);
      Put32(b, colours);
      Put32(b, 0);
      b.resize(14 + header, 0xEE);  // later header versions: skipped
    }
    for (size_t i = 0; i < entries; ++i) {
      // a palette that is not grey, to show it is ignored
      b.push_back(uint8_t(255 - i));
      b.push_back(uint8_t(i * 7));
      b.push_back(uint8_t(i * 3));
      if (entrySize == 4) b.push_back(0);
    }
    b.insert(b.end(), gap, 0x77);
    b.insert(b.end(), rows.begin(), rows.end());
    return b;
  }
};

std::optional<TImagemCinza> Decode(const Bytes& b) { return DecodificarBMP(b.data(), b.size()); }

// 3 x 2, bottom-up as stored: bottom row 4 5 6, top row 1 2 3.
const Bytes kRows3x2 = {4, 5, 6, 0, 1, 2, 3, 0};
const Bytes kTop3x2 = {1, 2, 3, 4, 5, 6};

}  // namespace

TEST(GravarBMPCinza, WritesTheGreyLayoutWithPaddedBottomUpRows) {
  Bytes pix = {1, 2, 3, 4, 5, 6};  // top row 1 2 3
  Bytes f;
  GravarBMPCinza(3, 2, pix.data(), f);
  ASSERT_EQ(f.size(), 1086u);
  EXPECT_EQ(f[0], 'B');
  EXPECT_EQ(f[1], 'M');
  EXPECT_EQ(U32(f, 2), 1086u);
  EXPECT_EQ(U32(f, 6), 0u);
  EXPECT_EQ(U32(f, 10), 1078u);
  EXPECT_EQ(U32(f, 14), 40u);
  EXPECT_EQ(U32(f, 18), 3u);
  EXPECT_EQ(U32(f, 22), 2u);
  EXPECT_EQ(U16(f, 26), 1);
  EXPECT_EQ(U16(f, 28), 8);
  EXPECT_EQ(U32(f, 30), 0u);
  EXPECT_EQ(U32(f, 34), 8u);
  EXPECT_EQ(U32(f, 38), 0u);
  EXPECT_EQ(U32(f, 42), 0u);
  EXPECT_EQ(U32(f, 46), 256u);
  EXPECT_EQ(U32(f, 50), 0u);
  for (uint32_t i = 0; i < 256; ++i) ASSERT_EQ(U32(f, 54 + 4 * i), i | (i << 8) | (i << 16)) << i;
  EXPECT_EQ(Bytes(f.begin() + 1078, f.end()), kRows3x2);
}

TEST(GravarBMPCinza, SizesPaddingAndAppending) {
  Bytes pix(16, 9);
  Bytes f = {0xAA};
  GravarBMPCinza(4, 4, pix.data(), f);  // appended, never cleared
  ASSERT_EQ(f.size(), 1u + 1094u);
  EXPECT_EQ(f[0], 0xAA);
  EXPECT_EQ(U32(f, 1 + 2), 1094u);
  EXPECT_EQ(Bytes(f.begin() + 1 + 1078, f.end()), Bytes(16, 9));

  Bytes empty;
  GravarBMPCinza(0, 5, pix.data(), empty);
  GravarBMPCinza(5, 0, nullptr, empty);
  EXPECT_TRUE(empty.empty());

  EXPECT_THROW(GravarBMPCinza(-1, 2, pix.data(), empty), Exception);
  EXPECT_THROW(GravarBMPCinza(2, -1, pix.data(), empty), Exception);
  // Too large for a 32-bit file size (and a Java array): refused before writing.
  EXPECT_THROW(GravarBMPCinza(65537, 32768, pix.data(), empty), Exception);
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(TamanhoBMPCinza(65537, 32768), -1);
  // the decoder's limits, so that every file written can be read back
  EXPECT_EQ(TamanhoBMPCinza(32768, 8192), 1078 + int64_t(kBmpPixelsMaximos));
  EXPECT_EQ(TamanhoBMPCinza(32768, 8193), -1);
  EXPECT_EQ(TamanhoBMPCinza(32769, 1), -1);
  EXPECT_EQ(TamanhoBMPCinza(1, 32769), -1);
  EXPECT_EQ(TamanhoBMPCinza(1, 1), 1082);
}

TEST(DecodificarBMP, RoundTripsEveryRowPadding) {
  for (int32_t w = 1; w <= 9; ++w) {
    for (int32_t h : {1, 2, 7}) {
      Bytes pix(size_t(w * h));
      for (size_t i = 0; i < pix.size(); ++i) pix[i] = uint8_t(i * 37 + w);
      Bytes f;
      GravarBMPCinza(w, h, pix.data(), f);
      auto img = Decode(f);
      ASSERT_TRUE(img) << w << "x" << h;
      EXPECT_EQ(img->Largura, w);
      EXPECT_EQ(img->Altura, h);
      EXPECT_EQ(img->Pixels, pix) << w << "x" << h;
    }
  }
}

TEST(DecodificarBMP, RowOrderPaletteAndHeaderVersions) {
  Bmp b;
  b.rows = kRows3x2;
  auto img = Decode(b.Build());
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Pixels, kTop3x2);  // palette indices as grey, whatever the palette says

  Bmp td;  // top-down
  td.h = -2;
  td.rows = {1, 2, 3, 0, 4, 5, 6, 0};
  img = Decode(td.Build());
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Altura, 2);
  EXPECT_EQ(img->Pixels, kTop3x2);

  Bmp core;  // 12-byte header, 3-byte palette entries
  core.header = 12;
  core.rows = kRows3x2;
  img = Decode(core.Build());
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Pixels, kTop3x2);

  for (uint32_t size : {52u, 56u, 108u, 124u}) {  // later headers: extra bytes skipped
    Bmp v;
    v.header = size;
    v.rows = kRows3x2;
    img = Decode(v.Build());
    ASSERT_TRUE(img) << size;
    EXPECT_EQ(img->Pixels, kTop3x2) << size;
  }

  Bmp small;  // a short palette moves the rows forward
  small.colours = 2;
  small.rows = kRows3x2;
  img = Decode(small.Build());
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Pixels, kTop3x2);
}

TEST(DecodificarBMP, PixelOffset) {
  Bmp gap;  // a gap after the palette that the offset skips
  gap.gap = 16;
  gap.rows = kRows3x2;
  auto img = Decode(gap.Build());
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Pixels, kTop3x2);

  Bmp inside;  // an offset into the headers is ignored
  inside.offset = 20;
  inside.rows = kRows3x2;
  img = Decode(inside.Build());
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Pixels, kTop3x2);

  Bmp beyond;  // pointing past the end: no rows, all 0
  beyond.offset = 0x7FFFFFF0;
  beyond.rows = kRows3x2;
  img = Decode(beyond.Build());
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Pixels, Bytes(6, 0));
}

TEST(DecodificarBMP, MissingRowsReadAsZero) {
  Bmp b;
  b.rows = {4, 5, 6, 0, 1};  // the top row is cut after its first pixel
  auto img = Decode(b.Build());
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Pixels, (Bytes{1, 0, 0, 4, 5, 6}));

  b.rows.clear();  // no rows at all
  img = Decode(b.Build());
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Pixels, Bytes(6, 0));

  b.rows = kRows3x2;  // trailing bytes ignored
  b.rows.insert(b.rows.end(), 100, 0x55);
  img = Decode(b.Build());
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Pixels, kTop3x2);
}

// The JNI natives write into memory they did not clear themselves: the writer
// must set every byte of the file, padding included, and the row copy must
// leave the rows the file lacks alone.
TEST(BmpIntoCallersMemory, WriterSetsEveryByteAndCopyLeavesMissingRows) {
  for (int32_t w : {1, 3, 4, 5}) {
    Bytes pix(size_t(w) * 3);
    for (size_t i = 0; i < pix.size(); ++i) pix[i] = uint8_t(7 * i + 1);
    Bytes viaVector;
    GravarBMPCinza(w, 3, pix.data(), viaVector);
    Bytes dirty(size_t(TamanhoBMPCinza(w, 3)), 0xAA);
    EscreverBMPCinza(w, 3, pix.data(), dirty.data());
    EXPECT_EQ(dirty, viaVector) << "width " << w;
  }

  Bmp b;
  b.rows = {4, 5, 6, 0, 1};  // the top row is cut after its first pixel
  const Bytes file = b.Build();
  auto layout = LerLeiauteBMP(file.data(), file.size());
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->Largura, 3);
  EXPECT_EQ(layout->Altura, 2);
  Bytes dest(6, 0xAA);
  CopiarPixelsBMP(file.data(), file.size(), *layout, dest.data());
  EXPECT_EQ(dest, (Bytes{1, 0xAA, 0xAA, 4, 5, 6}));
  EXPECT_FALSE(LerLeiauteBMP(file.data(), 20));
}

TEST(DecodificarBMP, RejectsWhatIsNotAnUncompressed8BitImage) {
  auto rejects = [](const Bmp& b) { return !Decode(b.Build()); };
  Bmp ok;
  ok.rows = kRows3x2;
  ASSERT_FALSE(rejects(ok));

  Bytes notBm = ok.Build();
  notBm[1] = 'A';
  EXPECT_FALSE(Decode(notBm));
  EXPECT_FALSE(DecodificarBMP(nullptr, 0));
  EXPECT_FALSE(Decode(Bytes{}));
  EXPECT_FALSE(Decode(Bytes{'B', 'M'}));
  Bytes whole = ok.Build();
  for (size_t cut : {14u, 17u, 30u, 53u, 54u + 1023u})  // inside a header or the palette
    EXPECT_FALSE(Decode(Bytes(whole.begin(), whole.begin() + cut))) << cut;

  for (uint32_t size : {0u, 11u, 13u, 16u, 39u, 0xFFFFFFFFu}) {
    Bmp b = ok;
    Bytes f = b.Build();
    f[14] = uint8_t(size);
    f[15] = uint8_t(size >> 8);
    f[16] = uint8_t(size >> 16);
    f[17] = uint8_t(size >> 24);
    EXPECT_FALSE(Decode(f)) << size;
  }

  Bmp b = ok;
  b.planes = 2;
  EXPECT_TRUE(rejects(b));
  b = ok;
  b.header = 12;
  b.planes = 0;
  EXPECT_TRUE(rejects(b));
  for (uint16_t bits : {1, 4, 16, 24, 32}) {
    b = ok;
    b.bits = bits;
    EXPECT_TRUE(rejects(b)) << bits;
  }
  for (uint32_t c : {1u, 2u, 3u}) {  // RLE8, RLE4, bit fields
    b = ok;
    b.compression = c;
    EXPECT_TRUE(rejects(b)) << c;
  }
  b = ok;
  b.colours = 257;
  EXPECT_TRUE(rejects(b));
  b = ok;
  b.colours = 0xFFFFFFFF;
  b.paletteEntries = 0;
  EXPECT_TRUE(rejects(b));
}

TEST(DecodificarBMP, RejectsEmptyAndOversizedImagesBeforeAllocating) {
  Bmp b;
  b.rows = kRows3x2;
  for (auto [w, h] : std::vector<std::pair<int32_t, int32_t>>{
           {0, 2}, {3, 0}, {-3, 2}, {32769, 1}, {1, 32769}, {1, -32769}, {32768, 8193}, {16385, 16385},
           {INT32_MAX, INT32_MAX}, {1, INT32_MIN}}) {
    b.w = w;
    b.h = h;
    EXPECT_FALSE(Decode(b.Build())) << w << "x" << h;
  }
  // The limits themselves are accepted; the missing rows read as 0.
  b.w = 32768;
  b.h = -8192;
  auto img = Decode(b.Build());
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Pixels.size(), size_t(kBmpPixelsMaximos));
  EXPECT_EQ(img->Pixels[0], 4);
  EXPECT_EQ(img->Pixels[4], 1);
  EXPECT_EQ(img->Pixels[8], 0);
}
