#include "templates/MinutiaeRecords.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "matching/TemplateCheck.h"
#include "support/Formatar.h"
#include "templates/udOmfwTemplates.h"

namespace fmr {

// ---- The conventions ----------------------------------------------------------
//
// Position. NFRecord and both standards put the origin at the upper left
// pixel with Y growing downwards, in pixels: coordinates pass unchanged.
//
// Angle sense. NFRecord angles turn counter-clockwise from +X as the picture
// is seen (pointing to the top of the picture is a quarter turn); so do the
// standards' (counter-clockwise from the positive X axis of a picture whose Y
// grows downwards, that is, as it is seen). No reflection is needed.
//
// Where a ridge ending points. The standards place a ridge ending where the
// valley in front of it forks, and treat it as that valley bifurcation: its
// angle, like a ridge bifurcation's, points from the fork between the two
// tines of the Y, which for an ending is back along the ridge, into it. The
// engine points an ending along its ridge away from the end, into the ridge,
// and a bifurcation into the valley between its branches: the same
// directions, so no half turn is added for either type. (The engine places an
// ending at the end of the ridge's skeleton, within half a ridge period of the
// valley fork; the position is not moved, which matchers tolerate.)
//
// Units. NFRecord and ISO both count 256 steps per turn; ANSI counts 2-degree
// steps, 0 to 179, rounded to the nearest step each way (so that a value comes
// back within one step of the coarser unit).

int32_t StdAngle(int32_t nfAngle, TFormat format) {
  const int32_t a = nfAngle & 255;
  if (format == TFormat::Iso2005) return a;
  return (a * 90 + 64) / 128;  // a * 360/256 / 2, rounded: 0 to 179
}

int32_t NFAngle(int32_t stdAngle, TFormat format) {
  if (format == TFormat::Iso2005) return stdAngle & 255;
  return ((stdAngle * 128 + 45) / 90) & 255;  // v * 2 * 256/360, rounded
}

int32_t StdType(int32_t nfType) {
  switch (nfType) {
    case 0: return stRidgeEnding;
    case 1: return stBifurcation;
    default: return stOther;  // codes 2 and 3 carry no type
  }
}

int32_t NFType(int32_t stdType) {
  switch (stdType) {
    case stRidgeEnding: return 0;
    case stBifurcation: return 1;
    default: return 2;
  }
}

// The engine's 0 is a measured (lowest) quality, the standards' 0 "not known":
// a measured 0 becomes 1. NFRecord's 255 (no quality byte) is "not known".
int32_t StdQuality(int32_t nfQuality) {
  if (nfQuality >= 255) return 0;
  return std::clamp(nfQuality, 1, 100);
}

int32_t NFQuality(int32_t stdQuality) { return stdQuality == 0 ? 255 : std::clamp(stdQuality, 0, 100); }

int32_t PixelsPerCm(int32_t ppi) { return (ppi * 100 + 127) / 254; }    // 500 ppi: 197
int32_t PixelsPerInch(int32_t ppcm) { return (ppcm * 254 + 50) / 100; }  // 197: 500 ppi

// ---- Bytes ------------------------------------------------------------------------

namespace {

constexpr uint8_t kMagic[8] = {'F', 'M', 'R', 0, ' ', '2', '0', 0};
constexpr size_t kIsoHeader = 24, kAnsiHeader = 26, kAnsiLongHeader = 30;
constexpr size_t kViewHeader = 4, kMinutia = 6;
constexpr int32_t kNFMaxCoordinate = 2047;  // 11 bits in the minutia word
constexpr int32_t kStdMaxCoordinate = 16383;  // 14 bits

// Sizes in messages (the Windows C library knows no %zu).
long long Ll(size_t v) { return static_cast<long long>(v); }

uint32_t BE16(const uint8_t* p) { return uint32_t{p[0]} << 8 | p[1]; }
uint32_t BE32(const uint8_t* p) { return BE16(p) << 16 | BE16(p + 2); }

// What the record's length field(s) of one format say, if the bytes are long enough to hold them.
bool LengthFits(const uint8_t* data, size_t size, TFormat format) {
  if (format == TFormat::Iso2005) return size >= 12 && BE32(data + 8) == size;
  if (size < 10) return false;
  const uint32_t shortLength = BE16(data + 8);
  if (shortLength != 0) return shortLength == size;
  return size >= 14 && BE32(data + 10) == size;
}

void CheckMagic(const uint8_t* data, size_t size) {
  if (!data || size == 0) throw ERecord("The record is empty");
  if (size < 8 || std::memcmp(data, kMagic, 4) != 0)
    throw ERecord("The bytes are not a finger minutiae record: they do not begin with \"FMR\"");
  if (std::memcmp(data + 4, kMagic + 4, 4) != 0) {
    std::string v;
    for (int i = 4; i < 7; ++i) v += (data[i] >= 0x20 && data[i] < 0x7F) ? static_cast<char>(data[i]) : '?';
    throw ERecord(Format("The record's version is \"%s\", not \" 20\" (2.0)", v.c_str()));
  }
}

class TReader {
 public:
  TReader(const uint8_t* data, size_t size, size_t pos) : FData(data), FSize(size), FPos(pos) {}
  size_t Left() const { return FSize - FPos; }
  size_t Pos() const { return FPos; }
  uint32_t U8() { return FData[FPos++]; }
  uint32_t U16() {
    const uint32_t v = BE16(FData + FPos);
    FPos += 2;
    return v;
  }
  const uint8_t* Take(size_t n) {
    const uint8_t* p = FData + FPos;
    FPos += n;
    return p;
  }

