#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "platform/namedevent.h"
#include "support/Excecoes.h"
#include "support/udBibRotinas.h"
#include "support/udBibThreads.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

TEST(ChecarErro, PassesZeroAndPositiveRaisesNegative) {
  EXPECT_NO_THROW(ChecarErro(0));
  EXPECT_NO_THROW(ChecarErro(7));
  try {
    ChecarErro(-1);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Erro -1");
  }
  EXPECT_THROW(ChecarErro(-5), Exception);
}

TEST(ExtrairCampo, SplitsAtFirstSeparator) {
  std::string t = "omr1\\ABC123";
  EXPECT_EQ(ExtrairCampo(t, "\\"), "omr1");
  EXPECT_EQ(t, "ABC123");

  t = "ABC";
  EXPECT_EQ(ExtrairCampo(t, "\\"), "ABC");
  EXPECT_EQ(t, "");

  t = "  x \\y";
  EXPECT_EQ(ExtrairCampo(t, "\\"), "x");
  EXPECT_EQ(t, "y");

  t = "Tavoro\\0012ABCD\\more";
  EXPECT_EQ(ExtrairCampo(t, "\\"), "Tavoro");
  EXPECT_EQ(t, "0012ABCD\\more");
}

TEST(ExtrairCampo, QuotedPrefixKeepsItsBackslash) {
  std::string t = "\"a\\b\"\\rest";
  EXPECT_EQ(ExtrairCampo(t, "\\"), "a\\b");
  EXPECT_EQ(t, "rest");

  // An unterminated quote is split at the first separator.
  t = "\"ab\\cd";
  EXPECT_EQ(ExtrairCampo(t, "\\"), "a");  // the field "ab loses its first and last character
  EXPECT_EQ(t, "cd");

  t = "";
  EXPECT_EQ(ExtrairCampo(t, "\\"), "");
  EXPECT_EQ(t, "");
}

TEST(LimparCampo, QuotesBlanksAndShortTexts) {
  EXPECT_EQ(LimparCampo("\"abc\""), "abc");
  EXPECT_EQ(LimparCampo("\""), "\"");
  EXPECT_EQ(LimparCampo(" "), " ");
  EXPECT_EQ(LimparCampo("\t ab c \r\n"), "ab c");
}

TEST(PastaBiblioteca, LongAndUncPrefixesAreRewritten) {
  EXPECT_EQ(NormalizarCaminhoModulo("\\\\?\\C:\\a\\b\\dactylink.dll"), "C:\\a\\b\\dactylink.dll");
  EXPECT_EQ(NormalizarCaminhoModulo("\\\\?\\UNC\\server\\share\\x.dll"), "\\\\server\\share\\x.dll");
  EXPECT_EQ(NormalizarCaminhoModulo("C:\\a\\b\\dactylink.dll"), "C:\\a\\b\\dactylink.dll");
  // Case-sensitive: a lower-case unc stays as it is.
  EXPECT_EQ(NormalizarCaminhoModulo("\\\\?\\unc\\server\\x.dll"), "unc\\server\\x.dll");
  EXPECT_EQ(ExtrairPasta("C:\\a\\b\\dactylink.dll", "\\:"), "C:\\a\\b\\");
  EXPECT_EQ(ExtrairPasta("C:dactylink.dll", "\\:"), "C:");
  EXPECT_EQ(ExtrairPasta("/opt/x/libdactylink.so", "/"), "/opt/x/");
  EXPECT_EQ(ExtrairPasta("dactylink.dll", "\\:"), "");
}

TEST(PastaBiblioteca, FoldersOfThisProcess) {
  // The tests link the library's code into the test program, so both folders
  // are the program's own folder.
  std::string prog = PegPastaPrograma();
  std::string lib = PegPastaBiblioteca();
  ASSERT_FALSE(prog.empty());
  EXPECT_EQ(prog.back(), plat::PathDelimiter());
  EXPECT_TRUE(TextosIguaisSemCaixa(prog, lib)) << prog << " vs " << lib;
  EXPECT_EQ(PegPastaBiblioteca("OmExtract.dll"), lib + "OmExtract.dll");
  EXPECT_TRUE(plat::DirectoryExists(prog));
}

#ifndef _WIN32
namespace {
// Sets (or with null removes) an environment variable for one scope.
struct Ambiente {
  std::string nome;
  std::optional<std::string> antes;
  Ambiente(const char* n, const char* valor) : nome(n) {
    if (const char* v = std::getenv(n)) antes = v;
    if (valor) setenv(n, valor, 1);
    else unsetenv(n);
  }
  ~Ambiente() {
    if (antes) setenv(nome.c_str(), antes->c_str(), 1);
    else unsetenv(nome.c_str());
  }
};

// Whether a child process whose TMPDIR is `tmp` may take the claim `nome`.
bool FilhoReivindica(const std::string& nome, const std::string& tmp) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("TMPDIR", tmp.c_str(), 1);
    plat::NamedEventHandle h = plat::CreateOrOpenNamedEvent(nome);
    _exit(h && plat::WaitNamedEvent(h, 1) ? 1 : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}
}  // namespace

