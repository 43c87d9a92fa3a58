// The image log: day folders, file names and the clean-up of old folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "extraction/udOmfwFingers.h"

namespace fs = std::filesystem;

namespace {

class LogImagens : public ::testing::Test {
 protected:
  void SetUp() override {
    pasta_ = fs::temp_directory_path() /
             ("dl-imglog-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(pasta_);
  }
  void TearDown() override { fs::remove_all(pasta_); }

  static void Tocar(const fs::path& p, const std::string& conteudo = "x") {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << conteudo;
  }
  void Gravar(const TDataHora& d, int w = 3, int h = 2) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h, 77);
    GravarLogImagem(pasta_.string(), d, w, h, px.data());
  }

  fs::path pasta_;
};

TDataHora Em(int a, int m, int d, int hh = 0, int nn = 0, int ss = 0) {
  TDataHora r;
  r.Ano = a, r.Mes = m, r.Dia = d, r.Hora = hh, r.Minuto = nn, r.Segundo = ss;
  return r;
}

}  // namespace

TEST(NomesDoLog, DayAndTimeNames) {
  EXPECT_EQ(NomePastaDia(Em(2026, 1, 5)), "20260105");
  EXPECT_EQ(NomeArquivoHora(Em(2026, 1, 5, 9, 5, 7)), "090507.bmp");
  EXPECT_EQ(NomeArquivoHora(Em(2026, 1, 5, 23, 59, 59)), "235959.bmp");
  EXPECT_EQ(NomePastaDia(DiaAnterior(Em(2024, 3, 1))), "20240229");
  EXPECT_EQ(NomePastaDia(DiaAnterior(Em(2023, 3, 1))), "20230228");
  EXPECT_EQ(NomePastaDia(DiaAnterior(Em(2026, 1, 1))), "20251231");
  EXPECT_EQ(NomePastaDia(DiaAnterior(Em(2026, 5, 1))), "20260430");
  const TDataHora agora = AgoraLocal();
  EXPECT_GE(agora.Ano, 2020);
  EXPECT_EQ(NomePastaDia(agora).size(), 8u);
}

TEST_F(LogImagens, FirstImageMakesTheFolderTheDayAndTheFile) {
  Gravar(Em(2026, 12, 9, 14, 3, 2), 3, 2);
  const fs::path arquivo = pasta_ / "20261209" / "140302.bmp";
  ASSERT_TRUE(fs::exists(arquivo));
  EXPECT_EQ(fs::file_size(arquivo), 1078u + 4u * 2u);
  std::ifstream in(arquivo, std::ios::binary);
  char bm[2] = {};
  in.read(bm, 2);
  EXPECT_EQ(std::string(bm, 2), "BM");
}

TEST_F(LogImagens, OldAndForeignFoldersGoTodayYesterdayAndPlainFilesStay) {
  Tocar(pasta_ / "20261207" / "100000.bmp");  // two days back
  Tocar(pasta_ / "20261207" / "100001.bmp");
  Tocar(pasta_ / "20251209" / "a.bmp");       // a year back
  Tocar(pasta_ / "photos" / "b.txt");          // named otherwise
  fs::create_directories(pasta_ / "empty");
  Tocar(pasta_ / "20261208" / "235959.bmp");  // yesterday
  Tocar(pasta_ / "20261209" / "000001.bmp");  // today, earlier
  Tocar(pasta_ / "notes.txt");                 // plain file in the log folder
  Tocar(pasta_ / "19990101");                  // a plain file named like a day
  Tocar(pasta_ / "nested" / "inner" / "c.bmp");  // holds a folder: emptied of files, stays
  Tocar(pasta_ / "nested" / "d.bmp");

  Gravar(Em(2026, 12, 9, 8, 0, 0));

  EXPECT_FALSE(fs::exists(pasta_ / "20261207"));
  EXPECT_FALSE(fs::exists(pasta_ / "20251209"));
  EXPECT_FALSE(fs::exists(pasta_ / "photos"));
  EXPECT_FALSE(fs::exists(pasta_ / "empty"));
  EXPECT_TRUE(fs::exists(pasta_ / "20261208" / "235959.bmp"));
  EXPECT_TRUE(fs::exists(pasta_ / "20261209" / "000001.bmp"));
  EXPECT_TRUE(fs::exists(pasta_ / "20261209" / "080000.bmp"));
  EXPECT_TRUE(fs::exists(pasta_ / "notes.txt"));
  EXPECT_TRUE(fs::exists(pasta_ / "19990101"));
  EXPECT_TRUE(fs::exists(pasta_ / "nested" / "inner" / "c.bmp"));
  EXPECT_FALSE(fs::exists(pasta_ / "nested" / "d.bmp"));
}

