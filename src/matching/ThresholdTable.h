// Score thresholds for false match rates, measured by the matching evaluation
// (tools/matching-eval). Written by `match_eval --thresholds`; do not edit by hand.
#pragma once

namespace matching {

struct TThresholdPoint {
  double Rate;
  int Score;
};

// Measured on fpplace-v1-seed1-200x8 (1600 impressions): 5600 genuine and 1273600 impostor comparisons.
constexpr TThresholdPoint kThresholdTable[] = {
    {1e-02, 68},
    {1e-03, 79},
    {1e-04, 89},
};

}  // namespace matching
