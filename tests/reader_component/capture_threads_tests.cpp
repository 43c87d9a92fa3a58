// The path of an image from the capture thread to the scanner object's
// hand-off, with activation and deactivation racing deliveries.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "comum_testes.h"
#include "platform/modules.h"
#include "readers/OmbrelFP.h"
#include "scanners/udOmfwScanners.h"

namespace {

uint32_t Quadro(const TGrayImage& img) {
  uint32_t f = 0;
  std::memcpy(&f, img.Linha(img.Height - 1), 4);
  return f;
}

class CaptureThreads : public ::testing::Test {
 protected:
  void SetUp() override { ConfigurarFake("readers=T001,T002\nwidth=32\nheight=6\ndelay_ms=1\n"); }
};

TEST_F(CaptureThreads, ImagesReachTheHandOffIntactAcrossActivationCycles) {
  TOmbrelFP fp;
  TCanalEventos canal;
  // The fake numbers frames from 1 on every open, so a frame number repeats
  // across cycles; the capture thread must still never hand the same frame
  // over twice within one cycle, and the hand-off never delivers an image
  // twice or out of order (tagged with a publication number).
  uint32_t ultimoQuadro = 0;  // capture thread only; reset between cycles
  int32_t publicadas = 0;
  std::atomic<bool> ruim{false};
  fp.OnCapturou = [&](TOmbrelFP* s, int32_t) {
    auto copia = std::make_unique<TGrayImage>(*s->ImagemAtual());
    uint32_t q = Quadro(*copia);
    if (q <= ultimoQuadro) ruim = true;
    ultimoQuadro = q;
    copia->Resolution = ++publicadas;
    canal.Publicar("ImageScanned", std::move(copia));
  };
  std::atomic<int> recebidas{0};
  std::thread consumidor([&] {
    int32_t ultima = 0;
    while (canal.Aguardar()) {
      std::string tipo;
      auto img = canal.Retirar(tipo);
      if (!img) continue;
      if (img->Width != 32 || img->Height != 6 || img->Linha(2)[5] != 2 * 32 + 5) ruim = true;
      if (img->Resolution <= ultima) ruim = true;
      ultima = img->Resolution;
      ++recebidas;
    }
  });
  fp.SetNumSerieLeitor("H3Fake\\T001");
  for (int ciclo = 0; ciclo < 10; ++ciclo) {
    int antes = recebidas;
    fp.SetModoOperacao(moDesenvolvimento);
    bool chegaram = Aguardar([&] { return recebidas >= antes + 3; }, 30);
    fp.SetModoOperacao(moInativo);  // the capture thread has ended here
    ultimoQuadro = 0;
    EXPECT_TRUE(chegaram) << "cycle " << ciclo;
    if (!chegaram) break;  // the consumer must still be joined below
  }
  canal.Encerrar();
  consumidor.join();
  EXPECT_FALSE(ruim);
}

TEST(EventHandOff, ASlowReceiverGetsTheNewestImageAndNothingPilesUp) {
  TCanalEventos canal;
  constexpr int kTotal = 2000;
  std::vector<int> vistos;
  std::thread consumidor([&] {
    for (;;) {
      bool aberto = canal.Aguardar();
      std::string tipo;
      if (auto img = canal.Retirar(tipo)) vistos.push_back(img->Resolution);
      if (!aberto) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  for (int i = 1; i <= kTotal; ++i) canal.Publicar("ImageScanned", std::make_unique<TGrayImage>(2, 2, i));
  canal.Encerrar();
  consumidor.join();
  ASSERT_FALSE(vistos.empty());
  EXPECT_LT(vistos.size(), static_cast<size_t>(kTotal));
  EXPECT_EQ(vistos.back(), kTotal);
  for (size_t i = 1; i < vistos.size(); ++i) EXPECT_LT(vistos[i - 1], vistos[i]);
}

TEST_F(CaptureThreads, ScannerObjectsStartAndStopWhileImagesArrive) {
  // Without a Java VM the event thread ends at once; capture, the hand-off and
  // the stop still run for real.
  TInnerScanner s("H3Fake\\T002", API_OM);
  EXPECT_FALSE(s.IsCapturing());
  s.StopCapturing();  // never started: switches the reader off and returns
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(s.StartCapturing(nullptr, nullptr));
    EXPECT_FALSE(s.StartCapturing(nullptr, nullptr));  // a second start changes nothing
    EXPECT_TRUE(s.IsCapturing());
    EXPECT_EQ(s.NeoFP().ModoOperacao(), moDesenvolvimento);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    s.StopCapturing();
    EXPECT_FALSE(s.IsCapturing());
    EXPECT_EQ(s.NeoFP().ModoOperacao(), moInativo);
  }
}

TEST_F(CaptureThreads, AFailedStartLeavesTheScannerIdleAndTheReaderFree) {
  TInnerScanner s("H3Fake\\T404", API_OM);
  EXPECT_THROW(s.StartCapturing(nullptr, nullptr), EOmbrelFP);
  EXPECT_FALSE(s.IsCapturing());
  EXPECT_FALSE(s.NeoFP().EstaAtivo());
}

TEST_F(CaptureThreads, ReadersWhoseSerialBeginsWithCisGetTheLfdCommandAtStart) {
  const std::string cfg = PegPastaPrograma("omr_h3cis_64.cfg");
  { std::ofstream(cfg) << "readers=K001\n"; }
  plat::ModuleHandle m = plat::LoadModule(PegPastaPrograma(std::string("omr_h3cis_64") + plat::ModuleSuffix()), true);
  ASSERT_NE(m, nullptr);
  auto ultimo = reinterpret_cast<const char* (*)()>(plat::GetSymbol(m, "H3Fake_LastCommand"));
  ASSERT_NE(ultimo, nullptr);
  {
    TInnerScanner s("CIS\\K001", API_OM);
    ASSERT_TRUE(s.StartCapturing(nullptr, nullptr));
    EXPECT_STREQ(ultimo(), "LFD(2,3)");
    s.StopCapturing();
  }
  plat::UnloadModule(m);
  std::remove(cfg.c_str());
}

TEST_F(CaptureThreads, StartsAndStopsOnSeveralThreadsWaitForEveryRunOutsideTheLock) {
  // The exports' pattern: operations under the scanner lock, waits for runs
  // after giving it up. Without a VM every run ends at once.
  TInnerScanner s("H3Fake\\T001", API_OM);
  std::recursive_mutex trava;
  std::atomic<int> esperasRuins{0};
  auto trabalho = [&] {
    for (int i = 0; i < 25; ++i) {
      std::shared_ptr<TCanalEventos> anterior;
      {
        std::lock_guard<std::recursive_mutex> g(trava);
        anterior = s.ExecucaoEmCurso();
        if (!anterior && !s.IsCapturing()) s.StartCapturing(nullptr, nullptr);
      }
      if (AguardarFimDaExecucao(anterior) != TFimEspera::Terminou) ++esperasRuins;
      TExecucaoPendente p;
      {
        std::lock_guard<std::recursive_mutex> g(trava);
        s.StopCapturing(&p);
      }
      if (AguardarFimDaExecucao(p.canal) != TFimEspera::Terminou) ++esperasRuins;
      DescartarExecucao(std::move(p));
    }
  };
  std::thread a(trabalho), b(trabalho);
  a.join();
  b.join();
  EXPECT_EQ(esperasRuins.load(), 0);
  EXPECT_FALSE(s.IsCapturing());
  EXPECT_EQ(s.NeoFP().ModoOperacao(), moInativo);
}

}  // namespace