TEST_F(LogImagens, YesterdayAcrossAMonthEndStays) {
  Tocar(pasta_ / "20260228" / "1.bmp");
  Tocar(pasta_ / "20260227" / "1.bmp");
  Gravar(Em(2026, 3, 1, 0, 0, 1));
  EXPECT_TRUE(fs::exists(pasta_ / "20260228" / "1.bmp"));
  EXPECT_FALSE(fs::exists(pasta_ / "20260227"));
  EXPECT_TRUE(fs::exists(pasta_ / "20260301" / "000001.bmp"));
}

TEST_F(LogImagens, SameSecondKeepsTheLaterImage) {
  Gravar(Em(2026, 12, 9, 10, 0, 0), 3, 2);
  Gravar(Em(2026, 12, 9, 10, 0, 0), 8, 8);
  EXPECT_EQ(fs::file_size(pasta_ / "20261209" / "100000.bmp"), 1078u + 64u);
  EXPECT_EQ(std::distance(fs::directory_iterator(pasta_ / "20261209"), fs::directory_iterator{}), 1);
}

TEST_F(LogImagens, FailuresAreSwallowed) {
  Tocar(pasta_);  // the log folder's name is taken by a plain file
  EXPECT_NO_THROW(Gravar(Em(2026, 12, 9, 10, 0, 0)));
  EXPECT_TRUE(fs::is_regular_file(pasta_));
  fs::remove(pasta_);
  // Negative sizes never reach the BMP writer's pixel reads.
  EXPECT_NO_THROW(GravarLogImagem(pasta_.string(), Em(2026, 12, 9), -5, 3, nullptr));
  EXPECT_FALSE(fs::exists(pasta_ / "20261209" / "000000.bmp"));
}

#if !defined(_WIN32)
// (Not on the Windows build: the wine the tests run under makes no links, so
// the exclusion of reparse points there is reviewed, not run.)
void Ligar(const fs::path& alvo, const fs::path& link, bool pasta) {
  if (pasta) fs::create_directory_symlink(alvo, link);
  else fs::create_symlink(alvo, link);
}

// Links planted inside the log (to a folder or to a file) are never followed,
// for clean-up or for writing: nothing outside the log is touched. The log
// folder itself may be a link, and that one is followed.
TEST_F(LogImagens, LinksInsideTheLogAreNeverFollowed) {
  const fs::path fora = pasta_.string() + "-outside";
  const fs::path real = pasta_.string() + "-real";
  fs::remove_all(fora);
  fs::remove_all(real);
  Tocar(fora / "keep.bmp", "outside");
  Tocar(fora / "080000.bmp", "outside");
  Tocar(real / "20261201" / "old.bmp");
  Ligar(real, pasta_, true);
  Ligar(fora, pasta_ / "20261130", true);                         // an old day that is a folder link
  Ligar(fora / "keep.bmp", pasta_ / "20261201" / "link.bmp", false);  // a file link in an old day

  Gravar(Em(2026, 12, 9, 8, 0, 0));
  EXPECT_TRUE(fs::exists(real / "20261209" / "080000.bmp")) << "the log folder's own link is followed";
  EXPECT_FALSE(fs::exists(real / "20261201" / "old.bmp"));
  EXPECT_TRUE(fs::exists(fora / "keep.bmp"));
  EXPECT_TRUE(fs::exists(fora / "080000.bmp"));

  // Today's folder, then today's file, a link to the outside.
  fs::remove_all(real / "20261209");
  Ligar(fora, real / "20261209", true);
  Gravar(Em(2026, 12, 9, 8, 0, 0));
  fs::remove(real / "20261209");
  fs::create_directories(real / "20261209");
  Ligar(fora / "keep.bmp", real / "20261209" / "080001.bmp", false);
  Gravar(Em(2026, 12, 9, 8, 0, 1));

  for (const char* nome : {"keep.bmp", "080000.bmp"}) {
    std::ifstream in(fora / nome, std::ios::binary);
    std::string conteudo((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(conteudo, "outside") << nome;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(fora), fs::directory_iterator{}), 2);
  fs::remove_all(fora);
  fs::remove_all(real);
}
#endif
