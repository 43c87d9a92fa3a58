#include "plot.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace plot {
namespace {

// 5x7 glyphs, one string of 7 rows of 5 columns each ('#' set).
const std::map<char, const char*>& Font() {
  static const std::map<char, const char*> f = {
      {'0', " ### #   ##  ### # ###  ##   # ### "}, {'1', "  #   ##    #    #    #    #   ### "},
      {'2', " ### #   #    #   #   #   #   #####"}, {'3', "#####   #   #     #     ##   # ### "},
      {'4', "   #   ##  # # #  # #####   #    # "}, {'5', "######    ####     #    ##   # ### "},
      {'6', "  ##  #   #    #### #   ##   # ### "}, {'7', "#####    #   #   #   #    #    #   "},
      {'8', " ### #   ##   # ### #   ##   # ### "}, {'9', " ### #   ##   # ####    #   #  ##  "},
      {'A', " ### #   ##   #######   ##   ##   #"}, {'B', "#### #   ##   ##### #   ##   ##### "},
      {'C', " ### #   ##    #    #    #   # ### "}, {'D', "###  #  # #   ##   ##   ##  # ###  "},
      {'E', "######    #    #### #    #    #####"}, {'F', "######    #    #### #    #    #    "},
      {'G', " ### #   ##    # ####   ##   # ####"}, {'H', "#   ##   ##   #######   ##   ##   #"},
      {'I', " ###   #    #    #    #    #   ### "}, {'J', "  ###   #    #    #    # #  #  ##  "},
      {'K', "#   ##  # # #   ##    # #   #  #  #"}, {'L', "#    #    #    #    #    #    #####"},
      {'M', "#   ### ### # ##   ##   ##   ##   #"}, {'N', "#   ##   ###  ## # ##  ###   ##   #"},
      {'O', " ### #   ##   ##   ##   ##   # ### "}, {'P', "#### #   ##   ##### #    #    #    "},
      {'Q', " ### #   ##   ##   ## # ##  #  ## #"}, {'R', "#### #   ##   ##### # #  #  # #   #"},
      {'S', " ####    #     ###     #    #####  "}, {'T', "#####  #    #    #    #    #    #  "},
      {'U', "#   ##   ##   ##   ##   ##   # ### "}, {'V', "#   ##   ##   ##   ##   # # #   #  "},
      {'W', "#   ##   ##   ## # ## # ## # # # # "}, {'X', "#   ##   # # #   #   # # #   ##   #"},
      {'Y', "#   ##   # # #   #    #    #    #  "}, {'Z', "#####    #   #   #   #   #    #####"},
      {'.', "                          ##   ##  "}, {'-', "               #####               "},
      {'+', "       #    #  #####  #    #       "}, {'=', "          #####     #####          "},
      {'%', "##   ##  #   #   #   #   #  ##   ##"}, {'(', "   #   #   #    #    #     #     # "},
      {')', " #     #     #    #    #   #   #   "}, {':', "      ##   ##        ##   ##       "},
      {'/', "    #   #   #    #   #   #    #    "}, {' ', "                                   "},
  };
  return f;
}

uint32_t Crc(const uint8_t* p, size_t n, uint32_t crc = 0xFFFFFFFFu) {
  static uint32_t table[256];
  static bool ready = false;
  if (!ready) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    ready = true;
  }
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<uint8_t>(x >> s));
}

void Chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
  Put32(out, static_cast<uint32_t>(data.size()));
  std::vector<uint8_t> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  out.insert(out.end(), body.begin(), body.end());
  Put32(out, Crc(body.data(), body.size()) ^ 0xFFFFFFFFu);
}

}  // namespace

void Canvas::Pixel(int x, int y, uint32_t c) {
  if (x < 0 || y < 0 || x >= width || y >= height) return;
  uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
  p[0] = static_cast<uint8_t>(c >> 16);
  p[1] = static_cast<uint8_t>(c >> 8);
  p[2] = static_cast<uint8_t>(c);
}

void Canvas::Line(int x0, int y0, int x1, int y1, uint32_t c) {
  int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0), sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1, e = dx + dy;
  for (;;) {
    Pixel(x0, y0, c);
    if (x0 == x1 && y0 == y1) break;
    int e2 = 2 * e;
    if (e2 >= dy) { e += dy; x0 += sx; }
    if (e2 <= dx) { e += dx; y0 += sy; }
  }
}

void Canvas::Box(int x0, int y0, int x1, int y1, uint32_t c) {
  for (int y = std::min(y0, y1); y <= std::max(y0, y1); ++y)
    for (int x = std::min(x0, x1); x <= std::max(x0, x1); ++x) Pixel(x, y, c);
}

void Canvas::Text(int x, int y, const std::string& text, uint32_t c, int scale) {
  for (char ch : text) {
    auto it = Font().find(static_cast<char>(std::toupper(static_cast<unsigned char>(ch))));
    if (it != Font().end()) {
      const char* g = it->second;
      for (int r = 0; r < 7; ++r)
        for (int k = 0; k < 5; ++k)
          if (g[r * 5 + k] == '#') Box(x + k * scale, y + r * scale, x + k * scale + scale - 1, y + r * scale + scale - 1, c);
    }
    x += 6 * scale;
  }
}

bool SavePng(const std::string& path, const Canvas& c) {
  // Raw scanlines (filter 0) in stored deflate blocks.
  std::vector<uint8_t> raw;
  const size_t row = static_cast<size_t>(c.width) * 3;
  for (int y = 0; y < c.height; ++y) {
    raw.push_back(0);
    raw.insert(raw.end(), c.rgb.begin() + static_cast<long>(y * row), c.rgb.begin() + static_cast<long>((y + 1) * row));
  }
  std::vector<uint8_t> z = {0x78, 0x01};
  for (size_t pos = 0; pos < raw.size() || raw.empty();) {
    const size_t n = std::min<size_t>(65535, raw.size() - pos);
    z.push_back(pos + n == raw.size() ? 1 : 0);
    z.push_back(static_cast<uint8_t>(n));
    z.push_back(static_cast<uint8_t>(n >> 8));
    z.push_back(static_cast<uint8_t>(~n));
    z.push_back(static_cast<uint8_t>(~n >> 8));
    z.insert(z.end(), raw.begin() + static_cast<long>(pos), raw.begin() + static_cast<long>(pos + n));
    pos += n;
    if (raw.empty()) break;
  }
  uint32_t a = 1, b = 0;
  for (uint8_t v : raw) {
    a = (a + v) % 65521;
    b = (b + a) % 65521;
  }
  Put32(z, (b << 16) | a);
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> ihdr;
  Put32(ihdr, static_cast<uint32_t>(c.width));
  Put32(ihdr, static_cast<uint32_t>(c.height));
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  Chunk(out, "IHDR", ihdr);
  Chunk(out, "IDAT", z);
  Chunk(out, "IEND", {});
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace plot
