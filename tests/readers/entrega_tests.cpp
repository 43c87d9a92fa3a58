// Images delivered on other threads: FPSmm plug-in callbacks, the OMR capture
// loop racing Close, and both Ridgeway back-ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "ajuda_testes.h"
#include "readers/CapturaModulos.h"
#include "readers/ScanMan.h"
#include "readers/ScanManInterno.h"
#include "support/Excecoes.h"

using teste::Configurar;
using teste::Esperar;
using teste::Mensagem;

namespace {

struct Recebida {
  int w = 0, h = 0;
  const uint8_t* buffer = nullptr;
  bool padraoOk = false;
};

TEST(EntregaFPSmm, PushedImagesOfChangingSizesReachTheHandler) {
  const std::string pasta = teste::Pasta("fpsmm");
  // The plug-in pushes from inside OpenDevice, before OnImage can be set: the
  // first push waits long enough for the handler to be in place even under TSan.
  Configurar(pasta, "FPSmmScan", "ids=scan\\S1\nsizes=40x30,40x30,64x48,64x48\nimages=4\ninterval_ms=100\n");
  TFPSmmCaptureModule m("scan", teste::Arquivo(pasta, "FPSmmScan"));
  std::mutex trava;
  std::vector<Recebida> recebidas;
  std::unique_ptr<TOmCaptureDevice> d;
  {
    std::lock_guard<std::mutex> g(trava);  // no image is handled before OnImage is in place
    d.reset(m.OpenDevice("S1"));
    d->OnImage = [&](TOmCaptureDevice* s) {
      std::lock_guard<std::mutex> g2(trava);
      Recebida r{s->ImageWidth(), s->ImageHeight(), s->ImageBuffer(), true};
      int k = static_cast<int>(recebidas.size());
      for (int y = 0; y < r.h && r.padraoOk; ++y)
        for (int x = 0; x < r.w; ++x) r.padraoOk = r.padraoOk && r.buffer[y * r.w + x] == teste::Pixel(x, y, k, 0);
      recebidas.push_back(r);
    };
  }
  ASSERT_TRUE(Esperar([&] {
    std::lock_guard<std::mutex> g(trava);
    return recebidas.size() == 4;
  }));
  d->Close();
  std::lock_guard<std::mutex> g(trava);
  EXPECT_EQ(recebidas[0].w, 40);
  EXPECT_EQ(recebidas[2].w, 64);
  EXPECT_EQ(recebidas[2].h, 48);
  for (auto& r : recebidas) EXPECT_TRUE(r.padraoOk);
  EXPECT_EQ(recebidas[0].buffer, recebidas[1].buffer) << "same size reuses the buffer";
  EXPECT_EQ(recebidas[2].buffer, recebidas[3].buffer);
}

TEST(EntregaFPSmm, ClosingWhileTheHandlerRunsWaitsForIt) {
  const std::string pasta = teste::Pasta("fpsmm");
  Configurar(pasta, "FPSmmScan", "ids=scan\\S1\nsizes=50x50,70x20\ninterval_ms=1\n");
  TFPSmmCaptureModule m("scan", teste::Arquivo(pasta, "FPSmmScan"));
  std::atomic<int> vistas{0};
  std::atomic<uint32_t> soma{0};
  std::unique_ptr<TOmCaptureDevice> d(m.OpenDevice("S1"));
  d->OnImage = [&](TOmCaptureDevice* s) {
    const uint8_t* p = s->ImageBuffer();
    uint32_t t = 0;
    for (int rep = 0; rep < 20; ++rep)
      for (int i = 0; i < s->ImageWidth() * s->ImageHeight(); ++i) t += p[i];
    soma += t;
    ++vistas;
  };
  ASSERT_TRUE(Esperar([&] { return vistas.load() > 3; }));
  d->Close();
  int depois = vistas.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(vistas.load(), depois) << "no image after Close";
  d.reset();
}

// A plug-in whose thread calls back after StopCapture returned, or after a
// StopCapture that failed: by then the device is deleted (and its memory may
// belong to a new device), and the late image reaches nobody.
TEST(EntregaFPSmm, ImagesPushedAfterTheDeviceIsGoneReachNothing) {
  const std::string pasta = teste::Pasta("fpsmm");
  const std::string arquivo = teste::Arquivo(pasta, "FPSmmScan");
  auto tardias = [&] { return teste::Chamadas(arquivo, "FakeFpsmm_Calls", "Late"); };
  for (const char* parada : {"", "stop_status=-5\n"}) {
    Configurar(pasta, "FPSmmScan", std::string("ids=scan\\S1\nsizes=30x20\ninterval_ms=1\nlate_ms=60\n") + parada);
    TFPSmmCaptureModule m("scan", arquivo);
    std::atomic<int> vistas{0};
    std::unique_ptr<TOmCaptureDevice> d(m.OpenDevice("S1"));
    d->OnImage = [&](TOmCaptureDevice*) { ++vistas; };
    ASSERT_TRUE(Esperar([&] { return vistas.load() > 2; }));
    const int antes = tardias();
    EXPECT_EQ(Mensagem([&] { d->Close(); }), *parada ? "Erro -5" : "(no exception)");
    const int aoFechar = vistas.load();
    d.reset();
    // The next device, of another image size, may be given the same memory.
    Configurar(pasta, "FPSmmScan", "ids=scan\\S1\nsizes=50x40\ninterval_ms=1\n");
    std::atomic<int> alheias{0};
    d.reset(m.OpenDevice("S1"));
    d->OnImage = [&](TOmCaptureDevice* s) {
      if (s->ImageWidth() != 50) ++alheias;
    };
    ASSERT_TRUE(Esperar([&] { return tardias() > antes; }));
    d->Close();
    d.reset();
    EXPECT_EQ(vistas.load(), aoFechar) << parada;
    EXPECT_EQ(alheias.load(), 0) << parada;
  }
}

TEST(EntregaOmr, CloseDuringAHandlerKeepsItsBufferValid) {
  const std::string pasta = teste::Pasta("omr");
  Configurar(pasta, "omr_alfa_64", "prefix=Alfa\nreaders=A1\nwidth=64\nheight=64\ninterval_ms=0\n");
  TOmrCaptureModule m("alfa", teste::Arquivo(pasta, "omr_alfa_64"));
  for (int volta = 0; volta < 5; ++volta) {
    std::unique_ptr<TOmCaptureDevice> d(m.OpenDevice("A1"));
    std::atomic<bool> dentro{false};
    std::atomic<bool> fechado{false};
    std::atomic<bool> valido{true};
    d->OnImage = [&](TOmCaptureDevice* s) {
      dentro = true;
      // Keep reading until well after Close has returned on the other thread.
      while (!fechado) {
        const uint8_t* p = s->ImageBuffer();
        if (!p) valido = false;
        volatile uint32_t t = 0;
        for (int i = 0; p && i < s->ImageWidth() * s->ImageHeight(); ++i) t = t + p[i];
      }
      const uint8_t* p = s->ImageBuffer();
      if (!p || p[1] != teste::Pixel(1, 0, 0, 0)) valido = false;
    };
    std::thread captura([&] {
      d->Allocate();
      while (d->Active())
        if (d->WaitImage()) d->DoImage();
    });
    ASSERT_TRUE(Esperar([&] { return dentro.load(); }));
    d->Close();
    fechado = true;
    captura.join();
    EXPECT_TRUE(valido.load());
    EXPECT_EQ(d->ImageBuffer(), nullptr) << "released once the handler returned";
  }
}

// ---------------------------------------------------------------- Ridgeway

struct Captura {
  std::mutex trava;
  std::vector<std::vector<uint8_t>> imagens;
  std::string id;
  int w = 0, h = 0, res = 0;
  size_t Total() {
    std::lock_guard<std::mutex> g(trava);
    return imagens.size();
  }
};

void ProcImagem(const char* id, int32_t w, int32_t h, const uint8_t* img, int32_t res, void* param) {
  auto* c = static_cast<Captura*>(param);
  std::lock_guard<std::mutex> g(c->trava);
  c->id = id;
  c->w = w;
  c->h = h;
  c->res = res;
  c->imagens.emplace_back(img, img + static_cast<size_t>(w) * h);
}

std::vector<uint8_t> Esperado(int w, int h, int k, int r, int rl, int ra, int dl, int da, bool girar) {
  std::vector<uint8_t> fonte(static_cast<size_t>(w) * h), destino(static_cast<size_t>(dl) * da);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) fonte[static_cast<size_t>(y) * w + x] = teste::Pixel(x, y, k, r);
  ReamostrarArea(fonte.data(), w, h, rl, ra, destino.data(), dl, da, girar);
  return destino;
}

