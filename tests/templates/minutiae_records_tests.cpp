// ISO/IEC 19794-2:2005 and ANSI INCITS 378-2004 records: records typed out
// byte by byte from their layouts read exactly, every malformation is refused
// with its message, minutiae survive the way out and back, and the engine's
// templates still match themselves through either record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "evaluation_subset.h"
#include "matching/Matcher.h"
#include "placed.h"
#include "templates/MinutiaeRecords.h"
#include "templates/udOmfwTemplates.h"

namespace {

using Bytes = std::vector<uint8_t>;
using fmr::TFormat;

// Two finger views of the right index finger, 300 x 400 pixels at 197 pixels
// per centimetre; the second view carries 4 bytes of extended data.
const Bytes kIso = {
    'F', 'M', 'R', 0, ' ', '2', '0', 0,  //
    0x00, 0x00, 0x00, 0x40,              // record length 64
    0x10, 0x23,                          // compliance 1, equipment 0x023
    0x01, 0x2C, 0x01, 0x90,              // 300 x 400
    0x00, 0xC5, 0x00, 0xC5,              // 197 x 197 pixels per cm
    0x02, 0x00,                          // 2 views, reserved
    // view 0: right index, view 0 live-scan plain, quality 80, 3 minutiae
    0x02, 0x00, 0x50, 0x03,              //
    0x40, 0x64, 0x00, 0x96, 0x40, 0x3C,  // ending (100, 150), 64 (90 degrees), quality 60
    0x80, 0xC8, 0x00, 0x32, 0x80, 0x00,  // bifurcation (200, 50), 128, quality not known
    0x01, 0x2B, 0x01, 0x8F, 0xFF, 0x64,  // other (299, 399), 255, quality 100
    0x00, 0x00,                          // no extended data
    // view 1: right index, view 1, quality 40, 1 minutia
    0x02, 0x10, 0x28, 0x01,              //
    0x40, 0x0A, 0x00, 0x14, 0x10, 0x32,  // ending (10, 20), 16, quality 50
    0x00, 0x04, 0x00, 0x03, 0x00, 0x04,  // 4 bytes of extended data
};

// One view of the left index finger, 256 x 360 pixels, CBEFF product 0x0033/0x0001.
const Bytes kAnsi = {
    'F', 'M', 'R', 0, ' ', '2', '0', 0,  //
    0x00, 0x2C,                          // record length 44
    0x00, 0x33, 0x00, 0x01,              // CBEFF product identifier
    0x00, 0x00,                          // capture equipment
    0x01, 0x00, 0x01, 0x68,              // 256 x 360
    0x00, 0xC5, 0x00, 0xC5,              // 197 x 197
    0x01, 0x00,                          // 1 view, reserved
    0x07, 0x00, 0x5A, 0x02,              // left index, view 0, quality 90, 2 minutiae
    0x40, 0x1E, 0x00, 0x28, 0x2D, 0x14,  // ending (30, 40), 45 (90 degrees), quality 20
    0x80, 0xFF, 0x01, 0x67, 0xB3, 0x00,  // bifurcation (255, 359), 179 (358 degrees), not known
    0x00, 0x00,                          //
};

// One view of three minutiae on level ridges (angle 0), 200 x 200 pixels, with
// a ridge count block: the 50 pixels straight down from the first to the
// second cross 4 ridges, so the ridges lie 10 pixels apart.
const Bytes kIsoCounts = {
    'F', 'M', 'R', 0, ' ', '2', '0', 0,  //
    0x00, 0x00, 0x00, 0x3B,              // record length 59
    0x00, 0x00,                          // capture equipment
    0x00, 0xC8, 0x00, 0xC8,              // 200 x 200
    0x00, 0xC5, 0x00, 0xC5,              // 197 x 197
    0x01, 0x00,                          // 1 view, reserved
    0x00, 0x00, 0x3C, 0x03,              // unknown finger, view 0, quality 60, 3 minutiae
    0x40, 0x64, 0x00, 0x64, 0x00, 0x00,  // ending (100, 100), 0
    0x80, 0x64, 0x00, 0x96, 0x00, 0x00,  // bifurcation (100, 150), 0
    0x40, 0xA0, 0x00, 0x64, 0x00, 0x00,  // ending (160, 100), 0
    0x00, 0x0B,                          // 11 bytes of extended data:
    0x00, 0x01, 0x00, 0x0B,              //   ridge count data, 11 bytes
    0x00,                                //   non-specific neighbours
    0x01, 0x02, 0x04,                    //   minutiae 1 and 2: 4 ridges
    0x03, 0x01, 0x00,                    //   minutiae 3 and 1: none (along the ridge)
};

// The same ANSI record with the long length form: 2 zero bytes, then 4.
Bytes LongAnsi() {
  Bytes b = kAnsi;
  b[8] = 0;
  b[9] = 0;
  const uint32_t n = static_cast<uint32_t>(b.size() + 4);
  b.insert(b.begin() + 10, {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
  return b;
}

std::vector<TItemNF> Minutiae(const Bytes& nf) {
  std::vector<TItemNF> out;
  auto l = LocalizarItensNF(nf.data(), nf.size(), tiMinucia);
  EXPECT_TRUE(l) << "not a readable template";
  for (int32_t i = 0; l && i < l->Quantidade; ++i) out.push_back(LerItemNF(nf.data(), *l, i));
  return out;
}

int LE16(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8; }

void ExpectMinutia(const TItemNF& m, int x, int y, int type, int angle, int quality) {
  EXPECT_EQ(m.X, x);
  EXPECT_EQ(m.Y, y);
  EXPECT_EQ(m.Tipo, type);
  EXPECT_EQ(m.Angulo, angle);
  EXPECT_EQ(m.Qualidade, quality);
}

std::string Refusal(const std::function<void()>& f) {
  try {
    f();
  } catch (const fmr::ERecord& e) {
    return e.what();
  }
  return "(accepted)";
}

std::string ReadRefusal(const Bytes& b, TFormat format) {
  return Refusal([&] { fmr::ToNFRecord(b.data(), b.size(), format, 0); });
}

void SetBE32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (24 - 8 * i));
}

fmr::TExportOptions Picture(int width, int height, int ppi = 500) {
  fmr::TExportOptions o;
  o.Width = width;
  o.Height = height;
  o.Resolution = ppi;
  return o;
}

}  // namespace

