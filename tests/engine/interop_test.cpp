// Records written by the engine, read back with the library's template reader.
#include <gtest/gtest.h>

#include "config.h"
#include "extractor.h"
#include "fpsynth/fpsynth.h"
#include "nfrecord.h"
#include "record_reader.h"
#include "templates/udOmfwTemplates.h"

namespace {

TEST(EngineRecordInterop, LibraryReaderSeesWhatTheEngineWrote) {
  fpsynth::Params p;
  p.width = 388;
  p.height = 374;
  p.pattern = fpsynth::Pattern::Whorl;
  auto fp = fpsynth::Generate(p, 31);
  omx::Features f;
  ASSERT_TRUE(omx::Extract(fp.pixels.data(), 388, 374, 500, omx::DefaultConfig(), false, nullptr, f));
  ASSERT_GT(f.minutiae.size(), 10u);
  ASSERT_FALSE(f.cores.empty());
  for (int format = 0; format < 3; ++format) {
    for (bool singular : {false, true}) {
      omx::ExportOptions o;
      o.width = 388;
      o.height = 374;
      o.format = format;
      o.singular = singular;
      std::vector<uint8_t> rec(omx::WriteNFRecord(f, o, nullptr));
      omx::WriteNFRecord(f, o, rec.data());
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

}  // namespace
