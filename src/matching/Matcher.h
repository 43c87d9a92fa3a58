// Minutiae matcher for NFRecord templates.
//
// A template is prepared once into a compact block: its minutiae, for each
// minutia the edges to its nearest neighbours (length, direction relative to
// the minutia, difference of directions: all unchanged by rotation and
// translation) and the convex hull of its minutiae. A probe is prepared
// further: its edges go into a table indexed by quantised edge features and
// its minutiae into a spatial grid.
//
// A comparison looks up each edge of the candidate in the probe's table; each
// edge pair within tolerance votes for the two minutia pairs it joins. The
// best voted minutia pairs are anchors: each one fixes a rotation (averaged
// over the edges that voted for it) and a translation, under which all
// minutiae are paired greedily, closest first, with a position tolerance that
// grows with the distance from the anchor (elastic distortion). The best
// anchor's pairing, over the pairings that chance gives two templates with as
// many minutiae in the area the other covers and as dense, gives the score.
//
// Every step is integer arithmetic on values that both templates play alike,
// so the score is symmetric and identical on every platform; a comparison
// allocates nothing (its work space is reused).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/Excecoes.h"

namespace matching {

// Bytes that do not form a readable template.
class EMatching : public Exception {
 public:
  using Exception::Exception;
};

constexpr int kMaxMinutiae = 255;  // the count is one byte in the record
constexpr int kNeighbours = 4;     // edges kept per minutia

struct TMinutia {
  int16_t X, Y;
  uint8_t Angle;  // 256 steps, counter-clockwise from +X as the picture is seen
  uint8_t Type;
};

// Edge from a minutia to one of its neighbours. Length 0 marks an unused slot.
struct TEdge {
  uint8_t To;
  uint8_t Length;       // pixels
  uint8_t Alpha;        // edge direction minus the minutia's direction, 256 steps
  uint8_t Beta;         // neighbour's direction minus the minutia's direction, 256 steps
  uint16_t Direction;   // edge direction, 4096 steps
};

struct THullPoint {
  int16_t X, Y;
  uint16_t EdgeLength;  // to the next hull point, pixels
  uint16_t Reserved;
};

// A prepared template: one block of bytes (header, minutiae, edges, hull),
// suitable for keeping many of them side by side in one buffer.
struct TBlockHeader {
  uint32_t Size;  // bytes of the whole block, a multiple of 8
  uint16_t Count;
  uint16_t HullCount;
  uint32_t HullArea;  // square pixels
  uint32_t Reserved;
};

// Read access to a prepared block.
struct TTemplateView {
  const TMinutia* Minutiae = nullptr;
  const TEdge* Edges = nullptr;  // Count * kNeighbours
  const THullPoint* Hull = nullptr;
  int Count = 0;
  int HullCount = 0;
  int HullArea = 0;
};

TTemplateView View(const uint8_t* block);

// Reads the minutiae of an NFRecord template (bounded by `size`) and appends
// its prepared block to `out`. Throws EMatching when the bytes are not a
// template. Returns the offset of the block in `out`.
size_t PrepareTemplate(const uint8_t* data, size_t size, std::vector<uint8_t>& out);

// Checks that the bytes are a readable template; throws EMatching if not.
void CheckTemplate(const uint8_t* data, size_t size);

// A template prepared to be compared with many others.
class TProbe {
 public:
  TProbe() = default;
  TProbe(const uint8_t* data, size_t size) { Prepare(data, size); }
  void Prepare(const uint8_t* data, size_t size);
  // Same, from an already prepared block.
  void PrepareBlock(const uint8_t* block);

  const TTemplateView& Template() const { return FView; }

 private:
  friend class TComparison;
  std::vector<uint8_t> FBlock;
  TTemplateView FView;
  // Edge table: entries of cell c are FEntries[FCellStart[c] .. FCellStart[c+1]).
  struct TEntry {
    uint8_t From, To, Length, Alpha, Beta, Reserved;
    uint16_t Direction;
  };
  std::vector<uint32_t> FCellStart;
  std::vector<TEntry> FEntries;
  // Minutiae grid: 32-pixel cells over the 2048 x 2048 coordinate range.
  std::vector<uint16_t> FGridStart;
  std::vector<uint8_t> FGridItems;
};

// Work space of one thread: compares a probe with candidates, allocating
// nothing after construction. Aligned to a cache line: work spaces of several
// threads side by side in one array must not share one (each comparison
// writes its TDetail).
class alignas(64) TComparison {
 public:
  TComparison();
  int Score(const TProbe& probe, const TTemplateView& candidate);
  int Score(const TProbe& probe, const uint8_t* candidateBlock) { return Score(probe, View(candidateBlock)); }

  // What the last score was made of, for the evaluation's analysis.
  struct TDetail {
    int Paired = 0;
    int Weight = 0;  // 1/256 units
    int InP = 0, InC = 0;  // minutiae of each template inside the other's hull
  };
  const TDetail& Last() const { return FLast; }

 private:
  struct TVote {
    uint16_t Count;
    uint16_t Reserved;
    int32_t RotationSum;
  };
  struct TAnchor {
    uint8_t I, A;
    uint16_t Votes;
    int32_t Half;  // half the rotation from candidate to probe, 4096 steps
    uint32_t Key;
  };
  struct TPair {
    uint32_t Cost;
    uint32_t Key;
    uint8_t J, B;
  };
  struct TResult {
    int Paired = 0;
    int Weight = 0;  // paired minutiae weighed by closeness, 1/256 units
  };
  TResult Consolidate(const TProbe& probe, const TTemplateView& cand, const TAnchor& anchor);
  int Overlap(const TTemplateView& from, int origin, int half, const TTemplateView& to, int toOrigin) const;

  std::vector<TVote> FVotes;
  std::vector<uint32_t> FTouched;
  std::vector<TPair> FPairs;
  std::vector<int32_t> FU, FV;  // rotated coordinates, quarter pixels
  std::vector<uint8_t> FUsedP, FUsedC;
  std::vector<uint8_t> FBestP, FBestC;
  TDetail FLast;
};

// Score of two templates (prepares both; for one-off comparisons).
int Compare(const uint8_t* a, size_t sizeA, const uint8_t* b, size_t sizeB);

// Score at which the given share of impostor comparisons of the evaluation
// pass (interpolated in log scale between the measured rates, clamped outside).
int Threshold(double falseMatchRate);

}  // namespace matching