// ---- Records typed out by hand ------------------------------------------------

TEST(MinutiaeRecords, HandWrittenIsoRecordReadsExactly) {
  EXPECT_EQ(fmr::Detect(kIso.data(), kIso.size()), TFormat::Iso2005);
  const fmr::TRecord r = fmr::Read(kIso.data(), kIso.size(), TFormat::Iso2005);
  EXPECT_EQ(r.EquipmentCompliance, 1);
  EXPECT_EQ(r.EquipmentId, 0x23);
  EXPECT_EQ(r.Width, 300);
  EXPECT_EQ(r.Height, 400);
  EXPECT_EQ(r.HorizontalResolution, 197);
  ASSERT_EQ(r.Views.size(), 2u);
  EXPECT_EQ(r.Views[0].FingerPosition, 2);
  EXPECT_EQ(r.Views[0].FingerQuality, 80);
  EXPECT_EQ(r.Views[1].ViewNumber, 1);
  EXPECT_EQ(r.Views[1].ExtendedData, (Bytes{0x00, 0x03, 0x00, 0x04}));

  // As a template: image size, 500 ppi and the finger quality in the header,
  // the minutiae with the template's types and quality conventions.
  const Bytes nf = fmr::ToNFRecord(kIso.data(), kIso.size());
  EXPECT_EQ(std::string(nf.begin(), nf.begin() + 4), "OMX1");
  EXPECT_EQ(LE16(nf, 4), 300);
  EXPECT_EQ(LE16(nf, 6), 400);
  EXPECT_EQ(LE16(nf, 8), 500);
  EXPECT_EQ(LE16(nf, 10), 500);
  EXPECT_EQ(nf[16], 80);
  const auto m = Minutiae(nf);
  ASSERT_EQ(m.size(), 3u);
  ExpectMinutia(m[0], 100, 150, 0, 64, 60);
  ExpectMinutia(m[1], 200, 50, 1, 128, 255);
  ExpectMinutia(m[2], 299, 399, 2, 255, 100);
  EXPECT_EQ(ContarItensNF(nf.data(), nf.size(), tiNucleo), 0);
  EXPECT_NO_THROW(matching::CheckTemplate(nf.data(), nf.size()));

  const auto second = Minutiae(fmr::ToNFRecord(kIso.data(), kIso.size(), TFormat::Iso2005, 1));
  ASSERT_EQ(second.size(), 1u);
  ExpectMinutia(second[0], 10, 20, 0, 16, 50);
}