// A claim is seen by every process of the user, whatever TMPDIR each has:
// in the runtime folder, or without one in the user's own folder below /tmp.
TEST(ReivindicacaoPosix, ProcessesWithDifferentTempFoldersSeeOneClaim) {
  const std::string base = PegPastaPrograma("claims-test");
  std::filesystem::remove_all(base);
  const std::string runtime = base + "/runtime";
  ASSERT_TRUE(plat::ForceDirectories(base + "/tmp-a") && plat::ForceDirectories(base + "/tmp-b"));
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  const std::string nome = "claim-test-" + std::to_string(getpid());
  Ambiente semOutroLugar("DACTYLINK_CLAIM_DIR", nullptr);
  Ambiente tmp("TMPDIR", (base + "/tmp-a").c_str());
  for (const char* pastaRuntime : {runtime.c_str(), static_cast<const char*>(nullptr)}) {
    Ambiente xdg("XDG_RUNTIME_DIR", pastaRuntime);
    plat::NamedEventHandle h = plat::CreateOrOpenNamedEvent(nome);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(plat::WaitNamedEvent(h, 1));
    EXPECT_FALSE(FilhoReivindica(nome, base + "/tmp-b")) << (pastaRuntime ? "runtime folder" : "below /tmp");
    plat::SetNamedEvent(h);
    EXPECT_TRUE(FilhoReivindica(nome, base + "/tmp-b"));
    plat::CloseNamedEvent(h);
  }
  EXPECT_TRUE(plat::FileExists(runtime + "/dactylink-claims/" + nome));
  unlink((runtime + "/dactylink-claims/" + nome).c_str());
  unlink(("/tmp/dactylink-claims-" + std::to_string(getuid()) + "/" + nome).c_str());

  // The folder named by the override is checked like the others: a link to a
  // folder, or a folder open to others, holds no claim.
  const std::string alvo = base + "/alvo";
  ASSERT_EQ(mkdir(alvo.c_str(), 0700), 0);
  ASSERT_EQ(symlink(alvo.c_str(), (base + "/link").c_str()), 0);
  {
    Ambiente link("DACTYLINK_CLAIM_DIR", (base + "/link/").c_str());
    EXPECT_EQ(plat::CreateOrOpenNamedEvent(nome), nullptr);
  }
  ASSERT_EQ(chmod(alvo.c_str(), 0770), 0);
  {
    Ambiente aberta("DACTYLINK_CLAIM_DIR", alvo.c_str());
    EXPECT_EQ(plat::CreateOrOpenNamedEvent(nome), nullptr);
  }
  EXPECT_TRUE(plat::ListFolder(alvo).empty());
  std::filesystem::remove_all(base);
}
#endif

// Plug-ins, the engine and the image log are sought beside the library: its
// folder must come whole, however long (a cut path names a parent folder).
TEST(PastaBiblioteca, AFolderOfThreeHundredCharactersComesWhole) {
  std::string pasta = PegPastaPrograma("pasta-longa");
  std::error_code ec;  // the Windows cross compiler's remove_all stops at long paths
  std::filesystem::remove_all(pasta, ec);
  while (pasta.size() < 300) pasta += plat::PathDelimiter() + std::string(40, 'p');
  std::filesystem::create_directories(std::filesystem::u8path(pasta), ec);
  const std::string nome = std::string("support_pasta_modulo") + plat::ModuleSuffix();
  const std::string arquivo = pasta + plat::PathDelimiter() + nome;
  std::filesystem::remove(std::filesystem::u8path(arquivo), ec);
  std::filesystem::copy_file(std::filesystem::u8path(PegPastaPrograma(nome)), std::filesystem::u8path(arquivo));
  // Windows takes paths this long only in their \\?\ form.
  const std::string carregar = plat::PathDelimiter() == '\\' ? "\\\\?\\" + arquivo : arquivo;
  plat::ModuleHandle h = plat::LoadModule(carregar, false);
  ASSERT_NE(h, nullptr) << arquivo;
  auto f = reinterpret_cast<const char* (*)()>(plat::GetSymbol(h, "PastaDaBiblioteca"));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::string(f()), pasta + plat::PathDelimiter());
  plat::UnloadModule(h);
  std::filesystem::remove_all(PegPastaPrograma("pasta-longa"), ec);
}

