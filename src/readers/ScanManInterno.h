// Internals of the Ridgeway layer shared with its tests: the records exchanged
// with the vendor libraries and the image resampler.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/callconv.h"

struct TFTImageResolution {
  int32_t xDpi;
  int32_t yDpi;
};
struct TFTImageSize {
  int32_t width;
  int32_t height;
};

// Device information of "rwFpFns".
struct TFTDeviceInfo {
  uint64_t devType;
  int64_t devId;
  char16_t devName[65];
  uint8_t imgType;  // 0 black and white, 1 grey scale, 2 colour, 3 unknown
  TFTImageResolution imgResolution;
  uint32_t numIntensityLevels;
  TFTImageSize imgSize;
  uint8_t imgOrientation;  // 0 portrait, 1 landscape
  uint32_t maxImgSize;
};
static_assert(offsetof(TFTDeviceInfo, devId) == 8);
static_assert(offsetof(TFTDeviceInfo, devName) == 16);
static_assert(offsetof(TFTDeviceInfo, imgType) == 146);
static_assert(offsetof(TFTDeviceInfo, imgResolution) == 148);
static_assert(offsetof(TFTDeviceInfo, numIntensityLevels) == 156);
static_assert(offsetof(TFTDeviceInfo, imgSize) == 160);
static_assert(offsetof(TFTDeviceInfo, imgOrientation) == 168);
static_assert(offsetof(TFTDeviceInfo, maxImgSize) == 172);
static_assert(sizeof(TFTDeviceInfo) == 176);

struct TFTDeviceEvents {
  void* fingerTouching;
  void* imageReady;
  void* fingerRemoved;
  void* error;
  void* stop;
};
static_assert(sizeof(TFTDeviceEvents) == 40);

// The user-interface link given to FT_setupUIlink.
struct TFTUILink {
  int32_t(DL_STDCALL* callback)(void* userData, int32_t state, void* data);
  uint64_t zero1;
  uint64_t zero2;
  TFTImageSize imgSize;
  uint8_t imgOrientation;
  uint32_t numIntensityLevels;
  int32_t valor200;
  uint64_t zero3;
};
static_assert(offsetof(TFTUILink, imgSize) == 24);
static_assert(offsetof(TFTUILink, imgOrientation) == 32);
static_assert(offsetof(TFTUILink, numIntensityLevels) == 36);
static_assert(offsetof(TFTUILink, valor200) == 40);
static_assert(offsetof(TFTUILink, zero3) == 48);
static_assert(sizeof(TFTUILink) == 56);

// Device identifier of "RWFPApi".
struct TGuidRW {
  uint32_t D1;
  uint16_t D2;
  uint16_t D3;
  uint8_t D4[8];
};
static_assert(sizeof(TGuidRW) == 16);

// Sizes of the information records the host hands the vendor to fill, and
// where the texts it reads lie in them.
constexpr size_t kTamanhoInfoRWFP = 1056;   // product name at 288, identifier text at 544
constexpr size_t kTamanhoInfoFT = 440;      // identifier text (at most 65 characters) at 284
constexpr uint32_t kMensagemImagemRW = 0x508;
// Largest "rwFpFns" device accepted: 4096 x 4096 pixels, and an acquisition
// record of at most 64 MiB. A device reporting more does not start capturing.
constexpr int64_t kMaxPixelsFT = 4096 * 4096;
constexpr uint32_t kMaxBytesImagemFT = 64u * 1024 * 1024;

// Area-weighted resampling of the top-left regiaoL x regiaoA pixels of an image
// of largura x altura bytes (rows top to bottom, `largura` bytes each) into
// dl x da pixels; each destination pixel is the area-weighted mean of the source
// pixels under it, rounded half to even and capped at 255. With girar180 the
// value for (x, y) is stored at (dl - 1 - x, da - 1 - y). Region pixels outside
// the delivered image count as white (255): the image is never read outside.
void ReamostrarArea(const uint8_t* origem, int32_t largura, int32_t altura, int32_t regiaoL, int32_t regiaoA,
                    uint8_t* destino, int32_t dl, int32_t da, bool girar180);

// The wide text at byte `deslocamento` of a vendor's information record of
// `tamanhoRegistro` bytes, as UTF-8: at most `maxCaracteres` characters, ending
// at a zero or at the record's end (never read beyond it).
std::string TextoLargo(const uint8_t* registro, size_t deslocamento, size_t tamanhoRegistro, size_t maxCaracteres);
// "RTouch\" and the device identifier without its first and last character
// (the braces).
std::string NumSerieDoIdentificador(const std::string& id);

// Test hook: when not empty, the vendor libraries are loaded from this folder
// by full path instead of through the system's search by name.
void ScanManDefinirPasta(const std::string& pasta);
