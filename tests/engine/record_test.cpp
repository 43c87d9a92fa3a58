#include <gtest/gtest.h>

#include <cmath>

#include "nfrecord.h"
#include "record_reader.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

omx::Features Sample() {
  omx::Features f;
  f.width = 400;
  f.height = 300;
  f.imageQuality = 77;
  f.meanPeriod = 9.2;
  f.foregroundBlocks = 1200;
  omx::Minutia a;
  a.x = 2047; a.y = 2047; a.type = 1; a.angle = -2 * kPi / 256; a.quality = 90; a.curvature = 12; a.period10 = 91;
  omx::Minutia b;
  b.x = 10; b.y = 20; b.type = 0; b.angle = kPi / 2; b.quality = 40; b.curvature = 255; b.period10 = 300;
  f.minutiae = {a, b};
  omx::SingularPoint core;
  core.x = 100; core.y = 150; core.angle[0] = -kPi / 2;
  omx::SingularPoint delta;
  delta.x = 200; delta.y = 250; delta.angle[0] = 0; delta.angle[1] = 2 * kPi / 3; delta.angle[2] = -2 * kPi / 3;
  f.cores = {core, core};
  f.deltas = {delta};
  f.doubleCores = {core};
  return f;
}

std::vector<uint8_t> Write(const omx::Features& f, const omx::ExportOptions& o) {
  std::vector<uint8_t> buf(omx::WriteNFRecord(f, o, nullptr), 0xCC);
  EXPECT_EQ(omx::WriteNFRecord(f, o, buf.data()), buf.size());
  return buf;
}

TEST(NFRecordWriter, FullRecordReadsBackExactly) {
  omx::ExportOptions o;  // all optional bytes, everything, singular points and the summary
  auto buf = Write(Sample(), o);
  auto r = testrec::Read(buf);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->end, buf.size());  // nothing unaccounted for after the double cores
  EXPECT_EQ(r->flags, 7);
  EXPECT_EQ(buf[25], 7);
  ASSERT_EQ(r->minutiae.size(), 2u);
  // Listed top to bottom.
  EXPECT_EQ(r->minutiae[0].x, 10);
  EXPECT_EQ(r->minutiae[0].y, 20);
  EXPECT_EQ(r->minutiae[0].type, 0);
  EXPECT_EQ(r->minutiae[0].angle, 64);  // a quarter turn, pointing to the top
  EXPECT_EQ(r->minutiae[0].quality, 40);
  EXPECT_EQ(r->minutiae[0].curvature, 255);
  EXPECT_EQ(r->minutiae[0].g, 255);  // clamped
  EXPECT_EQ(r->minutiae[1].x, 2047);
  EXPECT_EQ(r->minutiae[1].y, 2047);
  EXPECT_EQ(r->minutiae[1].type, 1);
  EXPECT_EQ(r->minutiae[1].angle, 255);  // negative angles wrap
  EXPECT_EQ(r->minutiae[1].g, 91);
  EXPECT_EQ(r->blockLen, 16);  // the summary, then the quality advice
  ASSERT_EQ(r->cores.size(), 2u);
  EXPECT_EQ(r->coreSize, 4);
  EXPECT_EQ(r->cores[0].x, 100);
  EXPECT_EQ(r->cores[0].y, 150);
  EXPECT_EQ(r->cores[0].angle, 192);
  ASSERT_EQ(r->deltas.size(), 1u);
  EXPECT_EQ(r->deltaSize, 7);
  EXPECT_EQ(r->deltas[0].x, 200);
  EXPECT_EQ(r->deltas[0].y, 250);
  EXPECT_EQ(r->deltas[0].a1, 0);
  EXPECT_EQ(r->deltas[0].a2, 85);
  EXPECT_EQ(r->deltas[0].a3, 171);
  ASSERT_EQ(r->doubles.size(), 1u);
  EXPECT_EQ(r->doubles[0].x, 100);
  // Header: our tag, sizes, resolution and the total.
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + 4), "OMX1");
  EXPECT_EQ(testrec::Word(buf, 12), buf.size());
}

TEST(NFRecordWriter, FormatOrdinalSelectsOptionalBytes) {
  const struct { int format, flags, size; } cases[] = {{0, 0, 4}, {1, 1, 5}, {2, 7, 7}, {9, 7, 7}, {-1, 7, 7}};
  for (const auto& c : cases) {
    omx::ExportOptions o;
    o.format = c.format;
    auto buf = Write(Sample(), o);
    auto r = testrec::Read(buf);
    ASSERT_TRUE(r) << c.format;
    EXPECT_EQ(r->flags, c.flags);
    EXPECT_EQ(buf[25], c.size);
    EXPECT_EQ(r->end, buf.size());
    ASSERT_EQ(r->cores.size(), 2u) << "cores must follow the minutiae wherever their size changes";
    if (c.flags == 0) {
      EXPECT_EQ(r->minutiae[1].quality, 255);
    }
    if (c.flags == 1) {
      EXPECT_EQ(r->minutiae[1].quality, 90);
      EXPECT_EQ(r->minutiae[1].curvature, 255);
    }
  }
}

TEST(NFRecordWriter, SizeOrdinalKeepsTheBestMinutiae) {
  omx::Features f;
  for (int i = 0; i < 300; ++i) {
    omx::Minutia m;
    m.x = i;
    m.y = i;
    m.quality = i % 101;
    f.minutiae.push_back(m);
  }
  const struct { int size; size_t count; } cases[] = {{0, 32}, {1, 64}, {2, 128}, {3, 255}, {42, 255}};
  for (const auto& c : cases) {
    omx::ExportOptions o;
    o.size = c.size;
    auto r = testrec::Read(Write(f, o));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->minutiae.size(), c.count) << c.size;
    if (c.count == 32) {
      for (const auto& m : r->minutiae) EXPECT_GE(m.quality, 89);  // 100, 99, 98 twice, 97 down to 89 three times
    }
  }
}

TEST(NFRecordWriter, BooleansDropSingularPointsAndSummary) {
  omx::ExportOptions o;
  o.singular = false;
  o.extra = false;
  auto buf = Write(Sample(), o);
  auto r = testrec::Read(buf);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->blockLen, 0);
  EXPECT_TRUE(r->cores.empty());
  EXPECT_TRUE(r->deltas.empty());
  EXPECT_TRUE(r->doubles.empty());
  EXPECT_EQ(r->end, buf.size());
  EXPECT_EQ(r->minutiae.size(), 2u);
}

TEST(NFRecordWriter, EmptyFeaturesGiveAMinimalValidRecord) {
  auto buf = Write(omx::Features{}, omx::ExportOptions{});
  auto r = testrec::Read(buf);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->minutiae.empty());
  EXPECT_EQ(r->end, buf.size());
}

TEST(NFRecordWriter, AngleUnitIs256StepsPerTurn) {
  EXPECT_EQ(omx::AngleByte(0), 0);
  EXPECT_EQ(omx::AngleByte(kPi), 128);
  EXPECT_EQ(omx::AngleByte(-kPi / 2), 192);
  EXPECT_EQ(omx::AngleByte(2 * kPi), 0);
  EXPECT_EQ(omx::AngleByte(2 * kPi - 1e-9), 0);
  EXPECT_EQ(omx::AngleByte(5 * kPi), 128);
}

}  // namespace
