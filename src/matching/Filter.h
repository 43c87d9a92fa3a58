// The cheap first stage of an identification among many templates.
//
// A template's key is the set of its minutia triangles, each quantised to a
// cell: every minutia with two of its nearest neighbours, the sides sorted
// longest first (which puts the corners in an order of their own), each side
// on a logarithmic scale (distortion grows with distance) and each corner's
// minutia direction relative to the side that leaves it. All of that is
// unchanged by rotation and translation, and the cell does not depend on the
// minutiae's numbering. Cells are hashed to 16 bits. Beside its cell, each
// triangle keeps the direction of its longest side in one of 16 turns: that
// one does change with rotation, and is what ties the triangles together.
//
// A probe is a bit map of the same 65,536 cells, with the turns each of its
// cells was met in; a probe's triangle whose longest side is not clearly the
// longest sets the other corner orders too. A candidate's triangle whose cell
// the probe holds votes for the rotation between the two (the difference of
// their turns): a mate's triangles agree on one rotation, chance meetings
// spread over all of them. The filter's score is the votes of the best two
// neighbouring rotations against what chance would give at that count of
// triangles and that share of the map set: a candidate with many triangles
// meets many cells of any probe.
//
// A key is stored packed: its counts, the sorted cells as byte gaps (a gap of
// 255 or more takes escape bytes), and a 4-bit turn for each gap byte (an
// escape's unused, so that scoring needs no count of the triangles passed):
// about 1.6 bytes a triangle.
//
// Integer arithmetic throughout: the ranking is identical on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace matching {

constexpr int kFilterCellBits = 16;
constexpr int kFilterMapWords = (1 << kFilterCellBits) / 64;
constexpr int kMaxFilterCells = 1024;  // triangles a key keeps at most
constexpr int kMaxFilterTurns = 16;

// Constants of the filter the evaluation tools vary; change them only before
// any key is made.
struct TFilterTuning {
  int Near = 8;        // triangles of a minutia with two of its nearest neighbours, of this many...
  int ProbeNear = 8;   // ...and of this many for a probe
  int SideSteps = 3;   // length cells per doubling (1 to 3)
  int AngleStep = 32;  // 256 steps per turn
  int Spread = 0;      // the probe also sets the nearer neighbour cell in each dimension...
  int SpreadMask = 63; // ...of these (bits 0-2 the sides, 3-5 the corners)
  int SideTol = 4;     // pixels: sides closer than this are put in either order by the probe
  int Turns = 16;      // rotations voted over (1 to 16; 1: none, every meeting counts)
  int Most = kMaxFilterCells;  // triangles a key keeps at most (an even sample of them)
  int CellMask = 0xFFFF;       // of a cell's hash bits, these kept
};
TFilterTuning& FilterTuning();

// Appends the packed key of a block that PrepareTemplate made (its distinct
// triangles, at most kMaxFilterCells). Returns the bytes appended: none for a
// block with no triangle.
size_t MakeFilterKey(const uint8_t* block, std::vector<uint8_t>& out);

// The triangles of a packed key, each as cell * 16 + turn, ascending (for
// tests and tools).
std::vector<uint32_t> UnpackFilterKey(const uint8_t* key, size_t bytes);

// A probe's side of the filter, made once per identification.
class TFilterProbe {
 public:
  TFilterProbe();
  void Prepare(const uint8_t* block);
  // Higher is likelier a mate; comparable among the candidates of one probe.
  // `key`, `bytes`: a key MakeFilterKey packed.
  int32_t Score(const uint8_t* key, size_t bytes) const;
  // Cells of the map set (of 65,536), for the evaluation tools.
  int64_t Fill() const;

 private:
  std::vector<uint64_t> FMap;
  std::vector<uint16_t> FTurns;  // of each cell, the turns the probe's triangles met it in
  int64_t FTurnFill = 0;         // bits set in FTurns
};

}  // namespace matching