 private:
  const uint8_t* FData;
  size_t FSize, FPos;
};

class TWriter {
 public:
  void U8(uint32_t v) { FOut.push_back(static_cast<uint8_t>(v)); }
  void U16(uint32_t v) {
    U8(v >> 8);
    U8(v);
  }
  void U32(uint32_t v) {
    U16(v >> 16);
    U16(v & 0xFFFF);
  }
  void LE16(uint32_t v) {
    U8(v);
    U8(v >> 8);
  }
  void LE32(uint32_t v) {
    LE16(v & 0xFFFF);
    LE16(v >> 16);
  }
  void Bytes(const uint8_t* p, size_t n) { FOut.insert(FOut.end(), p, p + n); }
  std::vector<uint8_t>& Out() { return FOut; }

 private:
  std::vector<uint8_t> FOut;
};

void CheckRange(int64_t value, int64_t low, int64_t high, const char* what) {
  if (value < low || value > high)
    throw ERecord(Format("The %s %lld is outside %lld to %lld", what, static_cast<long long>(value),
                         static_cast<long long>(low), static_cast<long long>(high)));
}

// The blocks of a view's extended data: each a 2-byte type code and a 2-byte
// length that counts those 4 bytes, filling the area exactly. Ridge count
// blocks are read into the view; core and delta data and the vendors' blocks
// are kept as bytes only.
void ReadExtendedData(TFingerView& v, int n) {
  const std::vector<uint8_t>& e = v.ExtendedData;
  const size_t minutiae = v.Minutiae.size();
  for (size_t at = 0, block = 1; at < e.size(); ++block) {
    if (e.size() - at < 4)
      throw ERecord(Format("Finger view %d's extended data block %lld is cut short: %lld bytes left, its type and "
                           "length take 4",
                           n, Ll(block), Ll(e.size() - at)));
    const uint32_t type = BE16(&e[at]), length = BE16(&e[at + 2]);
    if (length < 4 || length > e.size() - at)
      throw ERecord(Format("Finger view %d's extended data block %lld says it is %u bytes long (its 4-byte header "
                           "included), but %lld bytes of the area are left",
                           n, Ll(block), length, Ll(e.size() - at)));
    if (type == kRidgeCountBlock) {
      if (length < 5 || (length - 5) % 3 != 0)
        throw ERecord(Format("Finger view %d's ridge count data is %u bytes long: not its header, a method byte and "
                             "3 bytes per count",
                             n, length));
      const int32_t method = e[at + 4];
      if (method > rcEightNeighbour)
        throw ERecord(Format("Finger view %d's ridge count data names the extraction method %d; the defined ones are "
                             "0 (non-specific), 1 (four neighbours) and 2 (eight neighbours)",
                             n, method));
      v.RidgeCountMethod = method;
      for (size_t k = at + 5; k < at + length; k += 3) {
        const uint32_t a = e[k], b = e[k + 1];
        const long long entry = static_cast<long long>(v.RidgeCounts.size()) + 1;
        if (a == 0 || b == 0 || a > minutiae || b > minutiae)
          throw ERecord(Format("Ridge count %lld of finger view %d joins minutiae %u and %u, but the view holds %lld "
                               "(numbered from 1)",
                               entry, n, a, b, Ll(minutiae)));
        if (a == b) throw ERecord(Format("Ridge count %lld of finger view %d joins minutia %u to itself", entry, n, a));
        v.RidgeCounts.push_back(TRidgeCount{static_cast<int32_t>(a - 1), static_cast<int32_t>(b - 1), e[k + 2]});
      }
    }
    at += length;
  }
}

TFingerView ReadView(TReader& r, const TRecord& rec, int index, int count) {
  const int n = index + 1;
  if (r.Left() < kViewHeader)
    throw ERecord(Format("Finger view %d of %d is cut short: the record ends %lld bytes into its 4-byte header", n,
                         count, Ll(r.Left())));
  TFingerView v;
  v.FingerPosition = static_cast<int32_t>(r.U8());
  const uint32_t viewAndImpression = r.U8();
  v.ViewNumber = static_cast<int32_t>(viewAndImpression >> 4);
  v.ImpressionType = static_cast<int32_t>(viewAndImpression & 15);
  v.FingerQuality = static_cast<int32_t>(r.U8());
  if (v.FingerQuality > 100) throw ERecord(Format("Finger view %d has the quality %d, beyond 100", n, v.FingerQuality));
  const size_t minutiae = r.U8();
  if (r.Left() < minutiae * kMinutia)
    throw ERecord(Format("Finger view %d says it holds %lld minutiae (%lld bytes), but only %lld bytes follow its header",
                         n, Ll(minutiae), Ll(minutiae * kMinutia), Ll(r.Left())));
  v.Minutiae.resize(minutiae);
  for (size_t k = 0; k < minutiae; ++k) {
    TStdMinutia& m = v.Minutiae[k];
    const uint32_t typeAndX = r.U16(), y = r.U16();
    m.Type = static_cast<int32_t>(typeAndX >> 14);
    m.X = static_cast<int32_t>(typeAndX & 0x3FFF);
    m.Y = static_cast<int32_t>(y & 0x3FFF);  // the 2 reserved bits above Y are not interpreted
    m.Angle = static_cast<int32_t>(r.U8());
    m.Quality = static_cast<int32_t>(r.U8());
    const int mi = static_cast<int>(k) + 1;
    if (m.Type == 3) throw ERecord(Format("Minutia %d of finger view %d has the reserved type code 3", mi, n));
    if (m.X >= rec.Width || m.Y >= rec.Height)
      throw ERecord(Format("Minutia %d of finger view %d lies at (%d, %d), outside the %d x %d image", mi, n, m.X, m.Y,
                           rec.Width, rec.Height));
    if (rec.Format == TFormat::Ansi2004 && m.Angle > 179)
      throw ERecord(Format("Minutia %d of finger view %d has the angle %d, beyond 179 (2-degree units)", mi, n, m.Angle));
    if (m.Quality > 100)
      throw ERecord(Format("Minutia %d of finger view %d has the quality %d, beyond 100", mi, n, m.Quality));
  }
  if (r.Left() < 2)
    throw ERecord(Format("Finger view %d is cut short: the record ends before its extended data length", n));
  const size_t extended = r.U16();
  if (r.Left() < extended)
    throw ERecord(Format("Finger view %d says its extended data is %lld bytes long, but only %lld bytes follow", n,
                         Ll(extended), Ll(r.Left())));
  const uint8_t* e = r.Take(extended);
  v.ExtendedData.assign(e, e + extended);
  ReadExtendedData(v, n);
  return v;
}

}  // namespace

const char* FormatName(TFormat format) {
  return format == TFormat::Iso2005 ? "ISO/IEC 19794-2:2005" : "ANSI INCITS 378-2004";
}

TFormat Detect(const uint8_t* data, size_t size) {
  CheckMagic(data, size);
  const bool iso = LengthFits(data, size, TFormat::Iso2005), ansi = LengthFits(data, size, TFormat::Ansi2004);
  if (iso && ansi)
    throw ERecord(Format("The finger minutiae record is ambiguous: both the ISO and the ANSI length field say %lld bytes",
                         Ll(size)));
  if (!iso && !ansi)
    throw ERecord(Format("The finger minutiae record's length field disagrees with its %lld bytes, read as ISO/IEC "
                         "19794-2:2005 or as ANSI INCITS 378-2004",
                         Ll(size)));
  return iso ? TFormat::Iso2005 : TFormat::Ansi2004;
}

TRecord Read(const uint8_t* data, size_t size, TFormat format) {
  CheckMagic(data, size);
  TRecord rec;
  rec.Format = format;
  const char* name = FormatName(format);
  size_t header = format == TFormat::Iso2005 ? kIsoHeader : kAnsiHeader;
  if (size < header)
    throw ERecord(Format("The %s record is cut short: %lld bytes, its header alone has %lld", name, Ll(size), Ll(header)));
  if (!LengthFits(data, size, format)) {
    const TFormat other = format == TFormat::Iso2005 ? TFormat::Ansi2004 : TFormat::Iso2005;
    if (LengthFits(data, size, other))
      throw ERecord(Format("The record is an %s record, not an %s one", FormatName(other), name));
    const uint32_t said = format == TFormat::Iso2005 ? BE32(data + 8)
                          : BE16(data + 8) != 0  ? BE16(data + 8)
                                                 : BE32(data + 10);
    throw ERecord(Format("The %s record says it is %lld bytes long, but it is %lld bytes", name, Ll(said), Ll(size)));
  }
  size_t pos = 12;
  if (format == TFormat::Ansi2004) {
    pos = 10;
    if (BE16(data + 8) == 0) {
      header = kAnsiLongHeader;
      if (size < header)
        throw ERecord(Format("The %s record is cut short: %lld bytes, its header alone has %lld", name, Ll(size), Ll(header)));
      pos = 14;
    }
    rec.CbeffOwner = static_cast<int32_t>(BE16(data + pos));
    rec.CbeffType = static_cast<int32_t>(BE16(data + pos + 2));
    pos += 4;
  }
  TReader r(data, size, pos);
  const uint32_t equipment = r.U16();
  rec.EquipmentCompliance = static_cast<int32_t>(equipment >> 12);
  rec.EquipmentId = static_cast<int32_t>(equipment & 0xFFF);
  rec.Width = static_cast<int32_t>(r.U16());
  rec.Height = static_cast<int32_t>(r.U16());
  rec.HorizontalResolution = static_cast<int32_t>(r.U16());
  rec.VerticalResolution = static_cast<int32_t>(r.U16());
  const int views = static_cast<int>(r.U8());
  r.U8();  // reserved
  if (views == 0) throw ERecord(Format("The %s record holds no finger view", name));
  for (int i = 0; i < views; ++i) rec.Views.push_back(ReadView(r, rec, i, views));
  if (r.Left() != 0)
    throw ERecord(Format("%lld bytes follow the last of the record's %d finger views: its lengths disagree",
                         Ll(r.Left()), views));
  return rec;
}

std::vector<uint8_t> Write(const TRecord& rec) {
  const bool ansi = rec.Format == TFormat::Ansi2004;
  CheckRange(rec.EquipmentCompliance, 0, 15, "equipment compliance");
  CheckRange(rec.EquipmentId, 0, 0xFFF, "capture equipment id");
  CheckRange(rec.CbeffOwner, 0, 0xFFFF, "CBEFF product owner");
  CheckRange(rec.CbeffType, 0, 0xFFFF, "CBEFF product type");
  CheckRange(rec.Width, 0, 0xFFFF, "image width");
  CheckRange(rec.Height, 0, 0xFFFF, "image height");
  CheckRange(rec.HorizontalResolution, 0, 0xFFFF, "horizontal resolution (pixels per centimetre)");
  CheckRange(rec.VerticalResolution, 0, 0xFFFF, "vertical resolution (pixels per centimetre)");
  CheckRange(static_cast<int64_t>(rec.Views.size()), 1, 255, "number of finger views");
  size_t body = 0;
  for (const TFingerView& v : rec.Views) {
    CheckRange(v.FingerPosition, 0, 255, "finger position");
    CheckRange(v.ViewNumber, 0, 15, "view number");
    CheckRange(v.ImpressionType, 0, 15, "impression type");
    CheckRange(v.FingerQuality, 0, 100, "finger quality");
    CheckRange(static_cast<int64_t>(v.Minutiae.size()), 0, 255, "number of minutiae");
    CheckRange(static_cast<int64_t>(v.ExtendedData.size()), 0, 0xFFFF, "extended data length");
    for (const TStdMinutia& m : v.Minutiae) {
      CheckRange(m.Type, 0, 2, "minutia type");
      CheckRange(m.Angle, 0, ansi ? 179 : 255, "minutia angle");
      CheckRange(m.Quality, 0, 100, "minutia quality");
      if (m.X < 0 || m.Y < 0 || m.X >= rec.Width || m.Y >= rec.Height || m.X > kStdMaxCoordinate ||
          m.Y > kStdMaxCoordinate)
        throw ERecord(Format("A minutia at (%d, %d) lies outside the %d x %d image", m.X, m.Y, rec.Width, rec.Height));
    }
    body += kViewHeader + kMinutia * v.Minutiae.size() + 2 + v.ExtendedData.size();
  }
  size_t total = (ansi ? kAnsiHeader : kIsoHeader) + body;
  const bool longAnsi = ansi && total > 0xFFFF;
  if (longAnsi) total += kAnsiLongHeader - kAnsiHeader;

  TWriter w;
  w.Bytes(kMagic, sizeof kMagic);
  if (!ansi) {
    w.U32(static_cast<uint32_t>(total));
  } else {
    if (longAnsi) {
      w.U16(0);
      w.U32(static_cast<uint32_t>(total));
    } else {
      w.U16(static_cast<uint32_t>(total));
    }
    w.U16(static_cast<uint32_t>(rec.CbeffOwner));
    w.U16(static_cast<uint32_t>(rec.CbeffType));
  }
  w.U16(static_cast<uint32_t>(rec.EquipmentCompliance) << 12 | static_cast<uint32_t>(rec.EquipmentId));
  w.U16(static_cast<uint32_t>(rec.Width));
  w.U16(static_cast<uint32_t>(rec.Height));
  w.U16(static_cast<uint32_t>(rec.HorizontalResolution));
  w.U16(static_cast<uint32_t>(rec.VerticalResolution));
  w.U8(static_cast<uint32_t>(rec.Views.size()));
  w.U8(0);
  for (const TFingerView& v : rec.Views) {
    w.U8(static_cast<uint32_t>(v.FingerPosition));
    w.U8(static_cast<uint32_t>(v.ViewNumber) << 4 | static_cast<uint32_t>(v.ImpressionType));
    w.U8(static_cast<uint32_t>(v.FingerQuality));
    w.U8(static_cast<uint32_t>(v.Minutiae.size()));
    for (const TStdMinutia& m : v.Minutiae) {
      w.U16(static_cast<uint32_t>(m.Type) << 14 | static_cast<uint32_t>(m.X));
      w.U16(static_cast<uint32_t>(m.Y));
      w.U8(static_cast<uint32_t>(m.Angle));
      w.U8(static_cast<uint32_t>(m.Quality));
    }
    w.U16(static_cast<uint32_t>(v.ExtendedData.size()));
    w.Bytes(v.ExtendedData.data(), v.ExtendedData.size());
  }
  return std::move(w.Out());
}

std::vector<uint8_t> RidgeCountBlock(int32_t method, const std::vector<TRidgeCount>& counts) {
  CheckRange(method, 0, 255, "ridge count extraction method");
  const size_t length = 5 + 3 * counts.size();
  CheckRange(static_cast<int64_t>(length), 5, 0xFFFF, "ridge count data length");
  TWriter w;
  w.U16(kRidgeCountBlock);
  w.U16(static_cast<uint32_t>(length));
  w.U8(static_cast<uint32_t>(method));
  for (const TRidgeCount& c : counts) {
    CheckRange(c.From, 0, 254, "minutia number of a ridge count");
    CheckRange(c.To, 0, 254, "minutia number of a ridge count");
    CheckRange(c.Count, 0, 255, "ridge count");
    w.U8(static_cast<uint32_t>(c.From + 1));
    w.U8(static_cast<uint32_t>(c.To + 1));
    w.U8(static_cast<uint32_t>(c.Count));
  }
  return std::move(w.Out());
}

// ---- Ridge periods and ridge counts ---------------------------------------------
//
// A line between two minutiae on ridges k spacings apart crosses the k - 1
// ridges between them. The spacing along the line is the ridge period over
// the sine of the angle the line makes with the ridges, so what a count
// measures is the span across the ridges, the line's length times that sine:
// period = span / (count + 1). The ridges' direction is taken as the mean of
// the two minutiae's (a minutia points along its ridge), and only where the
// two run alike (within 30 degrees) and the line crosses them squarely
// enough; elsewhere the ridges curve between the two and the count says
// little about either.

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kAlikeRidges = 1.7320508;   // |sum of doubled directions| at 30 degrees apart: 2 cos 30
constexpr double kSquareExport = 0.8660254;  // sine of the line to the ridges the exporter asks: 60 degrees or more
constexpr double kSquareImport = 0.5;        // ... and the importer takes: 30 degrees or more
constexpr size_t kPerSide = 2;               // neighbours counted on each side of a minutia's ridge
constexpr double kMinSpacings = 2.5;         // nearer neighbours round too coarsely
constexpr double kMaxSpan = 128;             // pixels; farther, ridges rarely keep their period

struct TSpan {
  bool Usable = false;
  double Length = 0;  // pixels
  double Across = 0;  // pixels across the ridges
  double Side = 0;    // which side of the first minutia's ridge the second lies on (sign)
};

TSpan Span(const TPlaced& a, const TPlaced& b) {
  TSpan s;
  const double dx = b.X - a.X, dy = -(b.Y - a.Y);  // Y up: angles turn as the picture is seen
  s.Length = std::hypot(dx, dy);
  const double ta = 2 * kPi * a.Angle / 256, tb = 2 * kPi * b.Angle / 256;
  const double vx = std::cos(2 * ta) + std::cos(2 * tb), vy = std::sin(2 * ta) + std::sin(2 * tb);
  if (s.Length <= 0 || std::hypot(vx, vy) < kAlikeRidges) return s;
  const double ridge = std::atan2(vy, vx) / 2;
  s.Across = std::abs(std::cos(ridge) * dy - std::sin(ridge) * dx);
  s.Side = std::cos(ta) * dy - std::sin(ta) * dx;
  s.Usable = true;
  return s;
}

bool Known(int32_t period) { return period > 0 && period < 255; }

}  // namespace

