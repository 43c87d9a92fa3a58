// Score thresholds for false match rates. Written by `real_eval --thresholds`
// (scripts/thresholds.sh); do not edit by hand.
#pragma once

namespace matching {

struct TThresholdPoint {
  double Rate;
  int Score;
};

// 1e-2 and 1e-3: quantiles of 14400 real impostor scores (5 sets of real prints).
// 1e-4: the real tail continued beyond 1e-3 with the shape of a generated set's
// (thresholds 128, 191, 263 at 1e-2, 1e-3, 1e-4 there).
constexpr TThresholdPoint kThresholdTable[] = {
    {1e-02, 103},
    {1e-03, 157},
    {1e-04, 219},
};

}  // namespace matching