TEST(MinutiaeRecords, HandWrittenAnsiRecordReadsExactlyInBothLengthForms) {
  for (const Bytes& b : {kAnsi, LongAnsi()}) {
    SCOPED_TRACE(b.size());
    EXPECT_EQ(fmr::Detect(b.data(), b.size()), TFormat::Ansi2004);
    const fmr::TRecord r = fmr::Read(b.data(), b.size(), TFormat::Ansi2004);
    EXPECT_EQ(r.CbeffOwner, 0x33);
    EXPECT_EQ(r.CbeffType, 1);
    EXPECT_EQ(r.Width, 256);
    EXPECT_EQ(r.Height, 360);
    ASSERT_EQ(r.Views.size(), 1u);
    EXPECT_EQ(r.Views[0].FingerPosition, 7);
    const Bytes nf = fmr::ToNFRecord(b.data(), b.size());
    EXPECT_EQ(nf[16], 90);
    const auto m = Minutiae(nf);
    ASSERT_EQ(m.size(), 2u);
    ExpectMinutia(m[0], 30, 40, 0, 64, 20);   // 90 degrees
    ExpectMinutia(m[1], 255, 359, 1, 255, 255);  // 358 degrees: 254.6 steps
  }
}

TEST(MinutiaeRecords, RidgeCountsAreReadAndGiveEachMinutiaARidgePeriod) {
  const fmr::TRecord r = fmr::Read(kIsoCounts.data(), kIsoCounts.size(), TFormat::Iso2005);
  ASSERT_EQ(r.Views.size(), 1u);
  const auto& counts = r.Views[0].RidgeCounts;
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_EQ(r.Views[0].RidgeCountMethod, fmr::rcNonSpecific);
  EXPECT_EQ(counts[0].From, 0);
  EXPECT_EQ(counts[0].To, 1);
  EXPECT_EQ(counts[0].Count, 4);
  EXPECT_EQ(counts[1].From, 2);
  EXPECT_EQ(counts[1].To, 0);
  EXPECT_EQ(counts[1].Count, 0);
  EXPECT_EQ(fmr::Write(r), kIsoCounts);

  // 50 pixels across level ridges over 5 spacings: 10 pixels (100 tenths) at
  // both ends; the count along the ridge says nothing, so the third minutia
  // takes the view's whole ratio.
  const Bytes nf = fmr::ToNFRecord(kIsoCounts.data(), kIsoCounts.size());
  EXPECT_EQ(nf[22], 4);  // ridge periods, no quality
  const auto m = Minutiae(nf);
  ASSERT_EQ(m.size(), 3u);
  for (const TItemNF& x : m) EXPECT_EQ(x.G, 100);
  ExpectMinutia(m[1], 100, 150, 1, 0, 255);

  // The same record without its block imports without periods.
  Bytes bare(kIsoCounts.begin(), kIsoCounts.end() - 11);
  bare[47] = 0;
  SetBE32(bare, 8, static_cast<uint32_t>(bare.size()));
  const Bytes plain = fmr::ToNFRecord(bare.data(), bare.size());
  EXPECT_EQ(plain[22], 0);
  EXPECT_EQ(Minutiae(plain)[0].G, 255);
}

