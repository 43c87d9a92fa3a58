// The cheap first stage of an identification among many templates.
//
// A template's key is the set of its minutia triangles, each quantised to a
// cell: every minutia with two of its nearest neighbours, the sides sorted
// longest first (which puts the corners in an order of their own), each side
// on a logarithmic scale (distortion grows with distance) and each corner's
// minutia direction relative to the side that leaves it. All of that is
// unchanged by rotation and translation, and the cell does not depend on the
// minutiae's numbering. Cells are hashed to 16 bits; a key is a sorted list of
// distinct cells.
//
// A probe is a bit map of the same 65,536 cells, wider than its own key: each
// triangle also sets the cells of its nearer neighbour in every dimension, and
// the other corner orders where two sides are too close to tell apart, so that
// a triangle that moved a little between impressions still meets its cell.
// The filter's score counts the candidate's cells the probe's map holds,
// against what chance would give at that count of cells and that share of the
// map set: a candidate with many cells meets many cells of any probe.
//
// Integer arithmetic throughout: the ranking is identical on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace matching {

constexpr int kFilterCellBits = 16;
constexpr int kFilterMapWords = (1 << kFilterCellBits) / 64;
constexpr int kMaxFilterCells = 1024;

// Constants of the filter the evaluation tools vary; change them only before
// any key is made.
struct TFilterTuning {
  int Near = 4;        // triangles of a minutia with two of its nearest neighbours, of this many...
  int ProbeNear = 4;   // ...and of this many for a probe
  int SideSteps = 3;   // length cells per doubling (1 to 3)
  int AngleStep = 32;  // 256 steps per turn
  int Spread = 1;      // the probe also sets the nearer neighbour cell in each dimension...
  int SpreadMask = 63; // ...of these (bits 0-2 the sides, 3-5 the corners)
  int SideTol = 4;     // pixels: sides closer than this are put in either order by the probe
};
TFilterTuning& FilterTuning();

// Appends the key of a block that PrepareTemplate made: its cells, sorted and
// distinct (at most kMaxFilterCells). Returns how many were appended.
size_t MakeFilterKey(const uint8_t* block, std::vector<uint16_t>& out);

// A probe's side of the filter, made once per identification.
class TFilterProbe {
 public:
  TFilterProbe();
  void Prepare(const uint8_t* block);
  // Higher is likelier a mate; comparable among the candidates of one probe.
  int32_t Score(const uint16_t* cells, size_t count) const;
  // Cells of the map set (of 65,536), for the evaluation tools.
  int64_t Fill() const { return FFill; }

 private:
  std::vector<uint64_t> FMap;
  int64_t FFill = 0;  // bits set in FMap
};

}  // namespace matching
