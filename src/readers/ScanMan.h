// The Ridgeway layer: Ridgeway R.Touch readers reached through the vendor's
// own libraries behind one table of operations.
#pragma once
#include <cstdint>
#include <string>

// Image procedure: serial number, width, height, pixels (rows top to bottom),
// resolution (always 500), the parameter given at start.
using TSMImageProc = void (*)(const char* ScannerId, int32_t Width, int32_t Height, const uint8_t* Image,
                              int32_t Resolution, void* Param);

// True when a back-end is loaded and ready (loads and initialises on first call).
bool ScanManLoad();
void ScanManUnload();
int32_t ScanManDeviceCount();
// Raises "Can not retrieve scanner id" when the table refuses.
std::string ScanManDeviceId(int32_t index);
int32_t ScanManStartCapture(const std::string& numSerie, TSMImageProc imageProc, void* param);
int32_t ScanManStopCapture(const std::string& numSerie);
