// 8-bit grey BMP images: decoding of BMP files into top-row-first pixels, and
// the grey BMP writer shared by NImage.saveBMP and the extraction image log.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// Largest image accepted by the decoder and the writer. Checked before any
// allocation, so a hostile header cannot make us reserve gigabytes.
constexpr int32_t kBmpLadoMaximo = 32768;                  // width and height each
constexpr int64_t kBmpPixelsMaximos = 256LL * 1024 * 1024;  // width * height

// An 8-bit grey image: Altura rows of Largura bytes, row 0 at the top.
struct TImagemCinza {
  int32_t Largura = 0;
  int32_t Altura = 0;
  std::vector<uint8_t> Pixels;
};

// Decodes a whole BMP file held in `dados` (exactly `tamanho` bytes; nothing
// beyond is read). Accepts uncompressed 8 bits-per-pixel images with a core
// (12-byte) or an information (40 bytes or more) header; the palette is
// ignored and the pixel bytes are taken as grey levels. Pixel rows missing at
// the end of the file read as 0. Returns nothing for anything else.
std::optional<TImagemCinza> DecodificarBMP(const uint8_t* dados, size_t tamanho);

// The two halves of DecodificarBMP, for callers that own the destination (the
// JNI natives write straight into a Java array): the checked layout of the
// file, then its pixel rows copied into `destino` (Largura * Altura bytes,
// top row first). Rows missing at the end of the file are not written, so
// the caller zero-fills `destino` first.
struct TLeiauteBMP {
  int32_t Largura = 0;
  int32_t Altura = 0;
  bool DeCimaParaBaixo = false;
  uint64_t Inicio = 0;  // offset of the first stored row
};
std::optional<TLeiauteBMP> LerLeiauteBMP(const uint8_t* dados, size_t tamanho);
void CopiarPixelsBMP(const uint8_t* dados, size_t tamanho, const TLeiauteBMP& leiaute, uint8_t* destino);

// Size in bytes of the grey BMP file of a w x h image, or -1 when w or h is
// negative or the image exceeds the limits above.
int64_t TamanhoBMPCinza(int32_t w, int32_t h);

// Appends to `stream` the grey BMP file of w x h pixels (top row first, w bytes
// per row, no gaps). Nothing is appended when w or h is 0. Throws Exception
// for negative sizes or an image beyond the limits above;
// the caller guarantees that `pixels` holds w * h bytes.
void GravarBMPCinza(int32_t w, int32_t h, const uint8_t* pixels, std::vector<uint8_t>& stream);

// Writes the same file into `destino`, which holds TamanhoBMPCinza(w, h) bytes;
// every byte is written. Does nothing unless that size is above 0.
void EscreverBMPCinza(int32_t w, int32_t h, const uint8_t* pixels, uint8_t* destino);