// Vendor libraries are loaded by bare name: a copy planted in the current
// folder is never the one loaded.
TEST(CargaPorNome, TheCurrentFolderIsNeverSearched) {
  const std::string pasta = PegPastaPrograma("so-na-pasta-atual");
  std::filesystem::remove_all(pasta);
  std::filesystem::create_directories(pasta);
  const std::string sufixo = plat::ModuleSuffix();
  std::filesystem::copy_file(PegPastaPrograma("support_pasta_modulo" + sufixo),
                             pasta + plat::PathDelimiter() + "pasta_plantada" + sufixo);
  const auto atual = std::filesystem::current_path();
  std::filesystem::current_path(pasta);
  plat::ModuleHandle h = plat::LoadModuleByName("pasta_plantada" + sufixo);
  std::filesystem::current_path(atual);
  EXPECT_EQ(h, nullptr);
  plat::UnloadModule(h);
#ifdef _WIN32
  // The program's folder is searched first, and the module comes by its full path.
  h = plat::LoadModuleByName("support_pasta_modulo" + sufixo);
  ASSERT_NE(h, nullptr);
  auto f = reinterpret_cast<const char* (*)()>(plat::GetSymbol(h, "PastaDaBiblioteca"));
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(TextosIguaisSemCaixa(f(), PegPastaPrograma(""))) << f();
  plat::UnloadModule(h);
#endif
  std::filesystem::remove_all(pasta);
}

TEST(OSError, MessageCarriesCodeAndSystemText) {
  EOSError e = MakeOSError(plat::kErrorModNotFound);
  std::string m = e.what();
  EXPECT_EQ(m.rfind("System Error.  Code: 126.\r\n", 0), 0u) << m;
  EXPECT_GT(m.size(), std::string("System Error.  Code: 126.\r\n").size());
  EXPECT_NE(m.back(), '\n');
}

TEST(OSError, FailedLoadReportsTheLoaderText) {
  plat::ModuleHandle h = plat::LoadModule(PegPastaPrograma("no_such_module") + plat::ModuleSuffix(), true);
  ASSERT_EQ(h, nullptr);
  EOSError e = MakeOSError(plat::LastError());
  EXPECT_EQ(std::string(e.what()).find("System Error.  Code: "), 0u);
}

TEST(ThreadGenerica, RunsRoutineWithParameterAndWaitsOnDestroy) {
  std::atomic<int> seen{0};
  int param = 42;
  std::atomic<bool> release{false};
  auto* t = new TThreadGenerica(
      [&](TThreadGenerica& th) {
        seen = *static_cast<int*>(th.Parametro());
        while (!th.Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        release = true;
      },
      false, &param);
  while (seen.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(seen.load(), 42);
  delete t;  // sets Terminated and waits for the routine
  EXPECT_TRUE(release.load());
}

TEST(ThreadGenerica, FreeOnTerminateAndSwallowedFailure) {
  std::atomic<bool> done{false};
  new TThreadGenerica(
      [&](TThreadGenerica&) {
        done = true;
        throw Exception("boom");
      },
      true, nullptr);
  for (int i = 0; i < 2000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(done.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the object deletes itself (checked by ASan)

  TThreadGenerica t([](TThreadGenerica&) { throw Exception("kept"); }, false, nullptr);
  t.WaitFor();
  EXPECT_EQ(t.FatalException(), "kept");
}

// The creator stopped right after the thread may run: a FreeOnTerminate
// thread ends and deletes its object meanwhile, and Start must not touch the
// object afterwards (ASan reports it when it does).
TEST(ThreadGenerica, ASelfDeletingThreadEndsWhileItsCreatorIsPreempted) {
  // The routine's captures die with the thread object: the weak pointer
  // expires once the object has deleted itself.
  auto marca = std::make_shared<int>(0);
  static std::weak_ptr<int> vivo;
  vivo = marca;
  // Bounded by a deadline, not by a count of sleeps: under wine a
  // millisecond's sleep lasts several.
  TThread::AposLiberarInicio = [] {
    auto fim = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!vivo.expired() && std::chrono::steady_clock::now() < fim)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  new TThreadGenerica([marca = std::move(marca)](TThreadGenerica&) {}, true, nullptr);
  TThread::AposLiberarInicio = nullptr;
  EXPECT_TRUE(vivo.expired());
}

TEST(ThreadGenerica, DestroyFromInsideTheRoutineDoesNotDeadlock) {
  std::atomic<bool> done{false};
  std::atomic<bool> ready{false};
  new TThreadGenerica(
      [&](TThreadGenerica& self) {
        while (!ready) std::this_thread::yield();
        // Deleting the thread object also destroys this routine's captures,
        // so only what is on the stack may be used afterwards.
        std::atomic<bool>* feito = &done;
        delete &self;  // e.g. a listener that stops its own scanner
        *feito = true;
      },
      false, nullptr);
  ready = true;
  for (int i = 0; i < 2000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(done.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
