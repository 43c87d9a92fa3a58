// The template validator: each of its rules, files that are not templates,
// and what the matcher and the gallery do with what it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "images/udOmfwImages.h"
#include "matching/Gallery.h"
#include "matching/Matcher.h"
#include "matching/TemplateCheck.h"
#include "placed.h"
#include "templates/udOmfwTemplates.h"

namespace {

using Bytes = std::vector<uint8_t>;
using matching::ValidateTemplate;

// A template as a writer may lay it out: `flags` optional minutia bytes,
// `block` bytes after the minutiae, then cores, deltas and double cores of
// the given counts and record sizes, then `trailing` free bytes.
struct TLayout {
  uint8_t Flags = 0;
  int Minutiae = 12;
  int Block = 0;
  int Cores = 1, CoreSize = 4;
  int Deltas = 1, DeltaSize = 7;
  int Doubles = 1, DoubleSize = 4;
  int Trailing = 0;
};

Bytes Make(const TLayout& l) {
  Bytes b(22, 0xA5);  // the writer's own header bytes: anything goes
  const int step = 4 + (l.Flags & 1) + ((l.Flags >> 1) & 1) + ((l.Flags >> 2) & 1);
  b.insert(b.end(), {l.Flags, 0x5A, static_cast<uint8_t>(l.Minutiae), static_cast<uint8_t>(step)});
  for (int i = 0; i < l.Minutiae; ++i) {
    const uint32_t w = static_cast<uint32_t>(100 + 9 * i) << 21 | static_cast<uint32_t>(50 + 7 * i) << 10 |
                       static_cast<uint32_t>(i & 3) << 8 | static_cast<uint32_t>(i * 37 & 255);
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(w >> (8 * k)));
    for (int k = 4; k < step; ++k) b.push_back(static_cast<uint8_t>(60 + k));
  }
  b.push_back(0);
  b.push_back(static_cast<uint8_t>(l.Block & 0xFF));
  b.push_back(static_cast<uint8_t>(l.Block >> 8 & 0xFF));
  b.insert(b.end(), static_cast<size_t>(l.Block), 7);
  for (auto [n, s] : {std::pair{l.Cores, l.CoreSize}, {l.Deltas, l.DeltaSize}, {l.Doubles, l.DoubleSize}}) {
    b.push_back(static_cast<uint8_t>(n));
    b.push_back(static_cast<uint8_t>(s));
    b.insert(b.end(), static_cast<size_t>(n * s), 0x33);
  }
  b.insert(b.end(), static_cast<size_t>(l.Trailing), 0xEE);
  return b;
}

std::mt19937& Rng(uint32_t seed) {
  static thread_local std::mt19937 r;
  r.seed(seed);
  return r;
}

std::string Problem(const Bytes& b) {
  const auto c = ValidateTemplate(b.data(), b.size());
  EXPECT_EQ(c.State, matching::tsMalformed) << "accepted as a template";
  return c.Problem;
}

void Contains(const std::string& text, const std::string& part) {
  EXPECT_NE(text.find(part), std::string::npos) << "'" << text << "' does not say '" << part << "'";
}

TEST(TemplateCheck, WellFormedLayoutsOfAnyWriterAreUsable) {
  for (uint8_t flags = 0; flags < 16; ++flags)  // bit 3 means nothing
    for (int block : {0, 8, 300})
      for (int trailing : {0, 5}) {
        TLayout l;
        l.Flags = flags;
        l.Block = block;
        l.Trailing = trailing;
        l.CoreSize = 6;  // longer records than what is read are fine
        const Bytes b = Make(l);
        const auto c = ValidateTemplate(b.data(), b.size());
        EXPECT_EQ(c.State, matching::tsUsable) << int{flags} << " " << block << ": " << c.Problem;
        EXPECT_EQ(c.Minutiae, 12);
        EXPECT_EQ(c.Problem, "");
        // What the validator accepts, the reader reads whole.
        for (int kind = tiMinucia; kind <= tiNucleoDuplo; ++kind)
          EXPECT_EQ(ContarItensNF(b.data(), b.size(), kind), kind == tiMinucia ? 12 : 1) << kind;
      }
  // Empty blocks may give any record size, 0 included.
  TLayout none;
  none.Cores = none.Deltas = none.Doubles = 0;
  none.CoreSize = none.DeltaSize = none.DoubleSize = 0;
  const Bytes b = Make(none);
  EXPECT_EQ(ValidateTemplate(b.data(), b.size()).State, matching::tsUsable);
}

TEST(TemplateCheck, EachRuleNamesWhatIsWrong) {
  Contains(Problem({}), "it is empty");
  EXPECT_EQ(ValidateTemplate(nullptr, 0).State, matching::tsMalformed);
  Contains(Problem(Bytes(25, 0)), "25 bytes long, shorter than the 26 bytes");

  TLayout l;
  l.Flags = 7;
  Bytes b = Make(l);
  b[25] = 5;
  Contains(Problem(b), "minutia records are 5 bytes long (byte 25), but its flags (byte 22: 0x07) announce 7-byte");
  b[25] = 4;
  b[22] = 0;  // the flags of 4-byte records on 7-byte records
  EXPECT_EQ(ValidateTemplate(b.data(), b.size()).State, matching::tsMalformed);

  b = Make(l);
  const size_t a = 26 + 12 * 7;
  b[a + 1] = 0xFD;
  b[a + 2] = 0xFF;
  Contains(Problem(b), "negative length, -3");
  b[a + 1] = 0xFF;
  b[a + 2] = 0x7F;
  Contains(Problem(b), "block of 32767 bytes after its minutiae");

  struct {
    int TLayout::*Size;
    int Least;
    const char* Name;
  } sizes[] = {{&TLayout::CoreSize, 4, "core records are 3 bytes long"},
               {&TLayout::DeltaSize, 7, "delta records are 6 bytes long"},
               {&TLayout::DoubleSize, 4, "double core records are 3 bytes long"}};
  for (const auto& s : sizes) {
    TLayout short_ = l;
    short_.*s.Size = s.Least - 1;
    Contains(Problem(Make(short_)), s.Name);
    Contains(Problem(Make(short_)), "too short for the " + std::to_string(s.Least) + " bytes");
  }

  TLayout many = l;
  many.Doubles = 3;
  b = Make(many);
  b.resize(b.size() - 1);
  Contains(Problem(b), "its 3 double cores of 4 bytes");
  Contains(Problem(b), "run past its end");
}

