// OMR and FPSmm capture modules, their devices and the reader manager, driven
// through the fake plug-ins.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "ajuda_testes.h"
#include "readers/CapturaModulos.h"
#include "readers/GestorLeitores.h"
#include "readers/OmbrelBase.h"
#include "readers/ScanMan.h"
#include "readers/ScanManInterno.h"
#include "support/Excecoes.h"

using teste::Configurar;
using teste::Mensagem;

namespace {

const std::string kOmr = teste::Pasta("omr");
const std::string kFps = teste::Pasta("fpsmm");

std::unique_ptr<TOmrCaptureModule> Omr(const std::string& arquivo, const std::string& nome, const std::string& cfg) {
  Configurar(kOmr, arquivo, cfg);
  return std::make_unique<TOmrCaptureModule>(nome, teste::Arquivo(kOmr, arquivo));
}

int Chamadas(const std::string& arquivo, const char* nome) {
  return teste::Chamadas(teste::Arquivo(kOmr, arquivo), "FakeOmr_Calls", nome);
}

// ---------------------------------------------------------------- device lists

TEST(ListaDispositivos, SerialNumbersTakeThePrefixUnlessEitherPartIsEmpty) {
  auto m = Omr("omr_alfa_64", "alfa", "prefix=Alfa\nreaders=A1,<empty>,A3\n");
  EXPECT_EQ(m->Prefix(), "Alfa");
  EXPECT_EQ(m->DeviceCount(), 3);
  std::vector<std::string> lista{"before"};
  EXPECT_EQ(m->GetDeviceList(lista), 3);
  EXPECT_EQ(lista, (std::vector<std::string>{"before", "Alfa\\A1", "Alfa", "Alfa\\A3"}));

  auto semPrefixo = Omr("omr_alfa_64", "alfa", "prefix=\nreaders=A1,B2\n");
  lista.clear();
  semPrefixo->GetDeviceList(lista);
  EXPECT_EQ(lista, (std::vector<std::string>{"A1", "B2"}));
}

TEST(ListaDispositivos, NoReadersMeansOneProbeOnly) {
  auto m = Omr("omr_alfa_64", "alfa", "prefix=Alfa\nreaders=\n");
  int antes = Chamadas("omr_alfa_64", "GetDeviceList");
  std::vector<std::string> lista;
  EXPECT_EQ(m->GetDeviceList(lista), 0);
  EXPECT_TRUE(lista.empty());
  EXPECT_EQ(Chamadas("omr_alfa_64", "GetDeviceList"), antes + 1);
}

TEST(ListaDispositivos, EveryMalformedListRaisesItsStep) {
  auto m = Omr("omr_bad_64", "bad", "prefix=B\nreaders=A1,A2\n");
  auto falha = [&](const std::string& cfg) {
    Configurar(kOmr, "omr_bad_64", cfg);
    std::vector<std::string> lista;
    return Mensagem([&] { m->GetDeviceList(lista); });
  };
  // 4 bytes of count, two pointers, "A1\0A2\0": 26 bytes.
  EXPECT_EQ(falha("readers=A1,A2\nlist=short\n"), "bad: GDL: Size error(0): 3");
  EXPECT_EQ(falha("readers=A1,A2\nlist=short\nshort_size=0\n"), "bad: GDL: Size error(0): 0");
  EXPECT_EQ(falha("readers=A1,A2\nlist=badtable\n"), "bad: GDL: Size error(1): 26, 1002");
  EXPECT_EQ(falha("readers=A1,A2\nlist=badpointer\n"), "bad: GDL: Size error(2): 26, 1");
  EXPECT_EQ(falha("readers=A1,A2\nlist=tablepointer\n"), "bad: GDL: Size error(2): 26, 0");
  EXPECT_EQ(falha("readers=A1,A2\nlist=overlap\n"), "bad: GDL: Size error(3): 26, 0");
  EXPECT_EQ(falha("readers=A1,A2\nlist=noterminator\n"), "bad: GDL: Size error(4): 25, 1");

  Configurar(kOmr, "omr_bad_64", "readers=A1\nlist=short\n");
  EXPECT_EQ(Mensagem([&] { m->DeviceCount(); }), "@@@0");
}

TEST(ListaDispositivos, ValidationReadsOnlyTheGivenBytes) {
  // Pointers are absolute; the base says where the plug-in saw the buffer.
  const uintptr_t base = 0x10000;
  std::vector<uint8_t> b(4 + 16 + 6, 0);
  uint32_t n = 2;
  std::memcpy(b.data(), &n, 4);
  uint64_t p0 = base + 20, p1 = base + 23;
  std::memcpy(b.data() + 4, &p0, 8);
  std::memcpy(b.data() + 12, &p1, 8);
  std::memcpy(b.data() + 20, "ab\0cd\0", 6);
  EXPECT_EQ(ValidarListaDispositivos(b.data(), 26, base, "m"), (std::vector<std::string>{"ab", "cd"}));
  // The same list cut short: the last string has no zero inside the bytes given.
  EXPECT_EQ(Mensagem([&] { ValidarListaDispositivos(b.data(), 25, base, "m"); }), "m: GDL: Size error(4): 25, 1");
  // A pointer below the base is outside the buffer, not a huge valid offset.
  uint64_t baixo = base - 1;
  std::memcpy(b.data() + 4, &baixo, 8);
  EXPECT_EQ(Mensagem([&] { ValidarListaDispositivos(b.data(), 26, base, "m"); }), "m: GDL: Size error(2): 26, 0");
}

// ---------------------------------------------------------------- binding

TEST(LigacaoOmr, MissingRequiredExportIsAnInvalidModuleAndUnloadsOnce) {
  const std::string caminho = teste::Arquivo(kOmr, "omr_semimg_64");
  plat::ModuleHandle nosso = plat::LoadModule(caminho, true);
  ASSERT_NE(nosso, nullptr);
  try {
    TOmrCaptureModule m("semimg", caminho);
    FAIL() << "bound a module without OMR_GetImage";
  } catch (const EOmbrelFP& e) {
    EXPECT_STREQ(e.what(), "Invalid module.");
  }
  // Our own reference is still good: the failed module released only its own.
  EXPECT_NE(plat::GetSymbol(nosso, "OMR_GetPrefix"), nullptr);
  plat::UnloadModule(nosso);
}

TEST(LigacaoOmr, AFileThatDoesNotLoadRaisesTheSystemError) {
  std::string msg = Mensagem([&] { TOmrCaptureModule m("none", kOmr + "omr_none_64.missing"); });
  EXPECT_EQ(msg.rfind("System Error.  Code: ", 0), 0u) << msg;
}

TEST(LigacaoOmr, WithoutOptionalExportsClosingWorksAndCommandsAreRefused) {
  Configurar(kOmr, "omr_semopc_64", "prefix=Opc\nreaders=R1\n");
  TOmrCaptureModule m("semopc", teste::Arquivo(kOmr, "omr_semopc_64"));
  std::unique_ptr<TOmCaptureDevice> d(m.OpenDevice("R1"));
  d->Allocate();
  EXPECT_EQ(Mensagem([&] { d->SendCommandStr("echo", "x", false); }), "Send command not available.");
  d->Close();
  EXPECT_FALSE(d->Active());
  EXPECT_EQ(d->ImageBuffer(), nullptr);
  EXPECT_EQ(teste::Chamadas(teste::Arquivo(kOmr, "omr_semopc_64"), "FakeOmr_Calls", "CloseDevice"), 1);
}

#ifdef _WIN32
TEST(LigacaoOmr, DecoratedNamesBindLikePlainOnes) {
  Configurar(kOmr, "omr_deco_64", "prefix=Deco\nreaders=D1\n");
  TOmrCaptureModule m("deco", teste::Arquivo(kOmr, "omr_deco_64"));
  EXPECT_EQ(m.Prefix(), "Deco");
  std::vector<std::string> lista;
  EXPECT_EQ(m.GetDeviceList(lista), 1);
  std::unique_ptr<TOmCaptureDevice> d(m.OpenDevice("D1"));
  d->Allocate();
  EXPECT_TRUE(d->WaitImage());
  EXPECT_EQ(d->SendCommandStr("echo", "ok", false), "ok");
  d->Close();
}
#endif

// ---------------------------------------------------------------- OMR devices

TEST(DispositivoOmr, PollingFillsTheBufferWithEachImage) {
  auto m = Omr("omr_alfa_64", "alfa", "prefix=Alfa\nreaders=A1,A2\nwidth=30\nheight=20\ninterval_ms=0\n");
  std::unique_ptr<TOmCaptureDevice> d(m->OpenDevice("A2"));
  EXPECT_TRUE(d->Active());
  EXPECT_TRUE(d->UseThread());
  EXPECT_FALSE(d->WaitImage()) << "no buffer before Allocate";
  d->Allocate();
  for (int k = 0; k < 2; ++k) {
    ASSERT_TRUE(d->WaitImage());
    ASSERT_EQ(d->ImageWidth(), 30);
    ASSERT_EQ(d->ImageHeight(), 20);
    const uint8_t* px = d->ImageBuffer();
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 30; ++x) ASSERT_EQ(px[y * 30 + x], teste::Pixel(x, y, k, 1)) << x << "," << y;
  }
  d->Close();
  EXPECT_FALSE(d->Active());
  EXPECT_FALSE(d->WaitImage());
  EXPECT_EQ(d->ImageBuffer(), nullptr);
}

