// The process-wide reader manager as a host program sees it: plug-ins beside
// the program and in a separate library folder, Ridgeway readers found through
// the system's library search, one reader opened by serial number and images
// received by polling and by callback.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "ajuda_testes.h"
#include "readers/CapturaModulos.h"
#include "readers/GestorLeitores.h"
#include "readers/ScanMan.h"

using teste::Configurar;

namespace {

const std::string kProg = PegPastaPrograma("");
const std::string kLib = teste::Pasta("hostlib");

TEST(Hospedeiro, ListsOpensAndCaptures) {
  Configurar(kProg, "omr_hosta_64", "prefix=Host\nreaders=H1,H2\nwidth=24\nheight=16\ninterval_ms=1\n");
  Configurar(kProg, "FPSmmHostscan", "ids=hostscan\\SCAN-1\nsizes=12x10\ninterval_ms=2\n");
  Configurar(kLib, "omr_hostb_64", "prefix=Lib\nreaders=L1\n");
  Configurar(kProg, "RWFPApi", "devices={RW-1}\n");

  // First use: discovery next to the program (this test links the library's code in).
  EXPECT_EQ(TotalReaderCount(), 2 + 1 + 1);
  ReaderManager(true).BuscarModulosEm(kProg, kLib);
  EXPECT_EQ(TotalReaderCount(), 2 + 1 + 1 + 1);
  const std::vector<std::string> esperado = {"Host\\H1", "Host\\H2", "hostscan\\SCAN-1", "Lib\\L1", "RTouch\\RW-1"};
  for (size_t i = 0; i < esperado.size(); ++i) EXPECT_EQ(SerialAtIndex(static_cast<int32_t>(i)), esperado[i]);
  EXPECT_EQ(SerialAtIndex(5), "");
  EXPECT_EQ(teste::Mensagem([] { SerialAtIndex(-1); }), "List index out of bounds (-1)");

  TOmGestorLeitores& g = ReaderManager(true);
  // Polled.
  std::unique_ptr<TOmCaptureDevice> d(g.AbrirDispositivo("Host\\H2"));
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(d->UseThread());
  int recebidas = 0;
  d->OnImage = [&](TOmCaptureDevice* s) {
    ASSERT_EQ(s->ImageWidth(), 24);
    EXPECT_EQ(s->ImageBuffer()[23 + 15 * 24], teste::Pixel(23, 15, recebidas, 1));
    ++recebidas;
  };
  d->Allocate();
  while (recebidas < 3)
    if (d->WaitImage()) d->DoImage();
  g.FecharDispositivo(d.get());
  d.reset();

  // Pushed.
  std::atomic<int> empurradas{0};
  d.reset(g.AbrirDispositivo("hostscan\\SCAN-1"));
  ASSERT_NE(d, nullptr);
  EXPECT_FALSE(d->UseThread());
  d->OnImage = [&](TOmCaptureDevice* s) {
    if (s->ImageWidth() == 12 && s->ImageHeight() == 10) ++empurradas;
  };
  EXPECT_TRUE(teste::Esperar([&] { return empurradas.load() >= 2; }));
  g.FecharDispositivo(d.get());
  d.reset();
  ScanManUnload();
}

}  // namespace
