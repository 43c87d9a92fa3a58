#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "support/Excecoes.h"
#include "support/udBibRotinas.h"
#include "support/udBibThreads.h"

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
