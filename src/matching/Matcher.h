// Minutiae matcher for NFRecord templates.
//
// A template is prepared once into a compact block: its minutiae, the edges
// between each minutia and its nearest neighbours (each edge once, for both of
// its ends: length and direction), and the convex hull of its minutiae. A
// comparison unpacks the candidate's block into its work space: for each end
// of an edge, the edge's length, direction relative to the minutia and the
// difference of the two directions (all unchanged by rotation and
// translation). A probe is prepared further: its edges, from both ends, go
// into a table indexed by quantised edge features and its minutiae into a
// spatial grid.
//
// A comparison looks up each edge of the candidate in the probe's table; each
// edge pair within tolerance, seen from both ends, votes for the two minutia
// pairs it joins. The best voted minutia pairs are anchors, ranked by the
// votes of the anchors that agree with them; from the best ranked, each fixes
// a rotation (averaged over the edges that voted for it) and a translation,
// under which all minutiae are paired greedily, lowest cost first, with a
// position tolerance that grows with the distance from the anchor (elastic
// distortion). The score counts the pairs of the best pairing that an alike
// edge to another pair supports, over the minutiae the two templates have in
// common ground.
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
constexpr int kMaxNeighbours = 16; // edges of one minutia, at most
constexpr int kMaxAnchors = 64;

// Constants of the comparison that the evaluation tools vary when they try
// variants; the defaults are the shipped matcher. Change them only before any
// template is prepared or compared (they are read without a lock).
struct TTuning {
  int Neighbours = 10;     // a minutia's edges go to its nearest neighbours and to those that have it among theirs...
  int Slots = 16;          // ...at most this many edges per minutia (shortest kept)
  int MinEdge = 4;         // pixels; shorter edges are too noisy to compare
  int Anchors = 30;        // best voted minutia pairs kept as alignment anchors...
  int Clusters = 6;        // ...of which those most agreed with are consolidated (0: every one)
  int AlphaTol = 14;       // edge angle tolerances, 256 steps (about 20 degrees)
  int BetaTol = 14;
  int PairAngleTol = 341;  // 4096 steps (30 degrees) between paired minutiae
  int PosTol = 10;         // pixels at the anchor...
  int PosTolMax = 28;      // ...growing with distance up to this (below the grid cell)
  int GrowthDen = 156;     // (tolerance growth per pixel of distance)^2 = 1 / GrowthDen
  int TypePenalty = 0;     // pairing cost of differing minutia types, 1/256 units
  int PeriodPenalty = 60;  // pairing cost per 10 % of ridge period difference, 1/256 units
  int ScoreMode = 1;       // 1 supported pairs (shipped), 0 the earlier weighed pairs over chance
  int SupportScale = 100;
  int SupportFloor = 5;
  int ChanceFloor = 16;    // of score 0
};
TTuning& Tuning();

// Whether a comparison may take its SSE2 paths where it is built for x86-64
// (on by default); off, it takes the plain ones, which give the same scores.
// For the tests that compare the two; set like TTuning.
bool& VectorPaths();

struct TMinutia {
  int16_t X, Y;
  uint8_t Angle;  // 256 steps, counter-clockwise from +X as the picture is seen
  uint8_t Type;
  uint8_t Period;   // local ridge period, tenths of a pixel (255: unknown)
  uint8_t Reserved;
};

// An edge seen from one of its ends. Length 0 marks an unused slot.
struct TEdge {
  uint8_t To;
  uint8_t Length;  // pixels
  uint8_t Alpha;   // edge direction minus the minutia's direction, 256 steps
  uint8_t Beta;    // neighbour's direction minus the minutia's direction, 256 steps
};

// An edge once, from its lower numbered end.
struct TLink {
  uint8_t From, To;  // From < To
  uint8_t Length;    // pixels
  uint8_t Direction; // from From to To, 256 steps
};

struct THullPoint {
  int16_t X, Y;
  uint16_t EdgeLength;  // to the next hull point, pixels
  uint16_t Reserved;
};

// A prepared template: one block of bytes, suitable for keeping many of them
// side by side in one buffer. After the header: per minutia X, Y (int16),
// direction and ridge period (TPackedMinutia); per minutia its type (low 2
// bits) and the count of its edges to higher numbered minutiae (the rest);
// the edges (TPackedEdge), grouped by their lower numbered end in order; the
// hull's corners as minutia numbers, counter-clockwise. An edge keeps no
// length: it follows from its ends (EdgeLengths), and leaving it out keeps a
// million templates within the memory a gallery of that size may take.
struct TBlockHeader {
  uint32_t Size;  // bytes of the whole block, a multiple of 8
  uint16_t Count;
  uint16_t HullCount;
  uint32_t HullArea;   // square pixels
  uint16_t EdgeCount;  // edges, each once
  uint16_t Format;     // kBlockFormat
  int16_t CentreX, CentreY;  // mean of the hull's corners, inside it
  uint32_t InRadius2;        // square of the distance from there to the nearest hull edge, square pixels
};
constexpr uint16_t kBlockFormat = 3;
struct TPackedMinutia {
  int16_t X, Y;
  uint8_t Angle, Period;
};
struct TPackedEdge {
  uint8_t To, Direction;
};