TEST(MinutiaeRecords, MalformedExtendedDataIsRefusedWithItsReason) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> breakIt;
    const char* message;
  };
  // Offsets into kIsoCounts: 48 the block's type, 50 its length, 52 the
  // method, 53 to 58 the two counts.
  const Case cases[] = {
      {"a block longer than the area", [](Bytes& b) { b[51] = 0x0C; }, "block 1 says it is 12 bytes long"},
      {"a block shorter than its header", [](Bytes& b) { b[51] = 0x03; }, "block 1 says it is 3 bytes long"},
      {"a second block cut short",
       [](Bytes& b) {
         b[51] = 0x08;  // the ridge count block ends after one count; 3 bytes are left
       },
       "block 2 is cut short: 3 bytes left"},
      {"counts not 3 bytes each",
       [](Bytes& b) {
         b[51] = 0x0A;  // 10 bytes: the last count one byte short, and one byte left
       },
       "ridge count data is 10 bytes long"},
      {"an undefined method", [](Bytes& b) { b[52] = 3; }, "extraction method 3"},
      {"minutia 0", [](Bytes& b) { b[53] = 0; }, "Ridge count 1 of finger view 1 joins minutiae 0 and 2, but the view holds 3"},
      {"a minutia beyond the view", [](Bytes& b) { b[57] = 4; }, "joins minutiae 3 and 4, but the view holds 3"},
      {"a minutia to itself", [](Bytes& b) { b[54] = 1; }, "joins minutia 1 to itself"},
  };
  for (const Case& c : cases) {
    Bytes b = kIsoCounts;
    c.breakIt(b);
    EXPECT_NE(ReadRefusal(b, TFormat::Iso2005).find(c.message), std::string::npos)
        << c.what << ": " << ReadRefusal(b, TFormat::Iso2005);
  }
}

TEST(MinutiaeRecords, WrittenRecordsFollowTheLayouts) {
  // A template of two minutiae, written byte by byte as each standard lays it out.
  placed::Minutia a{100, 150, 0, 64}, b{299, 10, 1, 200};
  const Bytes nf = placed::Record({a, b});
  fmr::TExportOptions o = Picture(300, 400);
  o.FingerPosition = 2;
  o.FingerQuality = 70;
  o.EquipmentCompliance = 1;
  o.EquipmentId = 0x23;
  o.CbeffOwner = 0x33;
  o.CbeffType = 1;
  const Bytes iso = fmr::FromNFRecord(nf.data(), nf.size(), TFormat::Iso2005, o);
  EXPECT_EQ(iso, (Bytes{'F',  'M',  'R',  0,    ' ',  '2',  '0',  0,    0x00, 0x00, 0x00, 0x2A, 0x10, 0x23,
                        0x01, 0x2C, 0x01, 0x90, 0x00, 0xC5, 0x00, 0xC5, 0x01, 0x00, 0x02, 0x00, 0x46, 0x02,
                        0x40, 0x64, 0x00, 0x96, 0x40, 0x00, 0x81, 0x2B, 0x00, 0x0A, 0xC8, 0x00, 0x00, 0x00}));
  const Bytes ansi = fmr::FromNFRecord(nf.data(), nf.size(), TFormat::Ansi2004, o);
  // 200 steps are 281.25 degrees: 141 in 2-degree units (0x8D); 64 steps 45 (0x2D).
  EXPECT_EQ(ansi, (Bytes{'F',  'M',  'R',  0,    ' ',  '2',  '0',  0,    0x00, 0x2C, 0x00, 0x33, 0x00, 0x01, 0x10,
                         0x23, 0x01, 0x2C, 0x01, 0x90, 0x00, 0xC5, 0x00, 0xC5, 0x01, 0x00, 0x02, 0x00, 0x46, 0x02,
                         0x40, 0x64, 0x00, 0x96, 0x2D, 0x00, 0x81, 0x2B, 0x00, 0x0A, 0x8D, 0x00, 0x00, 0x00}));
}

