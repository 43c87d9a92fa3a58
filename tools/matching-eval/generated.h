// Templates from placed minutiae (tools/fpplace, without pictures): one
// impression of each of many fingers, for galleries of any size. Finger k of a
// seed is always the same template.
#pragma once

#include <cstdint>
#include <vector>

#include "fpplace/fpplace.h"
#include "placed.h"

namespace generated {

inline std::vector<uint8_t> Template(uint64_t seed, int finger) {
  fpplace::SetOptions o;
  o.seed = seed;
  const fpplace::Finger f = fpplace::Finger::Make(fpplace::FingerSeed(seed, finger), false);
  const fpplace::Impression imp = fpplace::MakeImpression(o, f, finger, 0, false);
  std::vector<placed::Minutia> m;
  m.reserve(imp.minutiae.size());
  for (const auto& p : imp.minutiae)
    m.push_back({static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)), p.type == 0 ? 1 : 2,
                 fpplace::AngleUnits(p.angle)});
  return placed::Record(m);
}

}  // namespace generated
