// Writes extracted features as an NFRecord template.
#pragma once

#include <cstddef>
#include <cstdint>

#include "extractor.h"

namespace omx {

struct ExportOptions {
  int32_t width = 0, height = 0, hres = 500, vres = 500;
  int32_t format = 2;   // 0 word only, 1 + quality, other: + quality, curvature, G
  int32_t size = 3;     // 0: 32 minutiae, 1: 64, 2: 128, other: all (at most 255)
  bool singular = true; // cores, deltas and double cores
  bool extra = true;    // the engine's summary in the length-prefixed block
};

uint8_t AngleByte(double radians);  // 256 steps per turn

// Returns the record's size; writes it when buffer is not null.
size_t WriteNFRecord(const Features& f, const ExportOptions& o, uint8_t* buffer);

}  // namespace omx