// Edges are at most 255 pixels long: squares of lengths up to this.
constexpr int32_t kMostEdge2 = 255 * 255;
// Edge lengths in pixels, rounded, by their square (0 to kMostEdge2): a
// table, since a comparison works out every edge of its candidate.
const uint8_t* EdgeLengths();

// A block unpacked for comparing.
struct TTemplateView {
  const TMinutia* Minutiae = nullptr;
  const TEdge* Edges = nullptr;  // Count * kMaxNeighbours slots
  const TLink* Links = nullptr;  // LinkCount
  const THullPoint* Hull = nullptr;
  int Count = 0;
  int LinkCount = 0;
  int HullCount = 0;
  int HullArea = 0;
  int CentreX = 0, CentreY = 0;
  int InRadius2 = 0;
  int Span = 0;  // the larger of the minutiae's extents in X and in Y, pixels
};

// Room for one unpacked block, made once (unpacking allocates nothing).
class TUnpacked {
 public:
  TUnpacked();
  // Unpacks a block that PrepareTemplate made (or CheckBlock passed).
  const TTemplateView& Unpack(const uint8_t* block);
  const TTemplateView& View() const { return FView; }

 private:
  std::vector<TMinutia> FMinutiae;
  std::vector<TEdge> FEdges;
  std::vector<TLink> FLinks;
  std::vector<THullPoint> FHull;
  TTemplateView FView;
};

// Minutiae and hull area of a block, without unpacking it.
inline int BlockCount(const uint8_t* block) { return reinterpret_cast<const TBlockHeader*>(block)->Count; }
inline int BlockHullArea(const uint8_t* block) { return static_cast<int>(reinterpret_cast<const TBlockHeader*>(block)->HullArea); }

// Reads the minutiae of an NFRecord template (bounded by `size`) and appends
// its prepared block to `out`. Throws EMatching when the bytes are not a
// template (CheckTemplate). Returns the offset of the block in `out`.
size_t PrepareTemplate(const uint8_t* data, size_t size, std::vector<uint8_t>& out);

// Checks that the bytes form a template (ValidateTemplate in TemplateCheck.h
// states the rules) and returns its minutia count; throws EMatching naming
// what is wrong when they do not: "<what> is not a valid NFRecord template:
// <problem>" (what: "The probe", for example), or "Not a valid NFRecord
// template: <problem>" when `what` is null. A template without minutiae
// passes: the matcher scores it 0 against anything.
int CheckTemplate(const uint8_t* data, size_t size, const char* what = nullptr);

// Checks that `size` bytes are a block as PrepareTemplate makes them (its
// sizes agree with its counts); throws EMatching if not. For blocks that
// come back from outside the library's memory.
void CheckBlock(const uint8_t* block, size_t size);

// The fewest minutiae with which a template can score the lowest threshold
// of the table against anything: a score is 0 unless two minutiae pair, and
// grows with the pairs, all of them paired being the best a template can do.
int LeastUsableMinutiae();

// A template prepared to be compared with many others.
class TProbe {
 public:
  TProbe() = default;
  TProbe(const uint8_t* data, size_t size) { Prepare(data, size); }
  void Prepare(const uint8_t* data, size_t size);
  // Same, from an already prepared block.
  void PrepareBlock(const uint8_t* block);

  const TTemplateView& Template() const { return FUnpacked.View(); }
  // The prepared block it was made from (null before Prepare).
  const uint8_t* Block() const { return FBlock.empty() ? nullptr : FBlock.data(); }

 private:
  friend class TComparison;
  TUnpacked FUnpacked;
  std::vector<uint8_t> FBlock;
  // Edge table: entries of cell c are FEntries[FCellStart[c] .. FCellStart[c+1]).
  struct TEntry {
    uint8_t From, To, Length, Alpha, Beta;
    uint8_t Turn;  // Alpha - Beta: the edge's direction relative to the far minutia
    uint8_t Reserved[2];
  };
  std::vector<uint32_t> FCellStart;
  std::vector<TEntry> FEntries;
  // Minutiae grid: 32-pixel cells over the 2048 x 2048 coordinate range.
  std::vector<uint16_t> FGridStart;
  std::vector<uint8_t> FGridItems;
  // Grid column and direction (4096 steps) of each item, and 4 more (0), for
  // the comparison's SSE2 path.
  std::vector<int32_t> FGridCol, FGridAngle;
  std::vector<uint32_t> FGridXY;  // X and Y (16 bits each) of each item
  std::vector<uint32_t> FKeys;  // hashes of the minutiae, for ties broken alike from either side
};

