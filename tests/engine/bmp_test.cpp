#include <gtest/gtest.h>

#include "bmp.h"

namespace {

TEST(Bmp, GreyRoundTripKeepsRowsInOrder) {
  omx::bmp::Grey g{5, 3, {}};
  for (int i = 0; i < 15; ++i) g.pixels.push_back(static_cast<uint8_t>(i * 17));
  auto bytes = omx::bmp::EncodeGrey(g);
  EXPECT_EQ(bytes.size(), 54u + 1024u + 8u * 3u);  // rows padded to 4 bytes
  omx::bmp::Grey back;
  std::string why;
  ASSERT_TRUE(omx::bmp::Decode(bytes, back, why)) << why;
  EXPECT_EQ(back.width, 5);
  EXPECT_EQ(back.height, 3);
  EXPECT_EQ(back.pixels, g.pixels);
}

TEST(Bmp, ColourPictureReadsAsGrey) {
  omx::bmp::Rgb c{2, 2, {255, 255, 255, 0, 0, 0, 255, 0, 0, 0, 0, 255}};
  omx::bmp::Grey g;
  std::string why;
  ASSERT_TRUE(omx::bmp::Decode(omx::bmp::EncodeRgb(c), g, why)) << why;
  ASSERT_EQ(g.pixels.size(), 4u);
  EXPECT_GE(g.pixels[0], 254);
  EXPECT_EQ(g.pixels[1], 0);
  EXPECT_GT(g.pixels[2], g.pixels[3]);  // red is lighter than blue
}

TEST(Bmp, DamagedFilesAreRefused) {
  omx::bmp::Grey g{40, 30, std::vector<uint8_t>(1200, 9)};
  auto good = omx::bmp::EncodeGrey(g);
  omx::bmp::Grey out;
  std::string why;
  for (size_t cut : std::vector<size_t>{0, 10, 53, 54, 1078, good.size() - 1}) {
    std::vector<uint8_t> part(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut));
    EXPECT_FALSE(omx::bmp::Decode(part, out, why)) << cut;
  }
  auto bad = good;
  bad[10] = 0xFF;  // data offset past the end
  bad[11] = 0xFF;
  bad[12] = 0xFF;
  EXPECT_FALSE(omx::bmp::Decode(bad, out, why));
  bad = good;
  bad[18] = bad[19] = bad[20] = 0;  // width 0x7F000000
  bad[21] = 0x7F;
  EXPECT_FALSE(omx::bmp::Decode(bad, out, why));
  bad = good;
  bad[22] = bad[23] = bad[24] = 0;  // height -2^31: cannot be turned into a top-down height
  bad[25] = 0x80;
  EXPECT_FALSE(omx::bmp::Decode(bad, out, why));
  bad = good;
  bad[28] = 4;  // 4-bit
  EXPECT_FALSE(omx::bmp::Decode(bad, out, why));
}

}  // namespace
