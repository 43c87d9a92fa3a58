// The engine binding against the fake engine loaded by path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "extraction/udOmExtractDll.h"
#include "omextract_fake.h"
#include "platform/modules.h"
#include "support/Excecoes.h"

namespace {

std::string Fake(const char* pasta) {
  return std::string(DL_FAKES_DIR) + "/" + pasta + "/" + TOmExtractDll::NomeArquivo();
}

TFakeEstado* Estado(const char* pasta) {
  auto m = plat::LoadModule(Fake(pasta), false);  // the same module the binding loaded
  auto f = reinterpret_cast<TFnFakeEstado>(plat::GetSymbol(m, "FakeEstado"));
  return f ? f() : nullptr;
}

std::vector<uint8_t> Gradiente(int w, int h) {
  std::vector<uint8_t> p(static_cast<size_t>(w) * h);
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 7);
  return p;
}

}  // namespace

TEST(Motor, DefaultsLandAtTheEngineOffsets) {
  TOmExtractDll motor({Fake("omextract")});
  TOmExtractorConfiguration c{};
  motor.PegParametrosDefault(c);
  // The fake writes by byte offset, so this checks the record's layout.
  EXPECT_EQ(c.MediaDesejada, 128);
  EXPECT_EQ(c.FatorGabor, 1.5);
  EXPECT_TRUE(c.PassoRemoverDirecoes1);
  EXPECT_EQ(c.TipoDirecoes, 2);
  EXPECT_TRUE(c.UsaGauss);
  EXPECT_EQ(c.SigmaGabor, 4.25);
  EXPECT_EQ(c.EscalaGabor, 3);
  EXPECT_EQ(c.PesoDF, 0.75);
  EXPECT_TRUE(c.SemNormalizar);
  EXPECT_EQ(c.LimiarVariancia, 0);
  EXPECT_FALSE(c.PassoSuavizar1);
  EXPECT_EQ(c.MaxLegMinutia, 0);
}

TEST(Motor, EntryPointsFoundByName) {
  TOmExtractDll motor({Fake("omextract")});
  EXPECT_NE(motor.Entrada("ExtractMinutiae"), nullptr);
  EXPECT_NE(motor.Entrada("GetDefaultConfig"), nullptr);
  EXPECT_NE(motor.Entrada("MatchMinutiae"), nullptr);
  EXPECT_EQ(motor.Entrada("IdentifyBegin"), nullptr);
  EXPECT_EQ(motor.Entrada("NoSuchThing"), nullptr);
  EXPECT_EQ(TOmExtractDll::kNomesEntradas.size(), 36u);
}

TEST(Motor, MissingFileFailsWithTheSystemError) {
  try {
    TOmExtractDll motor({std::string(DL_FAKES_DIR) + "/nowhere/" + TOmExtractDll::NomeArquivo()});
    FAIL();
  } catch (const EOSError& e) {
    EXPECT_NE(e.ErrorCode(), 0u);
    EXPECT_FALSE(e.Message().empty());
  }
  // Candidates are tried in order until one loads.
  TOmExtractDll motor({std::string(DL_FAKES_DIR) + "/nowhere/x", Fake("omextract")});
  EXPECT_NE(motor.Entrada("ExtractMinutiae"), nullptr);
}

TEST(Motor, WithoutGetDefaultConfigTheRecordIsUntouched) {
  TOmExtractDll motor({Fake("omextract-nodefaults")});
  TOmExtractorConfiguration c{};
  motor.PegParametrosDefault(c);
  const TOmExtractorConfiguration zero{};
  EXPECT_EQ(std::memcmp(&c, &zero, sizeof c), 0);
  auto img = Gradiente(20, 10);
  EXPECT_NE(motor.ExtractMinutiae(img.data(), 20, 10, 500, &c), nullptr);
}

