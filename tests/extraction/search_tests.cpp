// Loading the engine without a path. Each case runs as its own test entry,
// in a folder and environment prepared for it (see CMakeLists.txt).
#include <gtest/gtest.h>

#include "extraction/udOmExtractDll.h"
#include "support/Excecoes.h"

namespace {
// The full fake fills MediaDesejada with 128; the build without
// GetDefaultConfig leaves the record as it is.
int32_t MediaDefault(TOmExtractDll& motor) {
  TOmExtractorConfiguration c{};
  motor.PegParametrosDefault(c);
  return c.MediaDesejada;
}
}  // namespace

TEST(Busca, Ausente) {
  try {
    TOmExtractDll motor;
    FAIL() << "an engine was loaded although none is reachable";
  } catch (const EOSError& e) {
    EXPECT_NE(e.ErrorCode(), 0u);
  }
  // A failed creation leaves nothing behind: the next one tries again.
  EXPECT_THROW(TOmExtractDll(), EOSError);
}

TEST(Busca, PelaOrdemDoSistema) {
  TOmExtractDll motor;
  EXPECT_NE(motor.Entrada("ExtractMinutiae"), nullptr);
  EXPECT_EQ(motor.Entrada("GetDefaultConfig"), nullptr);  // the build found through the search path
  EXPECT_EQ(MediaDefault(motor), 0);
}

TEST(Busca, AoLadoDaBiblioteca) {
  TOmExtractDll motor;
  EXPECT_NE(motor.Entrada("GetDefaultConfig"), nullptr);
  EXPECT_EQ(MediaDefault(motor), 128);
}
