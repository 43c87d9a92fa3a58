// Decodes arbitrary bytes as a BMP; whatever decodes must be a consistent image
// that writes and decodes again to the same pixels.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "images/udOmfwImages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so reading one byte too far is caught by ASan.
  std::vector<uint8_t> bytes(data, data + size);
  auto img = DecodificarBMP(bytes.data(), bytes.size());
  if (!img) return 0;
  if (img->Largura <= 0 || img->Altura <= 0 ||
      img->Pixels.size() != static_cast<size_t>(img->Largura) * static_cast<size_t>(img->Altura))
    std::abort();
  if (img->Pixels.size() > (1u << 20)) return 0;  // keep each run fast
  std::vector<uint8_t> file;
  GravarBMPCinza(img->Largura, img->Altura, img->Pixels.data(), file);
  auto again = DecodificarBMP(file.data(), file.size());
  if (!again || again->Pixels != img->Pixels) std::abort();
  return 0;
}
