// The engine loaded and driven by the library's binding, end to end: defaults,
// extraction with the binding's work image, export sized then written, and the
// template reader on the bytes.
#include <gtest/gtest.h>

#include "extraction/udOmExtractDll.h"
#include "fpsynth/fpsynth.h"
#include "platform/modules.h"
#include "templates/udOmfwTemplates.h"

namespace {

TEST(EngineBinding, LibraryBindingExtractsWithOurEngine) {
  std::string exe = plat::MainModulePath();
  TOmExtractDll motor({exe.substr(0, exe.find_last_of("/\\") + 1) + TOmExtractDll::NomeArquivo()});
  TOmExtractorConfiguration cfg{};
  motor.PegParametrosDefault(cfg);
  fpsynth::Params p;
  p.width = 388;
  p.height = 374;
  p.pattern = fpsynth::Pattern::LeftLoop;
  auto fp = fpsynth::Generate(p, 5);
  for (int round = 0; round < 2; ++round) {  // the second call reuses the binding's work image
    auto t = motor.ExtractMinutiae(fp.pixels.data(), 388, 374, 500, &cfg);
    ASSERT_TRUE(t);
    int32_t n = t->ExportNFRecord(nullptr, 388, 374, 500, 500, 2, 3, true, true);
    ASSERT_GT(n, 26);
    std::vector<uint8_t> rec(static_cast<size_t>(n));
    ASSERT_EQ(t->ExportNFRecord(rec.data(), 388, 374, 500, 500, 2, 3, true, true), n);
    EXPECT_GT(ContarItensNF(rec.data(), rec.size(), tiMinucia), 15);
    EXPECT_EQ(ContarItensNF(rec.data(), rec.size(), tiNucleo), 1);
    EXPECT_EQ(ContarItensNF(rec.data(), rec.size(), tiDelta), 1);
  }
}

}  // namespace