// Work space of one thread: compares a probe with candidates, allocating
// nothing after construction. Aligned to a cache line: work spaces of several
// threads side by side in one array must not share one (each comparison
// writes its TDetail).
class alignas(64) TComparison {
 public:
  TComparison();
  int Score(const TProbe& probe, const TTemplateView& candidate);
  int Score(const TProbe& probe, const uint8_t* candidateBlock) { return Score(probe, FCandidate.Unpack(candidateBlock)); }

  // What the last score was made of, for the evaluation's analysis.
  struct TDetail {
    int Paired = 0;
    int Weight = 0;  // 1/256 units
    int InP = 0, InC = 0;  // minutiae of each template inside the other's hull
    int Supported = 0;     // pairs with an edge alike to another pair
    int Supported2 = 0;    // pairs with two such edges
    int SupportEdges = 0;  // such edges, counted from both ends
    int AreaP = 0, AreaC = 0;
    int SupportWeight = 0;  // weight of the supported pairs, 1/256 units
    int Anchor = 0;         // rank of the anchor whose pairing won
  };
  const TDetail& Last() const { return FLast; }

  // The minutia of the last candidate that the last comparison's pairing
  // paired with probe minutia `j` (numbered as in the template), -1 where none
  // or when the comparison paired fewer than two. For the evaluation's
  // analysis of which minutiae match.
  int PairOf(int j) const { return j >= 0 && j < FBestCount ? FBestP[static_cast<size_t>(j)] - 1 : -1; }

 private:
  struct TAnchor {
    uint8_t I, A;
    uint16_t Votes;
    int32_t Half;  // half the rotation from candidate to probe, 4096 steps
    uint32_t Key;
  };
  // A candidate link as the entries of its cell are tested: the entry of
  // slot t of the batch is t + Delta.
  struct TLinkTest {
    int32_t Delta;
    uint8_t From, To;
    uint8_t Lo, Span;  // lengths within tolerance: Lo .. Lo + Span
    uint8_t Alpha, Beta, Turn;
  };
  static constexpr int kLinkBatch = 1024;  // entry slots of one batch of links
  static constexpr int kLinkSpan = 8;      // slots numbered (and copied) at once
  struct alignas(16) TLinkBytes {
    uint8_t B[16];  // a link's features as the SSE2 path tests entries' bytes: low bytes, then spans
  };
  struct TResult {
    int Paired = 0;
    int Weight = 0;  // paired minutiae weighed by closeness, 1/256 units
  };
  TResult Consolidate(const TProbe& probe, const TTemplateView& cand, const TAnchor& anchor);
  int Overlap(const TTemplateView& from, int origin, int half, const TTemplateView& to, int toOrigin) const;

  // Votes per minutia pair (probe minutia * candidate count + candidate
  // minutia): the count times 2^20 plus the sum of the rotations they imply;
  // zero between comparisons.
  std::vector<int32_t> FVotes;
  std::vector<TLinkTest> FLinkTests;
  std::vector<uint16_t> FLinkOf;  // link of each slot of the batch
  std::vector<TProbe::TEntry> FSlotEntries;  // the batch's entries, for the SSE2 path
  std::vector<TLinkBytes> FLinkBytes;
  std::vector<uint16_t> FPassed;  // slots whose entries pass
  std::vector<uint64_t> FPairs;  // candidate pairs of a consolidation, packed to sort (see Consolidate)
  std::vector<uint8_t> FBlockMost;  // most votes of each eight minutia pairs
  std::vector<uint16_t> FReaching;  // blocks whose most reaches the anchors' floor
  std::vector<uint32_t> FKeyC;   // hashes of the candidate's minutiae
  std::vector<uint64_t> FBestOfP, FBestOfC;  // lowest open pair of each minutia

  std::vector<int32_t> FU, FV;  // rotated coordinates, quarter pixels
  std::vector<int16_t> FU16;    // FU in 16 bits, for the SSE2 path
  std::vector<uint8_t> FUsedP, FUsedC;
  std::vector<uint8_t> FBestP, FBestC;
  std::vector<uint16_t> FWeightP, FBestWeightP;  // weight of each probe minutia's pair
  TDetail FLast;
  int FBestCount = 0;  // probe minutiae of the last pairing in FBestP; 0 when there is none
  TUnpacked FCandidate;
};

// Sine and cosine of x (radians, within a quarter turn) by their series:
// only +, * and /, so the same bits on every platform.
void SinCosSeries(double x, double& sn, double& cs);

// Direction of (dx, dy) (y up), 4096 steps counter-clockwise from +X; the
// same bits on every platform.
int Direction4096(int64_t dx, int64_t dy);

// Score of two templates (prepares both; for one-off comparisons).
int Compare(const uint8_t* a, size_t sizeA, const uint8_t* b, size_t sizeB);

// Score at which the given share of impostor comparisons of the evaluation
// pass (interpolated in log scale between the measured rates, clamped outside).
int Threshold(double falseMatchRate);

}  // namespace matching
