// A small RGB canvas with lines, boxes and a 5x7 text font, written as PNG
// (uncompressed deflate: no library needed).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plot {

struct Canvas {
  int width, height;
  std::vector<uint8_t> rgb;
  Canvas(int w, int h) : width(w), height(h), rgb(static_cast<size_t>(w) * h * 3, 255) {}
  void Pixel(int x, int y, uint32_t colour);
  void Line(int x0, int y0, int x1, int y1, uint32_t colour);
  void Box(int x0, int y0, int x1, int y1, uint32_t colour);  // filled, inclusive
  // Text in capitals, digits and . - + = % ( ) : / with its top-left corner at (x, y).
  void Text(int x, int y, const std::string& text, uint32_t colour, int scale = 1);
};

bool SavePng(const std::string& path, const Canvas& c);

}  // namespace plot