TEST(MinutiaeRecords, RecordsOverTheShortAnsiLengthUseTheLongForm) {
  fmr::TRecord r;
  r.Format = TFormat::Ansi2004;
  r.Width = r.Height = 1000;
  r.HorizontalResolution = r.VerticalResolution = 197;
  std::mt19937 rng(5);
  for (int v = 0; v < 50; ++v) {
    fmr::TFingerView view;
    view.ViewNumber = v % 16;
    for (int k = 0; k < 255; ++k)
      view.Minutiae.push_back({int32_t(rng() % 3), int32_t(rng() % 1000), int32_t(rng() % 1000),
                               int32_t(rng() % 180), int32_t(rng() % 101)});
    r.Views.push_back(view);
  }
  const Bytes b = fmr::Write(r);
  ASSERT_GT(b.size(), 65535u);
  EXPECT_EQ(b[8] | b[9], 0);
  EXPECT_EQ(fmr::Detect(b.data(), b.size()), TFormat::Ansi2004);
  const fmr::TRecord back = fmr::Read(b.data(), b.size(), TFormat::Ansi2004);
  ASSERT_EQ(back.Views.size(), 50u);
  EXPECT_EQ(back.Views[49].Minutiae[254].X, r.Views[49].Minutiae[254].X);
  EXPECT_EQ(back.Views[49].Minutiae[254].Angle, r.Views[49].Minutiae[254].Angle);
  EXPECT_EQ(fmr::Write(back), b);
}

// ---- Refusals ------------------------------------------------------------------

TEST(MinutiaeRecords, MalformedRecordsAreRefusedWithTheirReason) {
  struct Case {
    const char* what;
    TFormat format;
    std::function<void(Bytes&)> breakIt;
    const char* message;
  };
  const Case cases[] = {
      {"wrong magic", TFormat::Iso2005, [](Bytes& b) { b[2] = 'X'; }, "do not begin with \"FMR\""},
      {"wrong version", TFormat::Iso2005, [](Bytes& b) { b[5] = '3'; }, "version is \" 30\""},
      {"empty", TFormat::Iso2005, [](Bytes& b) { b.clear(); }, "The record is empty"},
      {"header cut short", TFormat::Iso2005,
       [](Bytes& b) {
         b.resize(20);
         SetBE32(b, 8, 20);
       },
       "cut short: 20 bytes, its header alone has 24"},
      {"a byte more than the length says", TFormat::Iso2005, [](Bytes& b) { b.push_back(0); },
       "says it is 64 bytes long, but it is 65"},
      {"ANSI length disagrees", TFormat::Ansi2004, [](Bytes& b) { b[9] = 0x2B; }, "says it is 43 bytes long"},
      {"no finger view", TFormat::Iso2005,
       [](Bytes& b) {
         b.resize(24);
         b[22] = 0;
         SetBE32(b, 8, 24);
       },
       "holds no finger view"},
      {"more views than the record holds", TFormat::Iso2005, [](Bytes& b) { b[22] = 3; },
       "Finger view 3 of 3 is cut short"},
      {"more minutiae than the record holds", TFormat::Iso2005, [](Bytes& b) { b[27] = 9; },
       "says it holds 9 minutiae (54 bytes), but only 36 bytes follow"},
      {"extended data beyond the record", TFormat::Iso2005, [](Bytes& b) { b[59] = 9; },
       "extended data is 9 bytes long, but only 4 bytes follow"},
      {"bytes after the last view", TFormat::Iso2005,
       [](Bytes& b) {
         b[22] = 1;
       },
       "16 bytes follow the last of the record's 1 finger views"},
      {"x outside the image", TFormat::Iso2005, [](Bytes& b) { b[41] = 0x2C; },
       "Minutia 3 of finger view 1 lies at (300, 399), outside the 300 x 400 image"},
      {"y outside the image", TFormat::Ansi2004, [](Bytes& b) { b[39] = 0x68; },
       "Minutia 2 of finger view 1 lies at (255, 360), outside the 256 x 360 image"},
      {"reserved type", TFormat::Iso2005, [](Bytes& b) { b[28] |= 0xC0; }, "reserved type code 3"},
      {"ANSI angle beyond 179", TFormat::Ansi2004, [](Bytes& b) { b[40] = 180; }, "angle 180, beyond 179"},
      {"minutia quality beyond 100", TFormat::Iso2005, [](Bytes& b) { b[33] = 101; }, "quality 101, beyond 100"},
      {"finger quality beyond 100", TFormat::Ansi2004, [](Bytes& b) { b[28] = 200; }, "quality 200, beyond 100"},
      {"ISO record read as ANSI", TFormat::Ansi2004, [](Bytes&) {}, "is an ISO/IEC 19794-2:2005 record, not an ANSI"},
      {"ANSI record read as ISO", TFormat::Iso2005, [](Bytes&) {}, "is an ANSI INCITS 378-2004 record, not an ISO"},
  };
  for (const Case& c : cases) {
    const bool readAsIso = c.format == TFormat::Iso2005;
    const bool swapped = std::string(c.what).find(" read as ") != std::string::npos;
    Bytes b = (readAsIso != swapped) ? kIso : kAnsi;
    c.breakIt(b);
    EXPECT_NE(ReadRefusal(b, c.format).find(c.message), std::string::npos)
        << c.what << ": " << ReadRefusal(b, c.format);
  }
}

