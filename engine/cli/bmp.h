// Small BMP reader and writer for the engine's tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace omx::bmp {

struct Grey {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;  // top row first
};

struct Rgb {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;  // top row first, 3 bytes per pixel: r, g, b
};

// Reads 8-bit (palette applied), 24-bit and 32-bit uncompressed BMPs as grey.
// Returns false with a reason for anything else or for a damaged file.
bool Decode(const std::vector<uint8_t>& file, Grey& out, std::string& why);
bool Load(const std::string& path, Grey& out, std::string& why);

std::vector<uint8_t> EncodeGrey(const Grey& img);
std::vector<uint8_t> EncodeRgb(const Rgb& img);
bool Save(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace omx::bmp