class Ridgeway : public ::testing::Test {
 protected:
  void TearDown() override {
    ScanManUnload();
    ScanManDefinirPasta("");
  }
};

TEST_F(Ridgeway, MessageWindowBackEnd) {
  const std::string pasta = teste::Pasta("rw_api");
  Configurar(pasta, "RWFPApi",
             "devices={AAA-1},{BBB-2}\nproducts=R.Touch\xC2\xAE 4000,R.Touch 1000\ninterval_ms=5\nimages=3\n");
  ScanManDefinirPasta(pasta);
  EXPECT_EQ(ScanManStartCapture("RTouch\\AAA-1", ProcImagem, nullptr), -3) << "nothing loaded";
  ASSERT_TRUE(ScanManLoad());
  EXPECT_EQ(ScanManDeviceCount(), 2);
  EXPECT_EQ(ScanManDeviceId(0), "RTouch\\AAA-1");
  EXPECT_EQ(ScanManDeviceId(1), "RTouch\\BBB-2");
  EXPECT_EQ(Mensagem([] { ScanManDeviceId(2); }), "Can not retrieve scanner id");
  EXPECT_EQ(Mensagem([] { ScanManDeviceId(-1); }), "Can not retrieve scanner id");

  Captura a, b;
  ASSERT_EQ(ScanManStartCapture("RTouch\\AAA-1", ProcImagem, &a), 0);
  EXPECT_EQ(ScanManStartCapture("RTouch\\AAA-1", ProcImagem, &a), -101);
  ASSERT_EQ(ScanManStartCapture("RTouch\\BBB-2", ProcImagem, &b), 0);
  EXPECT_EQ(ScanManStartCapture("RTouch\\CCC-3", ProcImagem, &b), -1);
  ASSERT_TRUE(Esperar([&] { return a.Total() >= 1 && b.Total() >= 1; }));
  EXPECT_EQ(ScanManStopCapture("RTouch\\AAA-1"), 0);
  EXPECT_EQ(ScanManStopCapture("RTouch\\AAA-1"), -100);
  EXPECT_EQ(ScanManStopCapture("RTouch\\BBB-2"), 0);
  size_t depois = a.Total();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(a.Total(), depois) << "no image after the stop returned";

  EXPECT_EQ(a.id, "RTouch\\AAA-1");
  EXPECT_EQ(a.w, 320);
  EXPECT_EQ(a.h, 365);
  EXPECT_EQ(a.res, 500);
  // The 4000 turns its images; the other reader delivers them upright.
  EXPECT_EQ(a.imagens[0], Esperado(448, 511, 0, 0, 448, 511, 320, 365, true));
  EXPECT_EQ(b.imagens[0], Esperado(448, 511, 0, 1, 448, 511, 320, 365, false));
}