TEST(MinutiaeRecords, ViewsThatDoNotExistAndCoordinatesBeyondATemplateAreRefused) {
  EXPECT_NE(Refusal([] { fmr::ToNFRecord(kIso.data(), kIso.size(), 2); }).find("holds 2 finger views; there is no view 2"),
            std::string::npos);
  EXPECT_NE(Refusal([] { fmr::ToNFRecord(kAnsi.data(), kAnsi.size(), -1); }).find("holds 1 finger view; there is no view -1"),
            std::string::npos);
  // A 3000-pixel-wide record is readable, but 2500 does not fit in 11 bits.
  Bytes wide = kAnsi;
  wide[16] = 0x0B;  // width 3000 (0x0BB8)
  wide[17] = 0xB8;
  wide[30] = 0x89;  // bifurcation at x = 0x9C4 = 2500
  wide[31] = 0xC4;
  EXPECT_NO_THROW(fmr::Read(wide.data(), wide.size(), TFormat::Ansi2004));
  EXPECT_NE(ReadRefusal(wide, TFormat::Ansi2004).find("lies at (2500, 40), beyond the 2047"), std::string::npos)
      << ReadRefusal(wide, TFormat::Ansi2004);
}

TEST(MinutiaeRecords, DetectionRefusesWhatNeitherLengthFieldFits) {
  const Bytes nf = placed::Record({{10, 10, 0, 0}});
  EXPECT_NE(Refusal([&] { fmr::Detect(nf.data(), nf.size()); }).find("not a finger minutiae record"), std::string::npos);
  Bytes cut = kIso;
  cut.pop_back();
  EXPECT_NE(Refusal([&] { fmr::Detect(cut.data(), cut.size()); }).find("length field disagrees with its 63 bytes"),
            std::string::npos);
  Bytes shortest(kIso.begin(), kIso.begin() + 9);
  EXPECT_NE(Refusal([&] { fmr::Detect(shortest.data(), shortest.size()); }).find("disagrees"), std::string::npos);
}

TEST(MinutiaeRecords, TemplatesThatCannotBeWrittenAreRefused) {
  const Bytes bare = placed::Record({{100, 100, 0, 10}});  // no image size, no resolution
  auto refusal = [](const Bytes& t, const fmr::TExportOptions& o) {
    return Refusal([&] { fmr::FromNFRecord(t.data(), t.size(), TFormat::Iso2005, o); });
  };
  EXPECT_NE(refusal(bare, {}).find("does not say the size of its image"), std::string::npos);
  fmr::TExportOptions sized;
  sized.Width = sized.Height = 300;
  EXPECT_NE(refusal(bare, sized).find("does not say the resolution"), std::string::npos);
  EXPECT_NE(refusal(bare, Picture(100, 300)).find("Minutia 1 of the template lies at (100, 100), outside the 100 x 300"),
            std::string::npos);
  fmr::TExportOptions finger = Picture(300, 300);
  finger.FingerPosition = 11;
  EXPECT_NE(refusal(bare, finger).find("finger position 11 is outside 0 to 10"), std::string::npos);
  EXPECT_NE(refusal(Bytes(bare.begin(), bare.begin() + 20), Picture(300, 300)).find("Not a valid NFRecord template: it is 20 bytes long"), std::string::npos);
  Bytes cut(bare.begin(), bare.begin() + 28);
  EXPECT_NE(refusal(cut, Picture(300, 300)).find("run past its end"), std::string::npos);
  Bytes noCores(bare.begin(), bare.end() - 6);  // the core, delta and double-core blocks missing
  EXPECT_NE(refusal(noCores, Picture(300, 300)).find("its core count and record size"), std::string::npos);
}