TEST(TemplateCheck, EveryTruncationOfATemplateIsRefused) {
  for (uint8_t flags : {0, 1, 7}) {
    TLayout l;
    l.Flags = flags;
    l.Block = 8;
    for (const Bytes& whole : {Make(l), placed::Record(placed::Finger(Rng(flags)))}) {
      ASSERT_EQ(ValidateTemplate(whole.data(), whole.size()).State, matching::tsUsable);
      for (size_t n = 0; n < whole.size(); ++n) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(ValidateTemplate(cut.data(), cut.size()).State, matching::tsMalformed) << n << " bytes";
        EXPECT_THROW(matching::CheckTemplate(cut.data(), cut.size()), matching::EMatching) << n;
      }
    }
  }
}

TEST(TemplateCheck, ATemplateWithoutMinutiaeIsReadableButNamedAsSuch) {
  TLayout l;
  l.Minutiae = 0;
  const Bytes b = Make(l);
  const auto c = ValidateTemplate(b.data(), b.size());
  EXPECT_EQ(c.State, matching::tsNoMinutiae);
  EXPECT_EQ(c.Minutiae, 0);
  Contains(c.Problem, "no minutiae: it is readable, but the matcher has nothing to compare");
  EXPECT_EQ(matching::CheckTemplate(b.data(), b.size()), 0);
  const Bytes good = placed::Record(placed::Finger(Rng(4)));
  EXPECT_EQ(matching::Compare(b.data(), b.size(), good.data(), good.size()), 0);
}

// Files a user may hand over by mistake, head first: none is a template.
TEST(TemplateCheck, FilesOfOtherKindsAreRefused) {
  std::vector<std::pair<std::string, Bytes>> files;
  // Signature and header chunk of a 256 x 360 grey picture.
  files.emplace_back("PNG", Bytes{0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 1, 0,
                                  0, 0, 1, 0x68, 8, 0, 0, 0, 0, 0x3a, 0x7e, 0x9b, 0x55});
  files.emplace_back("JPEG", Bytes{0xff, 0xd8, 0xff, 0xe0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0,
                                   0xff, 0xdb, 0, 0x43, 0, 8, 6, 6, 7});
  const std::string text = "dactylink is a fingerprint-reader toolkit for Java applications on 64-bit\nWindows.\n";
  files.emplace_back("text", Bytes(text.begin(), text.end()));
  // A jar begins with the local header of its folder entry "META-INF/", sizes 0.
  Bytes jar{'P', 'K', 3, 4, 20, 0, 8, 8, 8, 0, 0x4b, 0x7a, 0x33, 0x59, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0, 4, 0};
  for (char c : std::string("META-INF/")) jar.push_back(static_cast<uint8_t>(c));
  jar.insert(jar.end(), {0xfe, 0xca, 0, 0});
  files.emplace_back("jar", jar);
  for (auto& f : files) f.second.resize(std::max<size_t>(f.second.size(), 800), 0x41);  // room for any block
  for (int32_t h : {360, 480, 1, 1024}) {
    std::vector<uint8_t> bmp;
    GravarBMPCinza(256, h, Bytes(static_cast<size_t>(256 * h), 200).data(), bmp);
    files.emplace_back("BMP 256 x " + std::to_string(h), bmp);
  }
  std::mt19937 rng(19);
  for (size_t n : {30, 100, 411, 4096}) {
    Bytes r(n);
    for (auto& x : r) x = static_cast<uint8_t>(rng());
    files.emplace_back("random " + std::to_string(n), r);
  }
  for (const auto& [name, bytes] : files) {
    EXPECT_EQ(ValidateTemplate(bytes.data(), bytes.size()).State, matching::tsMalformed) << name;
    EXPECT_THROW(matching::CheckTemplate(bytes.data(), bytes.size(), "The probe"), matching::EMatching) << name;
    const Bytes good = placed::Record(placed::Finger(Rng(5)));
    EXPECT_THROW(matching::Compare(good.data(), good.size(), bytes.data(), bytes.size()), matching::EMatching) << name;
    matching::TGallery g;
    EXPECT_THROW(g.Add(1, bytes.data(), bytes.size()), matching::EMatching) << name;
    EXPECT_EQ(g.Count(), 0u);
  }
}

TEST(TemplateCheck, CheckTemplateMessagesSayWhichTemplate) {
  try {
    matching::CheckTemplate(nullptr, 0, "The probe");
    FAIL() << "no exception";
  } catch (const matching::EMatching& e) {
    EXPECT_STREQ(e.what(), "The probe is not a valid NFRecord template: it is empty");
  }
  try {
    matching::CheckTemplate(Bytes(10).data(), 10);
    FAIL() << "no exception";
  } catch (const matching::EMatching& e) {
    EXPECT_STREQ(e.what(), "Not a valid NFRecord template: it is 10 bytes long, shorter than the 26 bytes of a "
                           "template's header");
  }
}

}  // namespace