TEST(DispositivoOmr, AnImageLargerThanTheBufferIsRefused) {
  auto m = Omr("omr_alfa_64", "alfa", "prefix=Alfa\nreaders=A1\nwidth=8\nheight=8\ninterval_ms=0\noversize=1\n");
  std::unique_ptr<TOmCaptureDevice> d(m->OpenDevice("A1"));
  d->Allocate();
  EXPECT_FALSE(d->WaitImage());
  d->Close();
}

TEST(DispositivoOmr, OpenAndSizeFailures) {
  auto m = Omr("omr_alfa_64", "alfa", "prefix=Alfa\nreaders=A1\nopen_fails=1\n");
  EXPECT_EQ(Mensagem([&] { delete m->OpenDevice("A1"); }), "Could not open device Alfa\\A1");
  Configurar(kOmr, "omr_alfa_64", "prefix=Alfa\nreaders=A1\nmaxsize_fails=1\n");
  std::unique_ptr<TOmCaptureDevice> d(m->OpenDevice("A1"));
  EXPECT_EQ(Mensagem([&] { d->Allocate(); }), "@@@4");
  d->Close();
}

TEST(DispositivoOmr, CommandsPassThroughWithOrWithoutTheHandle) {
  auto m = Omr("omr_alfa_64", "alfa", "prefix=Alfa\nreaders=A1\n");
  std::unique_ptr<TOmCaptureDevice> d(m->OpenDevice("A1"));
  EXPECT_EQ(d->SendCommandStr("echo", "arguments", false), "arguments");
  EXPECT_EQ(d->SendCommandStr("handle", "", false), "device");
  EXPECT_EQ(d->SendCommandStr("handle", "", true), "none");
  int resultados = Chamadas("omr_alfa_64", "GetResult");
  EXPECT_EQ(d->SendCommandStr("empty", "", false), "");
  EXPECT_EQ(Chamadas("omr_alfa_64", "GetResult"), resultados) << "no result to fetch";
  EXPECT_EQ(Mensagem([&] { d->SendCommandStr("fail", "", false); }), "Send command error -7.");
  EXPECT_EQ(Mensagem([&] { d->SendCommandStr("short", "", false); }), "Error getting command result.");
  d->Close();
}

