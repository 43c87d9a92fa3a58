// Records written by the engine, read back with the library's template reader.
#include <gtest/gtest.h>

#include "config.h"
#include "extractor.h"
#include "fpsynth/fpsynth.h"
#include "matching/TemplateCheck.h"
#include "nfrecord.h"
#include "record_reader.h"
#include "templates/udOmfwTemplates.h"

namespace {

// The features of a synthetic whorl.
omx::Features Whorl(int width, int height, uint32_t seed) {
  fpsynth::Params p;
  p.width = width;
  p.height = height;
  p.pattern = fpsynth::Pattern::Whorl;
  auto fp = fpsynth::Generate(p, seed);
  omx::Features f;
  EXPECT_TRUE(omx::Extract(fp.pixels.data(), static_cast<uint32_t>(width), static_cast<uint32_t>(height), 500,
                           omx::DefaultConfig(), false, nullptr, f));
  return f;
}

std::vector<uint8_t> Record(const omx::Features& f, const omx::ExportOptions& o) {
  std::vector<uint8_t> rec(omx::WriteNFRecord(f, o, nullptr));
  omx::WriteNFRecord(f, o, rec.data());
  return rec;
}

TEST(EngineRecordInterop, LibraryReaderSeesWhatTheEngineWrote) {
  const omx::Features f = Whorl(388, 374, 31);
  ASSERT_GT(f.minutiae.size(), 10u);
  ASSERT_FALSE(f.cores.empty());
  for (int format = 0; format < 3; ++format) {
    for (bool singular : {false, true}) {
      omx::ExportOptions o;
      o.width = 388;
      o.height = 374;
      o.format = format;
      o.singular = singular;
      const std::vector<uint8_t> rec = Record(f, o);
      auto mine = testrec::Read(rec);
      ASSERT_TRUE(mine);
      ASSERT_EQ(ContarItensNF(rec.data(), rec.size(), tiMinucia), static_cast<int32_t>(mine->minutiae.size()));
      ASSERT_EQ(ContarItensNF(rec.data(), rec.size(), tiNucleo), static_cast<int32_t>(singular ? f.cores.size() : 0));
      ASSERT_EQ(ContarItensNF(rec.data(), rec.size(), tiDelta), static_cast<int32_t>(singular ? f.deltas.size() : 0));
      ASSERT_EQ(ContarItensNF(rec.data(), rec.size(), tiNucleoDuplo), static_cast<int32_t>(singular ? f.doubleCores.size() : 0));
      auto where = LocalizarItensNF(rec.data(), rec.size(), tiMinucia);
      ASSERT_TRUE(where);
      for (int32_t i = 0; i < where->Quantidade; ++i) {
        TItemNF item = LerItemNF(rec.data(), *where, i);
        const auto& m = mine->minutiae[static_cast<size_t>(i)];
        EXPECT_EQ(item.X, m.x);
        EXPECT_EQ(item.Y, m.y);
        EXPECT_EQ(item.Tipo, m.type);
        EXPECT_EQ(item.Angulo, m.angle);
        EXPECT_EQ(item.Qualidade, format >= 1 ? m.quality : 255);
        EXPECT_EQ(item.G, format >= 2 ? m.g : 255);
      }
      if (singular) {
        auto cores = LocalizarItensNF(rec.data(), rec.size(), tiNucleo);
        ASSERT_TRUE(cores);
        TItemNF c = LerItemNF(rec.data(), *cores, 0);
        EXPECT_EQ(c.X, mine->cores[0].x);
        EXPECT_EQ(c.Y, mine->cores[0].y);
        EXPECT_EQ(c.Angulo, mine->cores[0].angle);
      }
    }
  }
}

// Every record the engine can write is a template to the validator, and no
// shorter piece of one is; a blank picture's record is one without minutiae.
TEST(EngineRecordInterop, TheValidatorAcceptsEveryRecordTheEngineWritesAndNoPieceOfOne) {
  const omx::Features f = Whorl(320, 400, 7);
  ASSERT_GT(f.minutiae.size(), 32u);  // so that the smallest size cuts
  ASSERT_FALSE(f.cores.empty());
  ASSERT_FALSE(f.deltas.empty());
  for (int format : {0, 1, 2, 9})
    for (int size : {0, 1, 2, 3, 9})
      for (bool singular : {false, true})
        for (bool extra : {false, true}) {
          omx::ExportOptions o;
          o.width = 320;
          o.height = 400;
          o.format = format;
          o.size = size;
          o.singular = singular;
          o.extra = extra;
          const std::vector<uint8_t> rec = Record(f, o);
          const auto c = matching::ValidateTemplate(rec.data(), rec.size());
          ASSERT_EQ(c.State, matching::tsUsable) << format << " " << size << " " << singular << " " << extra << ": "
                                                 << c.Problem;
          EXPECT_EQ(c.Minutiae, ContarItensNF(rec.data(), rec.size(), tiMinucia));
          for (size_t n = 0; n < rec.size(); ++n)
            ASSERT_EQ(matching::ValidateTemplate(rec.data(), n).State, matching::tsMalformed)
                << "cut to " << n << " of " << rec.size() << " bytes (format " << format << ", size " << size << ")";
        }

  const std::vector<uint8_t> white(320 * 400, 255);
  omx::Features none;
  ASSERT_TRUE(omx::Extract(white.data(), 320, 400, 500, omx::DefaultConfig(), false, nullptr, none));
  const std::vector<uint8_t> rec = Record(none, omx::ExportOptions{});
  EXPECT_EQ(matching::ValidateTemplate(rec.data(), rec.size()).State, matching::tsNoMinutiae);
}

}  // namespace
