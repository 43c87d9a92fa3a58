// The area-weighted resampler of the Ridgeway layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "readers/ScanManInterno.h"

namespace {

std::vector<uint8_t> Reamostrar(const std::vector<uint8_t>& fonte, int w, int h, int rl, int ra, int dl, int da,
                                bool girar = false) {
  std::vector<uint8_t> d(static_cast<size_t>(dl) * da, 0xCD);
  ReamostrarArea(fonte.data(), w, h, rl, ra, d.data(), dl, da, girar);
  return d;
}

TEST(Reamostragem, UniformStaysUniform) {
  for (uint8_t v : {0, 17, 128, 255}) {
    std::vector<uint8_t> fonte(450 * 511, v);
    auto d = Reamostrar(fonte, 450, 511, 450, 511, 321, 365, true);
    EXPECT_EQ(std::count(d.begin(), d.end(), v), 321 * 365) << int(v);
    d = Reamostrar(fonte, 450, 511, 448, 511, 320, 365);
    EXPECT_EQ(std::count(d.begin(), d.end(), v), 320 * 365) << int(v);
  }
}

TEST(Reamostragem, PartlyCoveredPixelsCountByTheirArea) {
  // Three columns into two: [0, 1.5] and [1.5, 3].
  auto d = Reamostrar({0, 100, 200}, 3, 1, 3, 1, 2, 1);
  EXPECT_EQ(d, (std::vector<uint8_t>{33, 167}));
  // The 448 -> 320 footprint of 1.4 straddling 0 and 100: (0 + 0.4 * 100) / 1.4 = 28.6.
  std::vector<uint8_t> fonte(448 * 2, 100);
  fonte[0] = fonte[448] = 0;
  d = Reamostrar(fonte, 448, 2, 448, 2, 320, 1);
  EXPECT_EQ(d[0], 29);
  EXPECT_EQ(d[1], 100);
  // Down as across: rows [0, 1.4] of 0 then 100.
  std::vector<uint8_t> coluna = {0, 100, 100, 100, 100, 100, 100};
  d = Reamostrar(coluna, 1, 7, 1, 7, 1, 5);
  EXPECT_EQ(d[0], 29);
}

TEST(Reamostragem, HalvesGoToEven) {
  EXPECT_EQ(Reamostrar({10, 11}, 2, 1, 2, 1, 1, 1)[0], 10);
  EXPECT_EQ(Reamostrar({11, 12}, 2, 1, 2, 1, 1, 1)[0], 12);
  EXPECT_EQ(Reamostrar({254, 255}, 2, 1, 2, 1, 1, 1)[0], 254);
  EXPECT_EQ(Reamostrar({255, 255}, 2, 1, 2, 1, 1, 1)[0], 255);
}

TEST(Reamostragem, TurnedStoresEachValueAtTheOppositeCorner) {
  std::vector<uint8_t> fonte = {1, 2, 3, 4, 5, 6};  // 3 x 2
  EXPECT_EQ(Reamostrar(fonte, 3, 2, 3, 2, 3, 2, true), (std::vector<uint8_t>{6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(Reamostrar(fonte, 3, 2, 3, 2, 3, 2, false), fonte);
}

TEST(Reamostragem, RegionBeyondTheImageIsWhite) {
  // A 2 x 2 black image in a 4 x 4 region: only the top-left quarter is black.
  std::vector<uint8_t> fonte(4, 0);
  auto d = Reamostrar(fonte, 2, 2, 4, 4, 2, 2);
  EXPECT_EQ(d, (std::vector<uint8_t>{0, 255, 255, 255}));
  // Straddling the edge: half black, half missing.
  d = Reamostrar({0, 0}, 1, 2, 2, 2, 1, 1);
  EXPECT_EQ(d[0], 128);  // 127.5 to even
  // No image at all: nothing is read.
  d = Reamostrar({}, 0, 0, 448, 511, 2, 2);
  EXPECT_EQ(d, (std::vector<uint8_t>{255, 255, 255, 255}));
}

}  // namespace