// ---------------------------------------------------------------- FPSmm modules

TEST(ModuloFPSmm, ListsIdentifiersUnchanged) {
  Configurar(kFps, "FPSmmScan", "ids=scan\\S1,scan\\S2\n");
  TFPSmmCaptureModule m("scan", teste::Arquivo(kFps, "FPSmmScan"));
  EXPECT_EQ(m.Prefix(), "scan");
  EXPECT_EQ(m.DeviceCount(), 2);
  std::vector<std::string> lista;
  EXPECT_EQ(m.GetDeviceList(lista), 2);
  EXPECT_EQ(lista, (std::vector<std::string>{"scan\\S1", "scan\\S2"}));
}

TEST(ModuloFPSmm, WrittenCountIsBoundedByTheCount) {
  Configurar(kFps, "FPSmmScan", "ids=S1,S2\nwritten=0\n");
  TFPSmmCaptureModule m("scan", teste::Arquivo(kFps, "FPSmmScan"));
  EXPECT_EQ(m.DeviceCount(), 2);
  std::vector<std::string> lista;
  EXPECT_EQ(m.GetDeviceList(lista), 0);
  // A plug-in claiming more identifiers than it was given room for.
  Configurar(kFps, "FPSmmScan", "ids=S1\ncount=1\nwritten=5\n");
  EXPECT_EQ(m.DeviceCount(), 1);
  EXPECT_EQ(m.GetDeviceList(lista), 1);
  EXPECT_EQ(lista, (std::vector<std::string>{"S1"}));
  Configurar(kFps, "FPSmmScan", "ids=S1\ncount_status=-4\n");
  EXPECT_EQ(Mensagem([&] { m.DeviceCount(); }), "Erro -4");
}