// ---- Conventions and round trips -------------------------------------------------

TEST(MinutiaeRecords, EveryAngleComesBackWithinOneStep) {
  for (TFormat f : {TFormat::Iso2005, TFormat::Ansi2004}) {
    for (int a = 0; a < 256; ++a) {
      const int back = fmr::NFAngle(fmr::StdAngle(a, f), f);
      const int d = ((back - a + 128) & 255) - 128;
      EXPECT_LE(std::abs(d), f == TFormat::Iso2005 ? 0 : 1) << fmr::FormatName(f) << " angle " << a;
      EXPECT_GE(fmr::StdAngle(a, f), 0);
      EXPECT_LE(fmr::StdAngle(a, f), f == TFormat::Iso2005 ? 255 : 179);
    }
  }
  // A record's own angles survive the way through a template unchanged.
  for (int v = 0; v < 180; ++v) EXPECT_EQ(fmr::StdAngle(fmr::NFAngle(v, TFormat::Ansi2004), TFormat::Ansi2004), v);
  // Quarter turns are the same direction in both: up the picture is 90 degrees.
  EXPECT_EQ(fmr::StdAngle(64, TFormat::Iso2005), 64);
  EXPECT_EQ(fmr::StdAngle(64, TFormat::Ansi2004), 45);
  EXPECT_EQ(fmr::PixelsPerCm(500), 197);
  EXPECT_EQ(fmr::PixelsPerInch(197), 500);
  // Whole pixels per centimetre are 2.54 ppi apart: other resolutions come back within 1 ppi.
  for (int ppi = 1; ppi < 5000; ++ppi) EXPECT_LE(std::abs(fmr::PixelsPerInch(fmr::PixelsPerCm(ppi)) - ppi), 1) << ppi;
}

TEST(MinutiaeRecords, MinutiaeComeBackAtTheirPixelWithTheirTypeAndQuality) {
  std::mt19937 rng(11);
  for (TFormat f : {TFormat::Iso2005, TFormat::Ansi2004}) {
    for (int round = 0; round < 20; ++round) {
      // An engine-like template with a quality byte: types 0 to 2, any angle,
      // anywhere in a 2048 x 2048 picture, qualities including the ends.
      std::vector<placed::Minutia> m;
      std::vector<int> quality;
      for (int k = 0; k < 255; ++k) {
        m.push_back({int(rng() % 2048), int(rng() % 2048), int(rng() % 3), int(rng() % 256)});
        quality.push_back(k == 0 ? 0 : k == 1 ? 100 : int(rng() % 101));
      }
      Bytes nf = placed::Record(m);
      nf[22] = 1;
      nf[25] = 5;
      for (size_t k = m.size(); k-- > 0;) nf.insert(nf.begin() + 26 + 4 * (k + 1), uint8_t(quality[k]));
      const Bytes rec = fmr::FromNFRecord(nf.data(), nf.size(), f, Picture(2048, 2048));
      const auto back = Minutiae(fmr::ToNFRecord(rec.data(), rec.size(), f, 0));
      ASSERT_EQ(back.size(), m.size());
      for (size_t k = 0; k < m.size(); ++k) {
        SCOPED_TRACE(std::string(fmr::FormatName(f)) + " minutia " + std::to_string(k));
        EXPECT_EQ(back[k].X, m[k].x);
        EXPECT_EQ(back[k].Y, m[k].y);
        EXPECT_EQ(back[k].Tipo, m[k].type);
        EXPECT_LE(std::abs(((back[k].Angulo - m[k].angle + 128) & 255) - 128), 1);
        EXPECT_EQ(back[k].Qualidade, std::max(quality[k], 1));  // a measured 0 is the standards' "not known"
      }
    }
  }
  // Without quality bytes the records say "not known", and the template comes back without them.
  const Bytes bare = placed::Record({{5, 6, 1, 7}});
  const Bytes iso = fmr::FromNFRecord(bare.data(), bare.size(), TFormat::Iso2005, Picture(10, 10));
  EXPECT_EQ(iso[iso.size() - 3], 0);
  const Bytes back = fmr::ToNFRecord(iso.data(), iso.size());
  EXPECT_EQ(back[22], 0);
  ExpectMinutia(Minutiae(back)[0], 5, 6, 1, 7, 255);
}

