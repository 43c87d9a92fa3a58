// The last false-minutia check, on pairs of minutiae that survived the others.
#pragma once

#include <vector>

namespace omx {

struct PairCandidate {
  int x = 0, y = 0;
  int type = 0;        // 0 ridge ending, 1 bifurcation
  double angle = 0;    // seen angle, radians
  double period = 0;   // local ridge period at the minutia
  bool drop = false;
};

// The angle `a` (radians) brought into (-pi, pi].
double WrapPi(double a);

// Marks both minutiae of every pair closer than half a ridge period, and two
// ridge endings facing each other across a gap under 1.6 periods (a broken
// ridge). The period is the one of the pair's member that comes first in the
// list. Only pairs within two periods can qualify, so the candidates are
// binned into square cells of at least twice the largest period and each one
// is compared with the ones in its own and the eight surrounding cells.
void DropFalsePairs(std::vector<PairCandidate>& cand);

}  // namespace omx