TEST(ModuloFPSmm, InitMissingOrFailingIsAnInvalidModule) {
  const std::string semInit = teste::Arquivo(kFps, "FPSmmNoInit");
  EXPECT_EQ(Mensagem([&] { TFPSmmCaptureModule m("noinit", semInit); }),
            "Invalid module 'noinit' (" + semInit + ").");
  Configurar(kFps, "FPSmmScan", "init_fails=1\n");
  const std::string scan = teste::Arquivo(kFps, "FPSmmScan");
  EXPECT_EQ(Mensagem([&] { TFPSmmCaptureModule m("scan", scan); }), "Invalid module 'scan' (" + scan + ").");
}

TEST(ModuloFPSmm, OpeningInitialisesWithPrefixAndSerialUnlessSetSomethingAnswers) {
  const std::string scan = teste::Arquivo(kFps, "FPSmmScan");
  Configurar(kFps, "FPSmmScan", "ids=scan\\S1\nimages=0\n");
  TFPSmmCaptureModule m("scan", scan);
  std::unique_ptr<TOmCaptureDevice> d(m.OpenDevice("S1"));
  EXPECT_FALSE(d->UseThread());
  EXPECT_FALSE(d->Active());
  EXPECT_FALSE(d->WaitImage());
  EXPECT_EQ(d->SendCommandStr("x", "y", false), "");
  auto ultimo = [&] {
    plat::ModuleHandle h = plat::LoadModule(scan, true);
    std::string s = reinterpret_cast<const char* (*)()>(plat::GetSymbol(h, "FakeFpsmm_LastInit"))();
    plat::UnloadModule(h);
    return s;
  };
  EXPECT_EQ(ultimo(), "scan\\S1");
  d->Close();
  d.reset(m.OpenDevice(""));
  EXPECT_EQ(ultimo(), "scan");
  d->Close();
  d.reset();

  Configurar(kFps, "FPSmmScan", "ids=scan\\S1\nimages=0\nsetsomething=1\n");
  int inits = teste::Chamadas(scan, "FakeFpsmm_Calls", "InitScanner");
  d.reset(m.OpenDevice("S9"));
  EXPECT_EQ(teste::Chamadas(scan, "FakeFpsmm_Calls", "InitScanner"), inits);
  d->Close();
  d.reset();
  Configurar(kFps, "FPSmmScan", "ids=scan\\S1\nimages=0\nsetsomething=-2\n");
  EXPECT_EQ(Mensagem([&] { delete m.OpenDevice("S1"); }), "Could not open device S1");
  Configurar(kFps, "FPSmmScan", "ids=scan\\S1\nimages=0\ninitscanner_fails=1\n");
  EXPECT_EQ(Mensagem([&] { delete m.OpenDevice("S1"); }), "Could not open device S1");
}

TEST(ModuloFPSmm, AScannerWithAnEmptyCaptureSlotIsNotOpened) {
  const std::string scan = teste::Arquivo(kFps, "FPSmmScan");
  TFPSmmCaptureModule m("scan", scan);
  for (const char* vaga : {"SetCallbacks", "StartCapture", "StopCapture"}) {
    Configurar(kFps, "FPSmmScan", std::string("ids=scan\\S1\ninterval_ms=1\nnull_slots=") + vaga + "\n");
    EXPECT_EQ(Mensagem([&] { delete m.OpenDevice("S1"); }), "Could not open device S1") << vaga;
  }
}