TEST(MinutiaeRecords, EngineTemplatesMatchTheirIsoAndAnsiConversions) {
  const auto templates = EvaluationSubset();
  ASSERT_EQ(templates.size(), 120u) << "test data missing or cut short";
  const int threshold = matching::Threshold(1e-4);
  auto score = [](const Bytes& a, const Bytes& b) { return matching::Compare(a.data(), a.size(), b.data(), b.size()); };
  std::vector<double> errors;
  for (size_t i = 0; i < templates.size(); ++i) {
    SCOPED_TRACE("template " + std::to_string(i));
    const Bytes& t = templates[i];
    // The engine's header gives the image size, resolution and quality.
    const Bytes iso = fmr::FromNFRecord(t.data(), t.size(), TFormat::Iso2005, {});
    const Bytes ansi = fmr::FromNFRecord(t.data(), t.size(), TFormat::Ansi2004, {});
    EXPECT_EQ(fmr::Detect(iso.data(), iso.size()), TFormat::Iso2005);
    EXPECT_EQ(fmr::Detect(ansi.data(), ansi.size()), TFormat::Ansi2004);
    const fmr::TRecord r = fmr::Read(iso.data(), iso.size(), TFormat::Iso2005);
    EXPECT_EQ(r.Width, LE16(t, 4));
    EXPECT_EQ(r.Height, LE16(t, 6));
    EXPECT_EQ(r.HorizontalResolution, 197);
    EXPECT_EQ(r.Views[0].FingerQuality, t[16]);
    const Bytes fromIso = fmr::ToNFRecord(iso.data(), iso.size());
    const Bytes fromAnsi = fmr::ToNFRecord(ansi.data(), ansi.size());
    EXPECT_EQ(fromIso, fmr::ThroughIso(t.data(), t.size()));
    EXPECT_GE(score(t, fromIso), threshold);
    EXPECT_GE(score(t, fromAnsi), threshold);
    EXPECT_GE(score(fromIso, fromAnsi), threshold);
    EXPECT_GE(score(fromIso, fromIso), threshold);
    // ISO keeps every position, type and angle to the bit; the ridge periods
    // come back from the ridge counts, near the engine's.
    const auto before = Minutiae(t), after = Minutiae(fromIso);
    ASSERT_EQ(before.size(), after.size());
    for (size_t k = 0; k < before.size(); ++k) {
      ExpectMinutia(after[k], before[k].X, before[k].Y, before[k].Tipo, before[k].Angulo, std::max(before[k].Qualidade, 1));
      ASSERT_TRUE(before[k].G > 0 && before[k].G < 255) << "the engine's templates carry ridge periods";
      ASSERT_LT(after[k].G, 255) << "minutia " << k << " came back without a ridge period";
      errors.push_back(std::abs(after[k].G / double(before[k].G) - 1));
    }
    // Without the ridge counts (as another system may write the record) the
    // template imports without periods, and still matches.
    fmr::TRecord plain = fmr::Read(iso.data(), iso.size(), TFormat::Iso2005);
    plain.Views[0].ExtendedData.clear();
    const Bytes bare = fmr::Write(plain);
    const Bytes fromBare = fmr::ToNFRecord(bare.data(), bare.size());
    EXPECT_EQ(fromBare[22] & 4, 0);
    EXPECT_GE(score(t, fromBare), threshold);
  }
  // The periods: half of them within 8 %, nine in ten within 20 %.
  std::sort(errors.begin(), errors.end());
  EXPECT_LE(errors[errors.size() / 2], 0.08);
  EXPECT_LE(errors[errors.size() * 9 / 10], 0.20);
}
