// Finger minutiae records of the two exchange standards, ISO/IEC 19794-2:2005
// and ANSI INCITS 378-2004, read and written, and converted to and from
// NFRecord templates.
//
// Both records are big-endian: a record header (image size and resolution,
// capture equipment, the number of finger views), then per finger view a
// 4-byte view header, 6 bytes per minutia and an extended data area. Both
// begin "FMR\0" " 20\0"; what tells them apart is the record length field,
// 4 bytes at offset 8 in ISO, 2 bytes there in ANSI (or 2 zero bytes and then
// 4 bytes when the record is over 65,535 bytes).
//
// Every reader is bounded by the bytes given and refuses, with a message,
// anything that is not what it claims to be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/Excecoes.h"

namespace fmr {

// A record that cannot be read, or a template that cannot be written as one.
class ERecord : public Exception {
 public:
  using Exception::Exception;
};

enum class TFormat : int32_t { Iso2005 = 0, Ansi2004 = 1 };

// "ISO/IEC 19794-2:2005" or "ANSI INCITS 378-2004", for messages.
const char* FormatName(TFormat format);

// Minutia types as the standards code them (2 bits).
enum TStdType : int32_t { stOther = 0, stRidgeEnding = 1, stBifurcation = 2 };

// One minutia in the record's own units: picture coordinates (origin at the
// upper left pixel, Y down), the angle in the format's units (ISO 360/256
// degrees, ANSI 2 degrees), quality 0 to 100 with 0 for "not known".
struct TStdMinutia {
  int32_t Type = stOther;
  int32_t X = 0, Y = 0;
  int32_t Angle = 0;
  int32_t Quality = 0;
};

// Ridge count data (extended data block type 1): how many ridges the straight
// line between two minutiae of the view crosses, not counting the ridges the
// two lie on. Minutiae are numbered by their place in the view, 0 for the
// first (1 in the bytes).
struct TRidgeCount {
  int32_t From = 0, To = 0;
  int32_t Count = 0;
};

// How the neighbours of the ridge counts were chosen.
enum TRidgeCountMethod : int32_t { rcNonSpecific = 0, rcFourNeighbour = 1, rcEightNeighbour = 2 };

// Extended data block type codes.
constexpr uint32_t kRidgeCountBlock = 0x0001, kCoreDeltaBlock = 0x0002;

struct TFingerView {
  int32_t FingerPosition = 0;  // 0 unknown, 1 to 10 right thumb to left little
  int32_t ViewNumber = 0;      // 0 to 15
  int32_t ImpressionType = 0;  // 0 to 15; 0 live-scan plain
  int32_t FingerQuality = 0;   // 0 to 100
  std::vector<TStdMinutia> Minutiae;
  // The extended data area as found, written back as it is: blocks of a
  // 2-byte type code, a 2-byte length (counting these 4 bytes) and the data.
  std::vector<uint8_t> ExtendedData;
  // What its ridge count blocks say (read; ignored by Write, which writes
  // ExtendedData: RidgeCountBlock makes such a block).
  int32_t RidgeCountMethod = rcNonSpecific;
  std::vector<TRidgeCount> RidgeCounts;
};

// A ridge count data block, header included, for a view's ExtendedData.
std::vector<uint8_t> RidgeCountBlock(int32_t method, const std::vector<TRidgeCount>& counts);

struct TRecord {
  TFormat Format = TFormat::Iso2005;
  int32_t EquipmentCompliance = 0;  // 4 bits
  int32_t EquipmentId = 0;          // 12 bits
  int32_t CbeffOwner = 0, CbeffType = 0;  // ANSI only: the CBEFF product identifier
  int32_t Width = 0, Height = 0;          // pixels
  int32_t HorizontalResolution = 0, VerticalResolution = 0;  // pixels per centimetre
  std::vector<TFingerView> Views;
};

// Which of the two records the bytes are, by content: the record whose length
// field equals the number of bytes. Throws ERecord when the bytes are not a
// finger minutiae record, or when both or neither length field fits.
TFormat Detect(const uint8_t* data, size_t size);

// Reads a whole record of the given format. Throws ERecord on wrong magic or
// version, lengths that disagree with each other or with the bytes, counts
// beyond the record, reserved type codes, angles out of range, coordinates
// outside the image, extended data blocks that do not fill their area, ridge
// counts naming minutiae the view does not hold, or no finger view at all.
TRecord Read(const uint8_t* data, size_t size, TFormat format);

// Writes a record; throws ERecord when a field does not fit its bits or a
// minutia lies outside the image.
std::vector<uint8_t> Write(const TRecord& record);

// ---- Conversions with NFRecord templates ---------------------------------

// What the record says beyond the minutiae. -1 leaves a field to the
// template (the image size, resolution and quality the extraction engine
// writes in its header) or to its default (0).
struct TExportOptions {
  int32_t Width = -1, Height = -1;  // pixels
  int32_t Resolution = -1;          // pixels per inch, both directions
  int32_t FingerPosition = -1;
  int32_t ViewNumber = -1;
  int32_t ImpressionType = -1;
  int32_t FingerQuality = -1;
  int32_t EquipmentCompliance = -1;
  int32_t EquipmentId = -1;
  int32_t CbeffOwner = -1, CbeffType = -1;
};

// An NFRecord template (bounded by `size`) as a record of one finger view.
// When the template carries ridge periods (the engine's do), the view gets a
// ridge count data block: for each minutia its nearest neighbours across the
// ridges, the count estimated from the two minutiae's periods (the template
// keeps no picture to count on), so that a reader recovers a local period.
// Throws ERecord when the bytes are not a template, when neither the template
// nor the options give the image size or resolution, or when an option is
// out of its range.
std::vector<uint8_t> FromNFRecord(const uint8_t* data, size_t size, TFormat format, const TExportOptions& options);

// Finger view `view` (0 for the first) of a record as an NFRecord template
// that the matcher, the gallery and the template readers take. Ridge counts,
// when the view has them, give each minutia a ridge period (RidgePeriods). Throws ERecord
// when the record is malformed, when it holds no such view, or when a minutia
// lies beyond the 11 bits an NFRecord coordinate has.
std::vector<uint8_t> ToNFRecord(const uint8_t* data, size_t size, TFormat format, int view = 0);

// The same for a record of either format, recognised by Detect.
std::vector<uint8_t> ToNFRecord(const uint8_t* data, size_t size, int view = 0);

// A template converted to an ISO record and back, for the evaluations that
// measure what the exchange costs in accuracy. The template must carry its
// image size and resolution (as the engine's do).
std::vector<uint8_t> ThroughIso(const uint8_t* data, size_t size);

// ---- Ridge periods and ridge counts --------------------------------------

// A minutia as the ridge count estimates see it: picture coordinates, NFRecord
// angle (256 steps), ridge period in tenths of a pixel (255: not known).
struct TPlaced {
  int32_t X = 0, Y = 0, Angle = 0, Period = 255;
};

// The ridge counts the exporter writes: for each minutia with a period, up to
// two nearest neighbours on each side across its ridge (the line within 30
// degrees of square to the ridges, which run alike at both ends), each pair once.
std::vector<TRidgeCount> EstimateRidgeCounts(const std::vector<TPlaced>& minutiae);

// Each minutia's ridge period (tenths of a pixel) recovered from ridge counts:
// the span across the ridges over the ridge spacings, summed over the counts
// that reach it; minutiae without a usable count take the view's whole
// ratio. All 255 when no count is usable.
std::vector<int32_t> RidgePeriods(const std::vector<TPlaced>& minutiae, const std::vector<TRidgeCount>& counts);

// ---- The conventions, each defined once ----------------------------------

// Angles: NFRecord has 256 steps per turn, counter-clockwise from +X as the
// picture is seen; both standards measure counter-clockwise from +X as well,
// ISO in the same 256 steps, ANSI in 2-degree units (0 to 179).
int32_t StdAngle(int32_t nfAngle, TFormat format);
int32_t NFAngle(int32_t stdAngle, TFormat format);

// Types: NFRecord 0 ridge ending, 1 bifurcation, 2 and 3 no type of their own.
int32_t StdType(int32_t nfType);
int32_t NFType(int32_t stdType);

// Minutia quality: NFRecord 0 to 100, 255 where not known; the standards 1 to
// 100, 0 where not known.
int32_t StdQuality(int32_t nfQuality);
int32_t NFQuality(int32_t stdQuality);

// Resolution: NFRecord pixels per inch, the standards pixels per centimetre.
int32_t PixelsPerCm(int32_t ppi);
int32_t PixelsPerInch(int32_t ppcm);

}  // namespace fmr