// A plug-in reporting a count outside 0..64 contributes no reader: neither to
// the count nor to the list, so that positions and serial numbers stay paired.
TEST(ContagemLeitores, CountsOutsideTheCapGiveNoReadersInCountAndList) {
  const std::string scan = teste::Arquivo(kFps, "FPSmmScan");
  for (const char* contagem : {"count=-3", "count=65", "count=2147483647"}) {
    Configurar(kFps, "FPSmmScan", std::string("ids=S1,S2\n") + contagem + "\n");
    TFPSmmCaptureModule m("scan", scan);
    EXPECT_EQ(m.DeviceCount(), 0) << contagem;
    std::vector<std::string> lista;
    EXPECT_EQ(m.GetDeviceList(lista), 0) << contagem;
    EXPECT_TRUE(lista.empty()) << contagem;
  }
  Configurar(kFps, "FPSmmScan", "ids=S1,S2\ncount=64\n");
  EXPECT_EQ(TFPSmmCaptureModule("scan", scan).DeviceCount(), 64) << "the cap itself is a valid count";

  std::string muitos = "L0";
  for (int i = 1; i < 65; ++i) muitos += ",L" + std::to_string(i);
  auto m = Omr("omr_alfa_64", "alfa", "prefix=Alfa\nreaders=" + muitos + "\n");
  EXPECT_EQ(m->DeviceCount(), 0);
  std::vector<std::string> lista;
  EXPECT_EQ(m->GetDeviceList(lista), 0);
  EXPECT_TRUE(lista.empty());
  m = Omr("omr_alfa_64", "alfa", "prefix=Alfa\nreaders=" + muitos.substr(0, muitos.rfind(',')) + "\n");
  EXPECT_EQ(m->DeviceCount(), 64);
  EXPECT_EQ(m->GetDeviceList(lista), 64);
}

// ---------------------------------------------------------------- the manager

class Gestor : public ::testing::Test {
 protected:
  const std::string prog = teste::Pasta("prog");
  const std::string lib = teste::Pasta("lib");
  void SetUp() override {
    Configurar(prog, "omr_one_64", "prefix=One\nreaders=<empty>,O2\n");
    Configurar(prog, "omr_dup_64", "prefix=FromProg\nreaders=P1\n");
    Configurar(prog, "omr_same_64", "prefix=Same\nreaders=X\n");
    Configurar(lib, "omr_dup_64", "prefix=FromLib\nreaders=L1\n");
    Configurar(lib, "omr_two_64", "prefix=Two\nreaders=T1,T2\n");
    Configurar(lib, "omr_same2_64", "prefix=Same\nreaders=X\n");
    Configurar(lib, "omr_dep_64", "prefix=Dep\nreaders=\n");
    Configurar(prog, "FPSmmZeta", "ids=zeta\\Z1\nimages=0\n");
    plat::DeleteFileAt(teste::Arquivo(prog, "omr_late_64"));
  }
};

TEST_F(Gestor, DiscoversBothFoldersAndTheProgramCopyWins) {
  TOmGestorLeitores g(false);
  g.BuscarModulosEm(prog, lib);
  std::vector<std::string> nomes = g.NomesModulos();
  std::sort(nomes.begin(), nomes.end());
  // FPSmm files named cyte, rtouch and tavoro are skipped; "broken" lacks an export;
  // "dep" loads only because its dependency is found beside it.
  EXPECT_EQ(nomes, (std::vector<std::string>{"dep", "dup", "one", "same", "same2", "two", "zeta"}));
  EXPECT_EQ(g.Modulo("DUP")->Prefix(), "FromProg");
  EXPECT_EQ(g.Modulo("dep")->Prefix(), "Dep7");
  EXPECT_EQ(g.NumLeitores(), 2 + 1 + 1 + 2 + 1 + 0 + 1);

  std::vector<std::string> lista;
  EXPECT_EQ(g.PegNumerosSerie(lista), 8);
  // Module by module in discovery order: the program's folder first.
  auto pos = [&](const std::string& s) { return std::find(lista.begin(), lista.end(), s) - lista.begin(); };
  EXPECT_LT(pos("One"), pos("One\\O2"));
  EXPECT_LT(pos("FromProg\\P1"), pos("Two\\T1"));
  EXPECT_LT(pos("zeta\\Z1"), pos("Two\\T1"));
  EXPECT_LT(pos("Two\\T1"), pos("Two\\T2"));
  EXPECT_EQ(std::count(lista.begin(), lista.end(), "Same\\X"), 2);
}