TEST_F(Ridgeway, SmallImagesAreNeverReadOutside) {
  const std::string pasta = teste::Pasta("rw_api");
  Configurar(pasta, "RWFPApi", "devices={SMALL-1}\nwidth=100\nheight=50\ninterval_ms=2\nimages=2\n");
  ScanManDefinirPasta(pasta);
  ASSERT_TRUE(ScanManLoad());
  Captura a;
  ASSERT_EQ(ScanManStartCapture("RTouch\\SMALL-1", ProcImagem, &a), 0);
  ASSERT_TRUE(Esperar([&] { return a.Total() >= 1; }));
  ScanManStopCapture("RTouch\\SMALL-1");
  EXPECT_EQ(a.imagens[0], Esperado(100, 50, 0, 0, 448, 511, 320, 365, false));
  EXPECT_EQ(a.imagens[0].back(), 255) << "the part the reader did not deliver is white";
}

TEST_F(Ridgeway, AcquisitionsThatCannotStartDeliverNothing) {
  const std::string pasta = teste::Pasta("rw_api");
  ScanManDefinirPasta(pasta);
  for (const char* falha : {"create_fails=1", "start_fails=1"}) {
    Configurar(pasta, "RWFPApi", std::string("devices={AAA-1}\ninterval_ms=10\n") + falha + "\n");
    ASSERT_TRUE(ScanManLoad());
    Captura a;
    EXPECT_EQ(ScanManStartCapture("RTouch\\AAA-1", ProcImagem, &a), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(ScanManStopCapture("RTouch\\AAA-1"), 0);
    EXPECT_EQ(a.Total(), 0u) << falha;
    ScanManUnload();
  }
  // High priority refused: the low one is used.
  Configurar(pasta, "RWFPApi", "devices={AAA-1}\ninterval_ms=10\ncreate_high_fails=1\n");
  ASSERT_TRUE(ScanManLoad());
  Captura a;
  EXPECT_EQ(ScanManStartCapture("RTouch\\AAA-1", ProcImagem, &a), 0);
  EXPECT_TRUE(Esperar([&] { return a.Total() >= 1; }));
  EXPECT_EQ(ScanManStopCapture("RTouch\\AAA-1"), 0);
}

TEST_F(Ridgeway, FailedInitFallsBackToTheEventBackEnd) {
  const std::string pasta = teste::Pasta("rw_both");
  Configurar(pasta, "RWFPApi", "init_fails=1\n");
  Configurar(pasta, "rwFpFns", "devices={FT-1},{FT-2}\ninterval_ms=3\n");
  ScanManDefinirPasta(pasta);
  ASSERT_TRUE(ScanManLoad());
  EXPECT_EQ(ScanManDeviceCount(), 2);
  EXPECT_EQ(ScanManDeviceId(1), "RTouch\\FT-2");
  Captura a;
  ASSERT_EQ(ScanManStartCapture("RTouch\\FT-2", ProcImagem, &a), 0);
  EXPECT_EQ(ScanManStartCapture("RTouch\\FT-2", ProcImagem, &a), -101);
  ASSERT_TRUE(Esperar([&] { return a.Total() >= 2; }));
  EXPECT_EQ(ScanManStopCapture("RTouch\\FT-2"), 0);
  EXPECT_EQ(ScanManStopCapture("RTouch\\FT-2"), -100);
  EXPECT_EQ(a.w, 321);
  EXPECT_EQ(a.h, 365);
  // Always turned; each image is a new acquisition.
  EXPECT_EQ(a.imagens[0], Esperado(450, 511, 0, 1, 450, 511, 321, 365, true));
  EXPECT_EQ(a.imagens[1], Esperado(450, 511, 1, 1, 450, 511, 321, 365, true));
}

TEST_F(Ridgeway, AnUnpluggedReaderStaysListedWhileCapturing) {
  const std::string pasta = teste::Pasta("rw_fns");
  Configurar(pasta, "rwFpFns", "devices={FT-1}\ninterval_ms=2\n");
  ScanManDefinirPasta(pasta);
  ASSERT_TRUE(ScanManLoad());
  ASSERT_EQ(ScanManDeviceId(0), "RTouch\\FT-1");
  Captura a;
  ASSERT_EQ(ScanManStartCapture("RTouch\\FT-1", ProcImagem, &a), 0);
  Configurar(pasta, "rwFpFns", "devices={FT-9}\ninterval_ms=2\n");
  EXPECT_EQ(ScanManDeviceId(0), "RTouch\\FT-1") << "kept while capturing";
  EXPECT_EQ(ScanManStopCapture("RTouch\\FT-1"), 0);
  EXPECT_EQ(ScanManDeviceId(0), "RTouch\\FT-9");
}

TEST_F(Ridgeway, CaptureSetupFailuresGiveMinusOne) {
  const std::string pasta = teste::Pasta("rw_fns");
  ScanManDefinirPasta(pasta);
  for (const char* falha : {"context_fails=1", "connect_fails=1", "monitor_fails=1", "uilink_fails=1"}) {
    Configurar(pasta, "rwFpFns", std::string("devices={FT-1}\n") + falha + "\n");
    ASSERT_TRUE(ScanManLoad());
    Captura a;
    EXPECT_EQ(ScanManStartCapture("RTouch\\FT-1", ProcImagem, &a), -1) << falha;
    EXPECT_EQ(ScanManStopCapture("RTouch\\FT-1"), -100);
    ScanManUnload();
  }
}

TEST_F(Ridgeway, DeviceSizesBeyondTheCapAreRefused) {
  const std::string pasta = teste::Pasta("rw_fns");
  ScanManDefinirPasta(pasta);
  // 65536 x 65537 pixels is 2^32 + 65536: cut to 32 bits it would be a small
  // buffer read as a huge image.
  // (The layer keeps what it learnt of a device: each size has a device of its own.)
  for (const char* tamanho : {"FT-W1}\nwidth=65536\nheight=65537\n", "FT-W2}\nwidth=4097\nheight=4096\n"}) {
    Configurar(pasta, "rwFpFns", std::string("interval_ms=1\ndevices={") + tamanho);
    ASSERT_TRUE(ScanManLoad());
    Captura a;
    const std::string serie = "RTouch\\" + std::string(tamanho, 5);
    EXPECT_EQ(ScanManStartCapture(serie.c_str(), ProcImagem, &a), -1) << tamanho;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ScanManStopCapture(serie.c_str());
    EXPECT_EQ(a.Total(), 0u);
    ScanManUnload();
  }
  Configurar(pasta, "rwFpFns", "devices={FT-W3}\ninterval_ms=1\nwidth=4096\nheight=4096\nimages=1\n");
  ASSERT_TRUE(ScanManLoad());
  Captura a;
  EXPECT_EQ(ScanManStartCapture("RTouch\\FT-W3", ProcImagem, &a), 0) << "the cap itself is accepted";
  EXPECT_TRUE(Esperar([&] { return a.Total() == 1; }));
  ScanManStopCapture("RTouch\\FT-W3");
}

TEST_F(Ridgeway, InitialiseFailureLeavesTheLayerLoadedButRefusing) {
  const std::string pasta = teste::Pasta("rw_fns");
  Configurar(pasta, "rwFpFns", "devices={FT-1}\ninit_fails=1\n");
  ScanManDefinirPasta(pasta);
  EXPECT_FALSE(ScanManLoad());
  EXPECT_TRUE(ScanManLoad());
  Captura a;
  EXPECT_EQ(ScanManStartCapture("RTouch\\FT-1", ProcImagem, &a), -3);
  EXPECT_EQ(ScanManStopCapture("RTouch\\FT-1"), -3);
  EXPECT_EQ(Mensagem([] { ScanManDeviceId(0); }), "Can not retrieve scanner id");
}

TEST_F(Ridgeway, UnloadStopsRunningCaptures) {
  const std::string pasta = teste::Pasta("rw_fns");
  Configurar(pasta, "rwFpFns", "devices={FT-1}\ninterval_ms=1\n");
  ScanManDefinirPasta(pasta);
  ASSERT_TRUE(ScanManLoad());
  Captura a;
  ASSERT_EQ(ScanManStartCapture("RTouch\\FT-1", ProcImagem, &a), 0);
  ASSERT_TRUE(Esperar([&] { return a.Total() >= 1; }));
  ScanManUnload();  // must not leave a thread inside the unloaded library
  size_t n = a.Total();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(a.Total(), n);
}

TEST_F(Ridgeway, NoLibraryMeansNoSupport) {
  ScanManDefinirPasta(teste::Pasta("omr"));
  EXPECT_FALSE(ScanManLoad());
  EXPECT_EQ(ScanManDeviceCount(), 0);
}

}  // namespace
