// What the evaluation tools share: a picture's NFRecord as the engine makes
// it, and (parallel.h) a loop over items spread on a few threads.
#pragma once

#include <cstdint>
#include <vector>

#include "config.h"
#include "extractor.h"
#include "nfrecord.h"
#include "parallel.h"

namespace evaltools {

// The NFRecord of a 500 dpi grey picture; the features stay in *keep when given.
inline std::vector<uint8_t> ExtractRecord(const std::vector<uint8_t>& px, int w, int h,
                                          const omx::TOmExtractorConfiguration& cfg, int& minutiae,
                                          omx::Features* keep = nullptr) {
  omx::Features local;
  omx::Features& f = keep ? *keep : local;
  omx::Extract(px.data(), static_cast<uint32_t>(w), static_cast<uint32_t>(h), 500, cfg, false, nullptr, f);
  omx::ExportOptions o;
  o.width = w;
  o.height = h;
  std::vector<uint8_t> rec(omx::WriteNFRecord(f, o, nullptr));
  omx::WriteNFRecord(f, o, rec.data());
  minutiae = static_cast<int>(f.minutiae.size());
  return rec;
}

}  // namespace evaltools