std::vector<TRidgeCount> EstimateRidgeCounts(const std::vector<TPlaced>& m) {
  const int n = static_cast<int>(std::min<size_t>(m.size(), 255));
  std::vector<std::pair<int, int>> pairs;
  for (int i = 0; i < n; ++i) {
    if (!Known(m[i].Period)) continue;
    // The nearest on each side across the ridge, nearest first (ties by number).
    std::vector<std::pair<double, int>> side[2];
    for (int j = 0; j < n; ++j) {
      if (j == i || !Known(m[j].Period)) continue;
      const TSpan s = Span(m[i], m[j]);
      const double spacing = (m[i].Period + m[j].Period) / 20.0;
      if (!s.Usable || s.Length > kMaxSpan || s.Across < kSquareExport * s.Length || s.Across < kMinSpacings * spacing) continue;
      side[s.Side > 0 ? 0 : 1].push_back({s.Length, j});
    }
    for (auto& list : side) {
      std::sort(list.begin(), list.end());
      for (size_t k = 0; k < list.size() && k < kPerSide; ++k) pairs.push_back({std::min(i, list[k].second), std::max(i, list[k].second)});
    }
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  std::vector<TRidgeCount> out;
  for (const auto& [i, j] : pairs) {
    const TSpan s = Span(m[i], m[j]);
    const double spacing = (m[i].Period + m[j].Period) / 20.0;
    const int count = std::max(0, static_cast<int>(std::lround(s.Across / spacing)) - 1);
    out.push_back(TRidgeCount{i, j, std::min(count, 255)});
  }
  return out;
}

std::vector<int32_t> RidgePeriods(const std::vector<TPlaced>& m, const std::vector<TRidgeCount>& counts) {
  std::vector<double> across(m.size(), 0), spacings(m.size(), 0);
  double allAcross = 0, allSpacings = 0;
  for (const TRidgeCount& c : counts) {
    if (c.From < 0 || c.To < 0 || static_cast<size_t>(c.From) >= m.size() || static_cast<size_t>(c.To) >= m.size()) continue;
    const TSpan s = Span(m[static_cast<size_t>(c.From)], m[static_cast<size_t>(c.To)]);
    if (!s.Usable || s.Across < kSquareImport * s.Length) continue;
    for (int32_t k : {c.From, c.To}) {
      across[static_cast<size_t>(k)] += s.Across;
      spacings[static_cast<size_t>(k)] += c.Count + 1;
    }
    allAcross += s.Across;
    allSpacings += c.Count + 1;
  }
  auto tenths = [](double a, double k) { return static_cast<int32_t>(std::clamp(std::lround(10 * a / k), 1l, 254l)); };
  std::vector<int32_t> out(m.size(), 255);
  if (allSpacings <= 0) return out;
  for (size_t k = 0; k < m.size(); ++k) out[k] = spacings[k] > 0 ? tenths(across[k], spacings[k]) : tenths(allAcross, allSpacings);
  return out;
}

// ---- NFRecord -------------------------------------------------------------------

namespace {

// What the engine's header says about the picture (bytes 0 to 21 are the
// writer's own; the engine's begin "OMX1").
struct TNFHeader {
  bool Known = false;
  int32_t Width = 0, Height = 0, HorizontalPpi = 0, VerticalPpi = 0, Quality = 0;
};

TNFHeader EngineHeader(const uint8_t* data, size_t size) {
  TNFHeader h;
  if (size < 22 || std::memcmp(data, "OMX1", 4) != 0) return h;
  auto le16 = [&](size_t o) { return static_cast<int32_t>(data[o] | data[o + 1] << 8); };
  h.Known = true;
  h.Width = le16(4);
  h.Height = le16(6);
  h.HorizontalPpi = le16(8);
  h.VerticalPpi = le16(10);
  h.Quality = data[16];
  return h;
}

int32_t Option(int32_t given, int32_t fallback, int32_t low, int32_t high, const char* what) {
  if (given < 0) return fallback;
  CheckRange(given, low, high, what);
  return given;
}

}  // namespace

std::vector<uint8_t> FromNFRecord(const uint8_t* data, size_t size, TFormat format, const TExportOptions& o) {
  // The check the matcher and the tool make of templates from outside.
  const matching::TTemplateCheck check = matching::ValidateTemplate(data, size);
  if (check.State == matching::tsMalformed) throw ERecord("Not a valid NFRecord template: " + check.Problem);
  const auto local = LocalizarItensNF(data, size, tiMinucia);
  if (!local) throw ERecord("Not a valid NFRecord template: its minutiae cannot be read");
  const TNFHeader h = EngineHeader(data, size);

  TRecord rec;
  rec.Format = format;
  rec.Width = Option(o.Width, h.Width, 1, 0xFFFF, "image width");
  rec.Height = Option(o.Height, h.Height, 1, 0xFFFF, "image height");
  if (rec.Width <= 0 || rec.Height <= 0)
    throw ERecord("The template does not say the size of its image: give the width and height");
  const int32_t hppi = Option(o.Resolution, h.HorizontalPpi, 1, 0xFFFF, "resolution (pixels per inch)");
  const int32_t vppi = Option(o.Resolution, h.VerticalPpi, 1, 0xFFFF, "resolution (pixels per inch)");
  if (hppi <= 0 || vppi <= 0) throw ERecord("The template does not say the resolution of its image: give it");
  rec.HorizontalResolution = PixelsPerCm(hppi);
  rec.VerticalResolution = PixelsPerCm(vppi);
  rec.EquipmentCompliance = Option(o.EquipmentCompliance, 0, 0, 15, "equipment compliance");
  rec.EquipmentId = Option(o.EquipmentId, 0, 0, 0xFFF, "capture equipment id");
  rec.CbeffOwner = Option(o.CbeffOwner, 0, 0, 0xFFFF, "CBEFF product owner");
  rec.CbeffType = Option(o.CbeffType, 0, 0, 0xFFFF, "CBEFF product type");

  TFingerView v;
  v.FingerPosition = Option(o.FingerPosition, 0, 0, 10, "finger position");
  v.ViewNumber = Option(o.ViewNumber, 0, 0, 15, "view number");
  v.ImpressionType = Option(o.ImpressionType, 0, 0, 15, "impression type");
  v.FingerQuality = Option(o.FingerQuality, h.Known ? std::min(h.Quality, 100) : 0, 0, 100, "finger quality");
  std::vector<TPlaced> placed;
  for (int32_t k = 0; k < local->Quantidade; ++k) {
    const TItemNF it = LerItemNF(data, *local, k);
    placed.push_back(TPlaced{it.X, it.Y, it.Angulo, it.G});
    if (it.X >= rec.Width || it.Y >= rec.Height)
      throw ERecord(Format("Minutia %d of the template lies at (%d, %d), outside the %d x %d image", k + 1, it.X, it.Y,
                           rec.Width, rec.Height));
    TStdMinutia m;
    m.Type = StdType(it.Tipo);
    m.X = it.X;
    m.Y = it.Y;
    m.Angle = StdAngle(it.Angulo, format);
    m.Quality = StdQuality(it.Qualidade);
    v.Minutiae.push_back(m);
  }
  const std::vector<TRidgeCount> counts = EstimateRidgeCounts(placed);
  if (!counts.empty()) v.ExtendedData = RidgeCountBlock(rcNonSpecific, counts);
  rec.Views.push_back(std::move(v));
  return Write(rec);
}

std::vector<uint8_t> ToNFRecord(const uint8_t* data, size_t size, TFormat format, int view) {
  const TRecord rec = Read(data, size, format);
  if (view < 0 || view >= static_cast<int>(rec.Views.size()))
    throw ERecord(Format("The record holds %lld finger view%s; there is no view %d (the first is 0)", Ll(rec.Views.size()),
                         rec.Views.size() == 1 ? "" : "s", view));
  const TFingerView& v = rec.Views[static_cast<size_t>(view)];
  bool qualities = false;
  for (const TStdMinutia& m : v.Minutiae) {
    if (m.X > kNFMaxCoordinate || m.Y > kNFMaxCoordinate)
      throw ERecord(Format("A minutia of finger view %d lies at (%d, %d), beyond the %d an NFRecord coordinate holds",
                           view + 1, m.X, m.Y, kNFMaxCoordinate));
    qualities |= m.Quality != 0;
  }
  std::vector<TPlaced> placed;
  for (const TStdMinutia& m : v.Minutiae) placed.push_back(TPlaced{m.X, m.Y, NFAngle(m.Angle, rec.Format)});
  const std::vector<int32_t> periods = RidgePeriods(placed, v.RidgeCounts);
  const bool withPeriods = !periods.empty() && periods[0] != 255;
  // A quality byte only where the record knows any, a ridge period where its
  // ridge counts give one.
  const uint8_t flags = static_cast<uint8_t>((qualities ? 1 : 0) | (withPeriods ? 4 : 0));
  const size_t recordSize = 4 + (qualities ? 1 : 0) + (withPeriods ? 1 : 0), n = v.Minutiae.size();
  const size_t total = 26 + n * recordSize + 3 + 2 + 2 + 2;

  // The engine's header layout, so that the image size, resolution and
  // quality go on with the template.
  TWriter w;
  w.Bytes(reinterpret_cast<const uint8_t*>("OMX1"), 4);
  w.LE16(static_cast<uint32_t>(rec.Width));
  w.LE16(static_cast<uint32_t>(rec.Height));
  w.LE16(static_cast<uint32_t>(std::min(PixelsPerInch(rec.HorizontalResolution), 0xFFFF)));
  w.LE16(static_cast<uint32_t>(std::min(PixelsPerInch(rec.VerticalResolution), 0xFFFF)));
  w.LE32(static_cast<uint32_t>(total));
  w.U8(static_cast<uint32_t>(v.FingerQuality));
  w.U8(qualities ? 1 : 0);  // the engine's format ordinal: 0 the word only, 1 with quality (byte 22 says the layout)
  w.U8(3);      // size ordinal: every minutia
  w.U8(0);
  w.U8(0);
  w.U8(0);
  w.U8(flags);
  w.U8(0);
  w.U8(static_cast<uint32_t>(n));
  w.U8(static_cast<uint32_t>(recordSize));
  for (size_t k = 0; k < n; ++k) {
    const TStdMinutia& m = v.Minutiae[k];
    const uint32_t word = static_cast<uint32_t>(m.X) << 21 | static_cast<uint32_t>(m.Y) << 10 |
                          static_cast<uint32_t>(NFType(m.Type)) << 8 |
                          static_cast<uint32_t>(NFAngle(m.Angle, rec.Format));
    w.LE32(word);
    if (qualities) w.U8(static_cast<uint32_t>(NFQuality(m.Quality)));
    if (withPeriods) w.U8(static_cast<uint32_t>(periods[k]));
  }
  w.U8(0);
  w.LE16(0);  // no summary block
  for (uint32_t recordBytes : {4u, 7u, 4u}) {  // no cores, deltas or double cores
    w.U8(0);
    w.U8(recordBytes);
  }
  return std::move(w.Out());
}

std::vector<uint8_t> ToNFRecord(const uint8_t* data, size_t size, int view) {
  return ToNFRecord(data, size, Detect(data, size), view);
}

std::vector<uint8_t> ThroughIso(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> iso = FromNFRecord(data, size, TFormat::Iso2005, TExportOptions{});
  return ToNFRecord(iso.data(), iso.size(), TFormat::Iso2005, 0);
}

}  // namespace fmr
