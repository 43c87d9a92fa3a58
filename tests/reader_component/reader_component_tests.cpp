#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "base_teste.h"
#include "comum_testes.h"
#include "platform/namedevent.h"
#include "readers/OmbrelFP.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const char* const kLeitor1 = "H3Fake\\C001";
const char* const kLeitor2 = "H3Fake\\C002";

class ReaderComponent : public ::testing::Test {
 protected:
  void SetUp() override { ConfigurarFake("readers=C001,C002\nwidth=16\nheight=8\ndelay_ms=2\n"); }
};

std::string MensagemDe(const std::function<void()>& f) {
  try {
    f();
  } catch (const EOmbrelFP& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "no failure";
}

TEST_F(ReaderComponent, ChoosingByIndexFillsTheSerialAndDeliversImagesTopRowFirst) {
  TOmbrelFP fp;
  std::mutex m;
  std::vector<std::string> eventos;
  TGrayImage copia;
  fp.OnNovaImagem = [&](TOmbrelFP*, TGrayImage* img) {
    std::lock_guard<std::mutex> g(m);
    eventos.push_back("nova");
    EXPECT_EQ(img->Resolution, 440);
  };
  fp.OnCapturou = [&](TOmbrelFP* s, int32_t n) {
    std::lock_guard<std::mutex> g(m);
    eventos.push_back("capturou" + std::to_string(n));
    copia = *s->ImagemAtual();
  };
  fp.SetIndiceLeitor(0);
  fp.SetModoOperacao(moDesenvolvimento);
  EXPECT_EQ(fp.NumSerieLeitor(), kLeitor1);
  ASSERT_TRUE(Aguardar([&] {
    std::lock_guard<std::mutex> g(m);
    return eventos.size() >= 4;
  }));
  fp.SetModoOperacao(moInativo);
  EXPECT_FALSE(fp.EstaAtivo());
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(eventos[0], "nova");
  EXPECT_EQ(eventos[1], "capturou0");
  ASSERT_EQ(copia.Width, 16);
  ASSERT_EQ(copia.Height, 8);
  EXPECT_EQ(copia.Linha(0)[0], 0);
  EXPECT_EQ(copia.Linha(1)[0], 16);
  EXPECT_EQ(copia.Linha(6)[15], 6 * 16 + 15);
}

TEST_F(ReaderComponent, ActivationFailuresNameTheProblemAndLeaveTheComponentInactive) {
  {
    TOmbrelFP fp;
    fp.SetNumSerieLeitor("H3Fake\\C999");
    EXPECT_EQ(MensagemDe([&] { fp.SetModoOperacao(moDesenvolvimento); }),
              "Leitor não conectado: H3Fake\\C999\nTotal de leitores conectados: 2");
    EXPECT_FALSE(fp.EstaAtivo());
    EXPECT_EQ(fp.ModoOperacao(), moInativo);
  }
  {
    TOmbrelFP fp;
    fp.SetIndiceLeitor(2);
    EXPECT_EQ(MensagemDe([&] { fp.SetModoOperacao(moDesenvolvimento); }),
              "Índice de leitor inválido: deve estar entre 0 e 1.");
    fp.SetIndiceLeitor(-7);
    EXPECT_EQ(MensagemDe([&] { fp.SetModoOperacao(moDesenvolvimento); }),
              "Índice de leitor inválido: deve estar entre 0 e 1.");
    fp.SetIndiceLeitor(-1);
    EXPECT_EQ(MensagemDe([&] { fp.SetModoOperacao(moDesenvolvimento); }), "Número de série do leitor não informado.");
  }
  {
    ConfigurarFake("readers=\n");
    TOmbrelFP fp;
    fp.SetNumSerieLeitor("H3Fake\\C999");
    EXPECT_EQ(MensagemDe([&] { fp.SetModoOperacao(moDesenvolvimento); }),
              "Não há leitores detectados. Impossível ativar.");
  }
  {
    // The device cannot be opened: the claim is released, so a retry can work.
    ConfigurarFake("readers=C001,C002\nopenfail=C002\n");
    TOmbrelFP fp;
    fp.SetNumSerieLeitor(kLeitor2);
    EXPECT_NE(MensagemDe([&] { fp.SetModoOperacao(moDesenvolvimento); }), "no failure");
    EXPECT_FALSE(fp.EstaAtivo());
    ConfigurarFake("readers=C001,C002\n");
    fp.SetModoOperacao(moDesenvolvimento);
    EXPECT_TRUE(fp.EstaAtivo());
  }
}

TEST_F(ReaderComponent, SerialNumberAndCommandsFollowTheActivation) {
  TOmbrelFP fp;
  EXPECT_EQ(MensagemDe([&] { fp.EnviarComandoStr("LFD", "2,3"); }), "Ative o leitor para enviar comandos.");
  fp.SetNumSerieLeitor("h3fake\\c001");  // found without regard to case, then written as listed
  EXPECT_EQ(fp.IndiceLeitor(), -1);
  fp.SetModoOperacao(moDesenvolvimento);
  EXPECT_EQ(fp.NumSerieLeitor(), kLeitor1);
  fp.SetNumSerieLeitor(kLeitor1);
  EXPECT_EQ(MensagemDe([&] { fp.SetNumSerieLeitor(kLeitor2); }),
            "Não é possível alterar núm.série com componente conectado.");
  EXPECT_EQ(fp.EnviarComandoStr("LFD", "2,3"), "");
  fp.SetModoOperacao(moInativo);
  fp.SetNumSerieLeitor(kLeitor2);
  EXPECT_EQ(fp.NumSerieLeitor(), kLeitor2);
}

TEST_F(ReaderComponent, TheClaimNameReplacesEveryBackslash) {
  EXPECT_EQ(NomeEventoLeitor("Tavoro\\0A1B2C3D"), "OmbrelFP_Tavoro_0A1B2C3D");
  EXPECT_EQ(NomeEventoLeitor("a\\b\\c"), "OmbrelFP_a_b_c");
}

TEST_F(ReaderComponent, ASecondComponentIsRefusedTheClaimedReaderUntilTheFirstStops) {
  TOmbrelFP a, b;
  a.SetNumSerieLeitor(kLeitor1);
  b.SetNumSerieLeitor(kLeitor1);
  a.SetModoOperacao(moDesenvolvimento);
  EXPECT_EQ(MensagemDe([&] { b.SetModoOperacao(moDesenvolvimento); }),
            "O leitor H3Fake\\C001 já está sendo usado por outra aplicação.");
  EXPECT_FALSE(b.EstaAtivo());
  // Another reader is free.
  TOmbrelFP c;
  c.SetNumSerieLeitor(kLeitor2);
  c.SetModoOperacao(moVisualizar);
  a.SetModoOperacao(moInativo);
  b.SetModoOperacao(moDesenvolvimento);
  EXPECT_TRUE(b.EstaAtivo());
}

#ifndef _WIN32
// Runs f in a child process and returns its exit code.
int NoFilho(const std::function<int()>& f) {
  pid_t pid = fork();
  if (pid == 0) _exit(f());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Reivindicar(const std::string& nome) {
  plat::NamedEventHandle h = plat::CreateOrOpenNamedEvent(nome);
  bool ok = h && plat::WaitNamedEvent(h, 1);
  if (ok) plat::SetNamedEvent(h);
  if (h) plat::CloseNamedEvent(h);
  return ok;
}

TEST_F(ReaderComponent, AnotherProcessIsRefusedUntilTheHolderStopsOrDies) {
  const std::string nome = NomeEventoLeitor(kLeitor1);
  {
    TOmbrelFP fp;
    fp.SetNumSerieLeitor(kLeitor1);
    fp.SetModoOperacao(moDesenvolvimento);
    EXPECT_EQ(NoFilho([&] { return Reivindicar(nome) ? 1 : 0; }), 0);
    fp.SetModoOperacao(moInativo);
    EXPECT_EQ(NoFilho([&] { return Reivindicar(nome) ? 1 : 0; }), 1);
  }
  // A holder that dies without letting go frees the reader.
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  pid_t pid = fork();
  if (pid == 0) {
    plat::NamedEventHandle h = plat::CreateOrOpenNamedEvent(nome);
    char c = (h && plat::WaitNamedEvent(h, 1)) ? 'y' : 'n';
    (void)!write(pipefd[1], &c, 1);
    pause();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(pipefd[0], &c, 1), 1);
  EXPECT_EQ(c, 'y');
  TOmbrelFP fp;
  fp.SetNumSerieLeitor(kLeitor1);
  EXPECT_EQ(MensagemDe([&] { fp.SetModoOperacao(moDesenvolvimento); }),
            "O leitor H3Fake\\C001 já está sendo usado por outra aplicação.");
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(pipefd[0]);
  close(pipefd[1]);
  fp.SetModoOperacao(moDesenvolvimento);
  EXPECT_TRUE(fp.EstaAtivo());
}
#endif

// Unchecked serial numbers activate without a device, so images can be fed by hand.
class ModesWithoutDevice : public ReaderComponent {
 protected:
  // Declared last so it goes first: its worker may still be raising events.
  TBaseTeste base;
  std::mutex m;
  std::vector<std::string> eventos;
  bool rejeitarExistente = false;
  TOmbrelFP fp;

  void SetUp() override {
    ReaderComponent::SetUp();
    fp.SetNumSerieLeitor("OM:teste");
    fp.OnCapturou = [this](TOmbrelFP*, int32_t n) { Anotar("capturou" + std::to_string(n)); };
    fp.OnFimCaptura = [this](TOmbrelFP*, bool ok) { Anotar(ok ? "fim-ok" : "fim-falhou"); };
    fp.OnImpressaoExistente = [this](TOmbrelFP*, int32_t id, const std::string& c, int32_t, bool& rejeitar) {
      Anotar("existente" + std::to_string(id) + c);
      rejeitar = rejeitarExistente;
    };
    fp.OnInicioPesquisa = [this](TOmbrelFP*) { Anotar("inicio"); };
    fp.OnReconheceu = [this](TOmbrelFP*, int32_t id, const std::string& c, int32_t d) {
      Anotar("reconheceu" + std::to_string(id) + c + std::to_string(d));
    };
    fp.OnNaoReconheceu = [this](TOmbrelFP*) { Anotar("nao"); };
    fp.OnErroPesquisa = [this](TOmbrelFP*, const std::string& msg) { Anotar("erro:" + msg); };
  }
  void Anotar(const std::string& s) {
    std::lock_guard<std::mutex> g(m);
    eventos.push_back(s);
  }
  void Limpar() {
    std::lock_guard<std::mutex> g(m);
    eventos.clear();
  }
  std::vector<std::string> Eventos() {
    std::lock_guard<std::mutex> g(m);
    return eventos;
  }
  void Imagem(uint8_t valor = 9) {
    std::vector<uint8_t> px(12, valor);
    fp.ReceberImagem(4, 3, px.data());
  }
};

TEST_F(ModesWithoutDevice, ImagesAreDroppedWhileInactiveAndCopiedOnceActive) {
  Imagem();
  EXPECT_TRUE(Eventos().empty());
  EXPECT_EQ(fp.ImagemAtual(), nullptr);
  fp.SetModoOperacao(moVisualizar);
  int novas = 0;
  fp.OnNovaImagem = [&](TOmbrelFP*, TGrayImage*) { ++novas; };
  Imagem(7);
  EXPECT_EQ(novas, 1);
  EXPECT_TRUE(Eventos().empty());  // visualising raises nothing else
  ASSERT_NE(fp.ImagemAtual(), nullptr);
  EXPECT_EQ(fp.ImagemAtual()->Linha(2)[3], 7);
  fp.SetModoOperacao(moDesenvolvimento);
  Imagem();
  EXPECT_EQ(Eventos(), std::vector<std::string>{"capturou0"});
}

TEST_F(ModesWithoutDevice, BaseModesNeedAnActiveBaseThatAcceptsTheReader) {
  EXPECT_EQ(MensagemDe([&] { fp.SetModoOperacao(moCadastro); }), "Operação requer ativar a base de impressões.");
  EXPECT_FALSE(fp.EstaAtivo());
  fp.SetBase(&base);
  base.ativo = false;
  EXPECT_EQ(MensagemDe([&] { fp.SetModoOperacao(moPesquisa); }), "Operação requer ativar a base de impressões.");
  base.ativo = true;
  base.leitorValido = false;
  EXPECT_EQ(MensagemDe([&] { fp.SetModoOperacao(moPesquisa); }), "Leitor não registrado.");
  EXPECT_EQ(fp.ModoOperacao(), moInativo);
  base.leitorValido = true;
  fp.SetModoOperacao(moPesquisa);
  EXPECT_TRUE(fp.EstaAtivo());
}

TEST_F(ModesWithoutDevice, EnrolmentMergesThreeCapturesAndCanBeRejected) {
  fp.SetBase(&base);
  fp.SetModoOperacao(moCadastro);
  EXPECT_EQ(base.reinicios.load(), 1);
  Imagem();
  Imagem();
  Imagem();
  EXPECT_EQ(Eventos(), (std::vector<std::string>{"capturou1", "capturou2", "fim-ok"}));
  EXPECT_TRUE(fp.UniuImagens);
  EXPECT_TRUE(fp.Passou1paraN());
  EXPECT_EQ(fp.IndImpressaoCapturada, 0);

  // The merged print exists already and the handler rejects it: no end of capture.
  Limpar();
  fp.SetVerificarExistencia(true);
  base.existente = true;
  base.pontuacao = 12;
  rejeitarExistente = true;
  Imagem();
  Imagem();
  Imagem();
  EXPECT_EQ(Eventos(), (std::vector<std::string>{"capturou1", "capturou2", "existente9ja-existe"}));
  EXPECT_EQ(fp.UltimaPontuacao(), 12);

  // Not merged: the end is reported as failed.
  Limpar();
  base.uniu = false;
  Imagem();
  Imagem();
  Imagem();
  EXPECT_EQ(Eventos().back(), "fim-falhou");
  EXPECT_FALSE(fp.UniuImagens);
}

TEST_F(ModesWithoutDevice, SearchesRunOnTheWorkerAndReportEveryOutcome) {
  fp.SetBase(&base);
  fp.SetModoOperacao(moPesquisa);
  base.idEncontrado = 5;
  Imagem();
  ASSERT_TRUE(Aguardar([&] { return Eventos().size() >= 2; }));
  EXPECT_EQ(Eventos(), (std::vector<std::string>{"inicio", "reconheceu5pessoa-53"}));
  EXPECT_EQ(fp.UltimaPontuacao(), 77);

  Limpar();
  base.idEncontrado = 0;
  base.pontuacao = 3;
  Imagem();
  ASSERT_TRUE(Aguardar([&] { return Eventos().size() >= 2; }));
  EXPECT_EQ(Eventos()[1], "nao");
  EXPECT_EQ(fp.UltimaPontuacao(), 3);

  // A failing base becomes an event, and the worker takes the next search.
  Limpar();
  base.falhaPesquisa = "base quebrada";
  Imagem();
  ASSERT_TRUE(Aguardar([&] { return Eventos().size() >= 2; }));
  EXPECT_EQ(Eventos()[1], "erro:base quebrada");
  Limpar();
  base.falhaPesquisa.clear();
  base.idEncontrado = 8;
  Imagem();
  ASSERT_TRUE(Aguardar([&] { return Eventos().size() >= 2; }));
  EXPECT_EQ(Eventos()[1], "reconheceu8pessoa-83");
  EXPECT_FALSE(fp.AguardandoPesquisa());
}

TEST_F(ModesWithoutDevice, SearchWithoutWorkerRunsOnTheDeliveringThread) {
  fp.SetBase(&base);
  fp.SetPesquisaEmThread(false);
  fp.SetModoOperacao(moPesquisa);
  base.idEncontrado = 4;
  Imagem();
  EXPECT_EQ(Eventos(), (std::vector<std::string>{"inicio", "reconheceu4pessoa-43"}));
  EXPECT_EQ(fp.ThreadPesquisa(), nullptr);
  base.falhaPesquisa = "sem base";
  Imagem();
  EXPECT_EQ(Eventos().back(), "erro:sem base");
}

TEST_F(ModesWithoutDevice, AModeChangeWaitsForTheSearchInProgress) {
  fp.SetBase(&base);
  fp.SetModoOperacao(moPesquisa);
  base.atrasoPesquisaMs = 200;
  Imagem();
  ASSERT_TRUE(Aguardar([&] { return base.pesquisando.load(); }));
  fp.SetModoOperacao(moDesenvolvimento);
  EXPECT_EQ(base.pesquisas.load(), 1);  // finished before the change went through
  EXPECT_EQ(fp.ModoOperacao(), moDesenvolvimento);
}

TEST_F(ReaderComponent, DestroyingAComponentEndsItsIdleWorker) {
  TBaseTeste base;
  auto fp = std::make_unique<TOmbrelFP>();
  fp->SetNumSerieLeitor("OM:x");
  fp->SetBase(&base);
  fp->SetModoOperacao(moPesquisa);
  std::vector<uint8_t> px(4, 1);
  fp->ReceberImagem(2, 2, px.data());
  ASSERT_TRUE(Aguardar([&] { return base.pesquisas.load() == 1; }));
  fp.reset();  // must return: the worker is waiting for work
  EXPECT_EQ(base.pesquisas.load(), 1);
}

TEST(BaseContract, UnsupportedOperationsAndDefaults) {
  TBaseTeste base;
  std::string codigo = "x";
  int32_t ind = 0, ret = 5;
  try {
    base.IdentificarExternoImagem(nullptr, "", codigo, ind, ret);
    FAIL();
  } catch (const EOmbrelFP& e) {
    EXPECT_STREQ(e.what(), "Método não suportado");
  }
  EXPECT_EQ(codigo, "");
  EXPECT_EQ(ret, 0);
  EXPECT_THROW(base.ExecutarExterno("x"), EOmbrelFP);
  EXPECT_EQ(base.CriarTemplate("t", 0), nullptr);
  TDateTime d1 = 1, d2 = 1;
  int32_t n = 1;
  EXPECT_TRUE(base.PegInformacao2(5, codigo, ind, d1, d2, n));
  EXPECT_EQ(codigo, "cinco");
  EXPECT_EQ(d1 + d2 + n, 0);
  EXPECT_FALSE(base.PegInformacao2(6, codigo, ind, d1, d2, n));
}

}  // namespace