TEST_F(Gestor, AFileThatFailedToLoadIsTriedAgain) {
  const std::string tarde = teste::Arquivo(prog, "omr_late_64");
  ASSERT_TRUE(plat::WriteWholeFile(tarde, "not a module", 12));
  TOmGestorLeitores g(false);
  g.BuscarModulos(prog);
  EXPECT_EQ(g.Modulo("late"), nullptr);

  std::ifstream origem(teste::Arquivo(teste::Pasta("omr"), "omr_alfa_64"), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(origem)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(bytes.empty());
  ASSERT_TRUE(plat::WriteWholeFile(tarde, bytes.data(), bytes.size()));
  Configurar(prog, "omr_late_64", "prefix=Late\nreaders=L\n");
  g.BuscarModulos(prog);
  ASSERT_NE(g.Modulo("late"), nullptr);
  EXPECT_EQ(g.Modulo("late")->Prefix(), "Late");
}

TEST_F(Gestor, RoutesBySerialPrefix) {
  TOmGestorLeitores g(false);
  g.BuscarModulosEm(prog, lib);
  std::unique_ptr<TOmCaptureDevice> d(g.AbrirDispositivo("two\\T2"));  // prefix case ignored
  ASSERT_NE(d, nullptr);
  g.FecharDispositivo(d.get());
  d.reset(g.AbrirDispositivo("One"));  // no backslash: the whole serial is the prefix, the rest empty
  ASSERT_NE(d, nullptr);
  g.FecharDispositivo(d.get());
  d.reset(g.AbrirDispositivo("\"One\"\\O2"));  // a quoted prefix loses its quotes
  ASSERT_NE(d, nullptr);
  g.FecharDispositivo(d.get());
  d.reset(g.AbrirDispositivo(" One \\O2"));  // and a plain one its blanks
  ASSERT_NE(d, nullptr);
  g.FecharDispositivo(d.get());
  EXPECT_EQ(g.AbrirDispositivo("Nobody\\X"), nullptr);
  EXPECT_EQ(Mensagem([&] { g.AbrirDispositivo("Two\\T9"); }), "Could not open device Two\\T9");
  // The lock was released by the failure.
  EXPECT_EQ(g.NumLeitores(), 8);
}

TEST_F(Gestor, EveryModuleWithThePrefixIsAskedAndTheLastDeviceKept) {
  TOmGestorLeitores g(false);
  g.BuscarModulosEm(prog, lib);
  const std::string primeiro = teste::Arquivo(prog, "omr_same_64"), segundo = teste::Arquivo(lib, "omr_same2_64");
  int abertos1 = teste::Chamadas(primeiro, "FakeOmr_Calls", "OpenDevice");
  int abertos2 = teste::Chamadas(segundo, "FakeOmr_Calls", "OpenDevice");
  int fechados1 = teste::Chamadas(primeiro, "FakeOmr_Calls", "CloseDevice");
  std::unique_ptr<TOmCaptureDevice> d(g.AbrirDispositivo("Same\\X"));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(teste::Chamadas(primeiro, "FakeOmr_Calls", "OpenDevice"), abertos1 + 1);
  EXPECT_EQ(teste::Chamadas(segundo, "FakeOmr_Calls", "OpenDevice"), abertos2 + 1);
  // The device nobody keeps is not left open in the plug-in.
  EXPECT_EQ(teste::Chamadas(primeiro, "FakeOmr_Calls", "CloseDevice"), fechados1 + 1);
  g.FecharDispositivo(d.get());
}

TEST_F(Gestor, AModuleFailureReachesTheCaller) {
  Configurar(prog, "omr_one_64", "prefix=One\nreaders=O1\nlist=short\n");
  TOmGestorLeitores g(false);
  g.BuscarModulos(prog);
  EXPECT_EQ(Mensagem([&] { g.NumLeitores(); }), "@@@0");
  std::vector<std::string> lista;
  EXPECT_EQ(Mensagem([&] { g.PegNumerosSerie(lista); }), "one: GDL: Size error(0): 3");
}

TEST_F(Gestor, TheLastComponentGoneReleasesRidgewaySupport) {
  const std::string rw = teste::Pasta("rw_api");
  Configurar(rw, "RWFPApi", "devices={RW-1}\n");
  ScanManDefinirPasta(rw);
  TOmGestorLeitores g(false);
  auto* a = reinterpret_cast<TOmbrelFP*>(0x1000);
  auto* b = reinterpret_cast<TOmbrelFP*>(0x2000);
  g.Adicionar(a);
  g.Adicionar(b);
  ASSERT_TRUE(ScanManLoad());
  EXPECT_EQ(ScanManDeviceCount(), 1);
  g.Remover(a);
  EXPECT_EQ(ScanManDeviceCount(), 1) << "one component is left";
  g.Remover(b);
  EXPECT_EQ(g.NumComponentes(), 0u);
  EXPECT_EQ(ScanManDeviceCount(), 0) << "support released";
  g.Adicionar(a);
  g.IniciouConexao("Alfa\\1", -1);
  EXPECT_EQ(ScanManDeviceCount(), 1) << "loaded again on demand";
  g.Remover(a);
  // Unchecked and bio-i serials do not load it.
  g.IniciouConexao("OM:1", -1);
  g.IniciouConexao("BIO-I\\1", -1);
  EXPECT_EQ(ScanManDeviceCount(), 0);
  ScanManDefinirPasta("");
}

TEST_F(Gestor, ConnectingRediscoversOnlyWhenNeeded) {
  // Plug-ins dropped beside the program while it runs.
  std::ifstream origem(teste::Arquivo(teste::Pasta("omr"), "omr_alfa_64"), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(origem)), std::istreambuf_iterator<char>());
  const std::string pasta = PegPastaPrograma("");
  const std::string primeiro = teste::Arquivo(pasta, "omr_first_64"), segundo = teste::Arquivo(pasta, "omr_second_64");
  ASSERT_TRUE(plat::WriteWholeFile(primeiro, bytes.data(), bytes.size()));
  {
    TOmGestorLeitores g(false);
    g.IniciouConexao("Alfa\\1", -1);  // nothing loaded yet: discovery runs
    EXPECT_NE(g.Modulo("first"), nullptr);
    ASSERT_TRUE(plat::WriteWholeFile(segundo, bytes.data(), bytes.size()));
    g.IniciouConexao("Alfa\\1", -1);  // chosen by serial with modules loaded: no discovery
    EXPECT_EQ(g.Modulo("second"), nullptr);
    g.IniciouConexao("", 0);  // chosen by index: discovery
    EXPECT_NE(g.Modulo("second"), nullptr);
  }
  plat::DeleteFileAt(primeiro);
  plat::DeleteFileAt(segundo);
}

TEST(Seriais, ClassesAndNormalisation) {
  EXPECT_TRUE(IsUncheckedSerial("OM:abc"));
  EXPECT_TRUE(IsUncheckedSerial("ZQ\\1"));
  EXPECT_FALSE(IsUncheckedSerial("om:abc"));
  EXPECT_FALSE(IsUncheckedSerial("ZQ"));
  EXPECT_TRUE(IsBioISerial("BIO-I\\x"));
  EXPECT_TRUE(IsSeguraSerial("Segura1"));
  EXPECT_TRUE(IsNiteraSerial("NITERA"));
  EXPECT_TRUE(IsGubSerial("gub\\1"));
  EXPECT_TRUE(IsTavoroSerial("tavoro\\0A1B2C3D"));
  EXPECT_FALSE(IsTavoroSerial("Tavor"));
  EXPECT_EQ(NormalizeSerial("{ABC-1}"), "RTouch\\ABC-1");
  EXPECT_EQ(NormalizeSerial("Tavoro\\1"), "Tavoro\\1");
  EXPECT_EQ(NormalizeSerial(""), "");
  EXPECT_EQ(NormalizeSerial("{"), "RTouch\\");
}

}  // namespace
