#include "extraction/udOmExtractDll.h"

#include <cstring>

#include "platform/errors.h"
#include "platform/modules.h"
#include "support/Excecoes.h"
#include "support/Trace.h"
#include "support/udBibRotinas.h"

namespace {
enum : size_t { kExtractMinutiae = 0, kGetDefaultConfig = 4 };
}

const std::array<const char*, TOmExtractDll::kNumEntradas> TOmExtractDll::kNomesEntradas = {
    "ExtractMinutiae",      "MatchMinutiae",
    "MatchMinutiaeDbg",     "SetMatchConfig",
    "GetDefaultConfig",     "GetDefaultMatcherConfig",
    "TestPreProcess",       "TestSegmentateCMV",
    "TestGetOrientationBlockSize", "TestCalculateOrientations",
    "TestCalculateOrientations2",  "TestCalculateGabor",
    "TestBinarize",         "TestSkeletonize",
    "TestCalculateBlock",   "TestCalculateHistogram",
    "GetHistogramArea",     "TestExtractMinutiae",
    "TestProcessBlock",     "SetPixelDebug",
    "SetBlockDebug",        "GetGaborFilter",
    "GetGaborFilterBySpec", "CreateGaborFilter",
    "Generalize",           "IdentifyBegin",
    "IdentifyBeginDbg",     "IdentifyStep",
    "IdentifyStepDbg",      "IdentifyEnd",
    "FilterMinutiae",       "AnalisaImagem",
    "AnalisarResultadoA",   "TestCalculateSegment",
    "TestRedimImage",       "TestCalculate"};

TOmImage::TOmImage(int32_t width, int32_t height, uint16_t* buffer) : FHeight(height), FWidth(width) {
  if (width < 0 || height < 0) throw Exception("Invalid work image size");
  if (buffer) {
    FBuffer = buffer;
  } else {
    FProprio.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
    FBuffer = FProprio.data();
  }
}

TOmTemplate::~TOmTemplate() {
  if (FInterface) reinterpret_cast<TFnTemplateRelease>(Operacao(0))(FInterface);
}

void* TOmTemplate::Operacao(size_t indice) const {
  void* const* tabela = *static_cast<void* const* const*>(FInterface);
  return tabela[indice];
}

int32_t TOmTemplate::ExportNFRecord(uint8_t* buffer, int32_t width, int32_t height, int32_t horzResolution,
                                    int32_t vertResolution, int32_t first, int32_t second, bool flag1, bool flag2) {
  if (!FInterface) return 0;
  auto exportar = reinterpret_cast<TFnTemplateExport>(Operacao(3));
  return exportar(FInterface, buffer, width, height, horzResolution, vertResolution, first, second, flag1, flag2);
}

std::string TOmExtractDll::NomeArquivo() { return std::string("OmExtract") + plat::ModuleSuffix(); }

TOmExtractDll::TOmExtractDll() {
  plat::SetLastError(0);
  std::string nome = NomeArquivo();
  FModulo = plat::LoadModuleByName(nome);
  if (!FModulo) FModulo = plat::LoadModule(PegPastaBiblioteca(nome), false);
  if (!FModulo) throw MakeOSError(plat::LastError());
  Carregar();
}

TOmExtractDll::TOmExtractDll(const std::vector<std::string>& candidatos) {
  plat::SetLastError(0);
  for (const auto& c : candidatos) {
    FModulo = plat::LoadModule(c, false);
    if (FModulo) break;
  }
  if (!FModulo) throw MakeOSError(plat::LastError());
  Carregar();
}

void TOmExtractDll::Carregar() {
  // The engine stays loaded for the life of the process: template objects and
  // configuration records handed to Java refer to its code.
  for (size_t i = 0; i < kNumEntradas; ++i) {
    FEntradas[i] = plat::GetSymbol(FModulo, kNomesEntradas[i]);
    if (!FEntradas[i]) Trace("OmExtract: no entry point %s", kNomesEntradas[i]);
  }
}

void* TOmExtractDll::Entrada(const std::string& nome) const {
  for (size_t i = 0; i < kNumEntradas; ++i)
    if (nome == kNomesEntradas[i]) return FEntradas[i];
  return nullptr;
}

void TOmExtractDll::PegParametrosDefault(TOmExtractorConfiguration& config) {
  if (auto f = reinterpret_cast<TFnGetDefaultConfig>(FEntradas[kGetDefaultConfig])) f(&config);
}

std::unique_ptr<TOmTemplate> TOmExtractDll::ExtractMinutiae(const uint8_t* pixels, int32_t width, int32_t height,
                                                            int32_t resolution, TOmExtractorConfiguration* config) {
  auto extrair = reinterpret_cast<TFnExtractMinutiae>(FEntradas[kExtractMinutiae]);
  if (!extrair) return nullptr;
  if (!FImagemBinaria || FImagemBinaria->Width() != width || FImagemBinaria->Height() != height) {
    FImagemBinaria.reset();
    FImagemBinaria = std::make_unique<TOmImage>(width, height);
  }
  void* objeto = extrair(pixels, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                         static_cast<uint32_t>(resolution), config, FExtrairEsqueleto ? 0xFFFF : 0,
                         FImagemBinaria->GetPointer(0, 0));
  if (!objeto) return nullptr;
  return std::make_unique<TOmTemplate>(objeto);
}
