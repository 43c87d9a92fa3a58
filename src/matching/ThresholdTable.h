// Score thresholds for false match rates, measured by the matching evaluation
// (tools/matching-eval). Written by `match_eval --thresholds`; do not edit by hand.
#pragma once

namespace matching {

struct TThresholdPoint {
  double Rate;
  int Score;
};

// Provisional: measured on a small stand-in set (see docs/matching.md).
constexpr TThresholdPoint kThresholdTable[] = {
    {1e-2, 20},
    {1e-3, 30},
    {1e-4, 40},
};

}  // namespace matching