TEST(Motor, WithoutExtractMinutiaeThereIsNoTemplate) {
  TOmExtractDll motor({Fake("omextract-bare")});
  EXPECT_EQ(motor.Entrada("ExtractMinutiae"), nullptr);
  TOmExtractorConfiguration c{};
  motor.PegParametrosDefault(c);
  EXPECT_EQ(c.MediaDesejada, 0);
  auto img = Gradiente(8, 8);
  EXPECT_EQ(motor.ExtractMinutiae(img.data(), 8, 8, 500, &c), nullptr);
}

TEST(Motor, ExtractionCallAndWorkImage) {
  TOmExtractDll motor({Fake("omextract")});
  TFakeEstado* e = Estado("omextract");
  ASSERT_NE(e, nullptr);
  TOmExtractorConfiguration c{};
  auto img = Gradiente(30, 20);
  {
    auto t = motor.ExtractMinutiae(img.data(), 30, 20, 500, &c);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(e->templatesVivos, 1);
    EXPECT_EQ(e->ultimaLargura, 30u);
    EXPECT_EQ(e->ultimaAltura, 20u);
    EXPECT_EQ(e->ultimaResolucao, 500u);
    EXPECT_EQ(e->ultimoEsqueleto, 0);
    EXPECT_EQ(e->ultimaConfig, &c);
  }
  EXPECT_EQ(e->templatesVivos, 0) << "destroying the template must release the engine's object";
  const void* trabalho = e->ultimoTrabalho;
  motor.ExtractMinutiae(img.data(), 30, 20, 500, &c);
  EXPECT_EQ(e->ultimoTrabalho, trabalho) << "same size: the work image is kept";
  // A larger image needs a larger work image (the fake writes all of it).
  auto grande = Gradiente(64, 48);
  EXPECT_NE(motor.ExtractMinutiae(grande.data(), 64, 48, 500, &c), nullptr);
  EXPECT_EQ(e->templatesVivos, 0);
}

TEST(Motor, NullTemplateIsNotWrapped) {
  TOmExtractDll motor({Fake("omextract")});
  TOmExtractorConfiguration c{};
  std::vector<uint8_t> branca(100, 255);
  EXPECT_EQ(motor.ExtractMinutiae(branca.data(), 10, 10, 500, &c), nullptr);
  EXPECT_EQ(Estado("omextract")->templatesVivos, 0);
}

TEST(Motor, ExportForwardsItsArgumentsAndSizeMatches) {
  TOmExtractDll motor({Fake("omextract")});
  TFakeEstado* e = Estado("omextract");
  TOmExtractorConfiguration c{};
  auto img = Gradiente(40, 30);
  auto t = motor.ExtractMinutiae(img.data(), 40, 30, 500, &c);
  ASSERT_NE(t, nullptr);
  const int32_t n = t->ExportNFRecord(nullptr, 40, 30, 500, 501, 2, 3, true, false);
  EXPECT_EQ(e->ultimoPrimeiro, 2);
  EXPECT_EQ(e->ultimoSegundo, 3);
  EXPECT_EQ(e->ultimaResolucaoH, 500);
  EXPECT_EQ(e->ultimaResolucaoV, 501);
  EXPECT_EQ(e->ultimasFlags[0], 1);
  EXPECT_EQ(e->ultimasFlags[1], 0);
  ASSERT_GT(n, 26);
  std::vector<uint8_t> dados(static_cast<size_t>(n));
  EXPECT_EQ(t->ExportNFRecord(dados.data(), 40, 30, 500, 500, 2, 3, true, true), n);
  EXPECT_EQ(dados[22], 7);                // every optional minutia byte
  EXPECT_EQ(dados[25], 7);                // 4 + 3 bytes per minutia
  EXPECT_EQ(26u + dados[24] * 7u + 3u + 2u + 2u + 4u + 2u + 7u + 2u, dados.size());
}

TEST(Motor, WorkImageRejectsNegativeSizes) {
  EXPECT_THROW(TOmImage(-1, 4), Exception);
  TOmImage vazio(0, 0);
  EXPECT_EQ(vazio.Width(), 0);
  uint16_t proprio[6] = {};
  TOmImage sobre(3, 2, proprio);
  *sobre.GetPointer(1, 2) = 9;
  EXPECT_EQ(proprio[5], 9);
}
