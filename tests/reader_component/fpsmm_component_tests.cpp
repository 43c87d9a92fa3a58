// A reader component over a pushing plug-in whose StopCapture fails and whose
// thread calls back after that.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>

#include "comum_testes.h"
#include "readers/OmbrelFP.h"

namespace {

void ConfigurarPlugin(const std::string& texto) {
  std::ofstream f(PegPastaPrograma("FPSmmUnruly.cfg"), std::ios::trunc);
  f << texto;
}

TEST(ReaderComponentPushed, AFailedStopLeavesTheReaderOffAndTheNextStartCaptures) {
  const std::string base = "ids=unruly\\U1\nsizes=16x8\ninterval_ms=2\n";
  ConfigurarPlugin(base + "stop_status=-5\nlate_ms=30\n");
  TOmbrelFP fp;
  std::atomic<int> capturas{0};
  fp.OnCapturou = [&](TOmbrelFP*, int32_t) { ++capturas; };
  fp.SetNumSerieLeitor("unruly\\U1");
  fp.SetModoOperacao(moDesenvolvimento);
  ASSERT_TRUE(Aguardar([&] { return capturas.load() > 0; }));

  bool falhou = false;
  try {
    fp.SetModoOperacao(moInativo);
  } catch (const std::exception& e) {
    falhou = true;
    EXPECT_STREQ(e.what(), "Erro -5");
  }
  EXPECT_TRUE(falhou);
  EXPECT_FALSE(fp.EstaAtivo());
  EXPECT_EQ(fp.ModoOperacao(), moInativo);

  ConfigurarPlugin(base);
  fp.SetModoOperacao(moDesenvolvimento);
  EXPECT_TRUE(fp.EstaAtivo());
  const int antes = capturas.load();
  EXPECT_TRUE(Aguardar([&] { return capturas.load() > antes; })) << "the restarted reader delivers";
  fp.SetModoOperacao(moInativo);
  EXPECT_EQ(fp.ModoOperacao(), moInativo);
}

}  // namespace
