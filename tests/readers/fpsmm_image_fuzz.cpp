// Images pushed by an FPSmm plug-in, of any size and in any order, through the
// image callback the device registers with the plug-in: each must reach the
// device's handler whole, in a buffer of its own size, and nothing may arrive
// once the device stopped capturing.
//
// Input: a sequence of records, each a 16-bit signed width and height and
// then the pixels (the height is cut to the rows the input holds), or, with
// a width of 0x7FF0 to 0x7FFF, a reallocation at the plug-in's maximum size,
// the height's low byte by its high byte. Pixels are handed over from an exactly
// sized copy, so that a read past them is caught.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "readers/CapturaModulos.h"
#include "seeds.h"

namespace {

TFPSmmImageCallback gCallback = nullptr;
void* gContext = nullptr;

int32_t DL_STDCALL SetCallbacks(PFPSmmScannerImpl, void* context, TFPSmmImageCallback image, TFPSmmOtherCallback,
                                TFPSmmOtherCallback) {
  gCallback = image;
  gContext = context;
  return 0;
}
int32_t DL_STDCALL Succeed(PFPSmmScannerImpl) { return 0; }

TFPSmmScannerVMT gVmt{};
TFPSmmScannerImpl gImpl{};

// What the handler should see.
struct Expected {
  int32_t width = 0, height = 0;
  const uint8_t* pixels = nullptr;
  bool open = true;
  int deliveries = 0;
};
Expected gWant;

void Handler(TOmCaptureDevice* d) {
  if (!gWant.open) std::abort();
  ++gWant.deliveries;
  const uint8_t* image = d->ImageBuffer();
  if (!image || d->ImageWidth() != gWant.width || d->ImageHeight() != gWant.height) std::abort();
  const size_t bytes = size_t(gWant.width) * gWant.height;
  // The whole image, read through the buffer the handler is given.
  if (std::memcmp(image, gWant.pixels, bytes) != 0) std::abort();
}

int16_t I16(const uint8_t* p) { return static_cast<int16_t>(p[0] | p[1] << 8); }

std::vector<DlSeed> Seeds() {
  // Two images of one size (the buffer is reused), one of another (it is
  // replaced), one empty, and a reallocation at the maximum size.
  DlSeed s;
  for (auto [w, h] : {std::pair{12, 10}, std::pair{12, 10}, std::pair{7, 31}, std::pair{0, 5}}) {
    DlPut16(s, static_cast<uint32_t>(w));
    DlPut16(s, static_cast<uint32_t>(h));
    for (int i = 0; i < w * h; ++i) s.push_back(static_cast<uint8_t>(i * 13));
  }
  DlPut16(s, 0x7FF0);
  DlPut16(s, 40 | 30 << 8);
  return {s};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  DlWriteSeedsIfAsked(Seeds);
  gVmt.SetCallbacks = &SetCallbacks;
  gVmt.StartCapture = &Succeed;
  gVmt.StopCapture = &Succeed;
  gImpl.pVMT = &gVmt;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gWant = Expected{};
  auto* device = new TFPsmmCaptureDeviceImpl(nullptr, &gImpl);
  device->OnImage = &Handler;
  device->BeginCapture();
  while (size >= 4) {
    const int32_t w = I16(data);
    int32_t h = I16(data + 2);
    data += 4;
    size -= 4;
    if ((w & 0xFFF0) == 0x7FF0) {
      gImpl.maxWidth = static_cast<uint32_t>(h) & 0xFF;
      gImpl.maxHeight = (static_cast<uint32_t>(h) >> 8) & 0xFF;
      device->Allocate();
      continue;
    }
    if (w > 0 && h > 0) h = static_cast<int32_t>(std::min<size_t>(h, size / w));
    const size_t bytes = w > 0 && h > 0 ? size_t(w) * h : 0;
    const std::vector<uint8_t> pixels(data, data + bytes);
    data += bytes;
    size -= bytes;
    const int before = gWant.deliveries;
    gWant.width = w;
    gWant.height = h;
    gWant.pixels = pixels.data();
    gCallback(gContext, w, h, bytes ? pixels.data() : nullptr);
    // Every image with pixels is delivered, and nothing else.
    if (gWant.deliveries != before + (bytes ? 1 : 0)) std::abort();
  }
  void* context = gContext;
  device->Close();
  gWant.open = false;
  // A plug-in that calls back late reaches no device.
  const uint8_t late[4] = {1, 2, 3, 4};
  gCallback(context, 2, 2, late);
  delete device;
  return 0;
}
