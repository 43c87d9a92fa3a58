// Binding to the extraction engine "OmExtract" (".dll" on Windows, ".so" on
// POSIX), an outside library loaded at run time and never unloaded.
//
// What the library needs of an engine:
//   GetDefaultConfig(config)            fills a TOmExtractorConfiguration;
//   ExtractMinutiae(pixels, w, h, res, config, skeleton, work)
//                                       returns a template object or null;
//   the template object's first word points to its operation table, whose
//   entry 0 releases the object and entry 3 exports it as NFRecord bytes:
//   export(obj, buffer, w, h, hres, vres, int1, int2, bool1, bool2) returns
//   the record's size; a null buffer only asks for the size.
// The other entry points are looked up by name but never called.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The platform's standard calling convention for the engine's functions
// (x64 has only one).
#if defined(_WIN32) && defined(__i386__)
#define OMEXTRACT_CALL __stdcall
#else
#define OMEXTRACT_CALL
#endif

enum TOmMinutiaType : int32_t { FP_RIDGE_ENDING = 0, FP_BIFURCATION = 1 };

// The engine's configuration record: 136 bytes, read and written by the engine only.
struct TOmExtractorConfiguration {
  int32_t LimiarVariancia;
  int32_t MediaDesejada;
  int32_t VarianciaDesejada;
  double FatorGabor;
  bool PassoRemoverDirecoes1;
  bool PassoSuavizar1;
  bool PassoRemoverDirecoes2;
  bool PassoSuavizar2;
  int16_t TipoDirecoes;
  bool PermitirQMenor;
  bool MediaDirecoesSimples1;
  bool MediaDirecoesSimples2;
  bool MediaGauss;
  bool EliminarMinucias;
  bool TruncarArea;
  bool ApagarAreaRuim;
  bool BinSimples;
  bool FiltraMaxLocal;
  bool Gabor2x;
  bool ShrinkGabor;
  bool SuavizaLarguras;
  bool EliminarMinuciasQ;
  bool SuavizaPre1;
  bool SuavizaPre2;
  bool UsaGauss;
  double SigmaGabor;
  bool UsaMediana;
  bool UsaVarianciaMaior;
  bool UsaFatorMedia;
  bool NormalizaPonderado;
  int32_t EscalaGabor;
  int32_t LimiarAlfa;
  bool InterpolaDirecoes;
  double LimiarQ1;
  double LimiarQ2;
  bool FiltraFalsosPicos;
  int32_t MaxLegMinutia;
  bool UsaCMV;
  int32_t MaxMediaFG;
  double MinQFG;
  double MinContrasteFG;
  double PesoDF;
  bool SemNormalizar;
};

static_assert(sizeof(bool) == 1 && sizeof(double) == 8);
static_assert(sizeof(TOmExtractorConfiguration) == 136);
static_assert(offsetof(TOmExtractorConfiguration, LimiarVariancia) == 0);
static_assert(offsetof(TOmExtractorConfiguration, MediaDesejada) == 4);
static_assert(offsetof(TOmExtractorConfiguration, VarianciaDesejada) == 8);
static_assert(offsetof(TOmExtractorConfiguration, FatorGabor) == 16);
static_assert(offsetof(TOmExtractorConfiguration, PassoRemoverDirecoes1) == 24);
static_assert(offsetof(TOmExtractorConfiguration, PassoSuavizar1) == 25);
static_assert(offsetof(TOmExtractorConfiguration, PassoRemoverDirecoes2) == 26);
static_assert(offsetof(TOmExtractorConfiguration, PassoSuavizar2) == 27);
static_assert(offsetof(TOmExtractorConfiguration, TipoDirecoes) == 28);
static_assert(offsetof(TOmExtractorConfiguration, PermitirQMenor) == 30);
static_assert(offsetof(TOmExtractorConfiguration, MediaDirecoesSimples1) == 31);
static_assert(offsetof(TOmExtractorConfiguration, MediaDirecoesSimples2) == 32);
static_assert(offsetof(TOmExtractorConfiguration, MediaGauss) == 33);
static_assert(offsetof(TOmExtractorConfiguration, EliminarMinucias) == 34);
static_assert(offsetof(TOmExtractorConfiguration, TruncarArea) == 35);
static_assert(offsetof(TOmExtractorConfiguration, ApagarAreaRuim) == 36);
static_assert(offsetof(TOmExtractorConfiguration, BinSimples) == 37);
static_assert(offsetof(TOmExtractorConfiguration, FiltraMaxLocal) == 38);
static_assert(offsetof(TOmExtractorConfiguration, Gabor2x) == 39);
static_assert(offsetof(TOmExtractorConfiguration, ShrinkGabor) == 40);
static_assert(offsetof(TOmExtractorConfiguration, SuavizaLarguras) == 41);
static_assert(offsetof(TOmExtractorConfiguration, EliminarMinuciasQ) == 42);
static_assert(offsetof(TOmExtractorConfiguration, SuavizaPre1) == 43);
static_assert(offsetof(TOmExtractorConfiguration, SuavizaPre2) == 44);
static_assert(offsetof(TOmExtractorConfiguration, UsaGauss) == 45);
static_assert(offsetof(TOmExtractorConfiguration, SigmaGabor) == 48);
static_assert(offsetof(TOmExtractorConfiguration, UsaMediana) == 56);
static_assert(offsetof(TOmExtractorConfiguration, UsaVarianciaMaior) == 57);
static_assert(offsetof(TOmExtractorConfiguration, UsaFatorMedia) == 58);
static_assert(offsetof(TOmExtractorConfiguration, NormalizaPonderado) == 59);
static_assert(offsetof(TOmExtractorConfiguration, EscalaGabor) == 60);
static_assert(offsetof(TOmExtractorConfiguration, LimiarAlfa) == 64);
static_assert(offsetof(TOmExtractorConfiguration, InterpolaDirecoes) == 68);
static_assert(offsetof(TOmExtractorConfiguration, LimiarQ1) == 72);
static_assert(offsetof(TOmExtractorConfiguration, LimiarQ2) == 80);
static_assert(offsetof(TOmExtractorConfiguration, FiltraFalsosPicos) == 88);
static_assert(offsetof(TOmExtractorConfiguration, MaxLegMinutia) == 92);
static_assert(offsetof(TOmExtractorConfiguration, UsaCMV) == 96);
static_assert(offsetof(TOmExtractorConfiguration, MaxMediaFG) == 100);
static_assert(offsetof(TOmExtractorConfiguration, MinQFG) == 104);
static_assert(offsetof(TOmExtractorConfiguration, MinContrasteFG) == 112);
static_assert(offsetof(TOmExtractorConfiguration, PesoDF) == 120);
static_assert(offsetof(TOmExtractorConfiguration, SemNormalizar) == 128);

// The engine's exported functions that the library calls, and the two
// operations of its template object. Records and objects pass as plain
// pointers: the engine declares its own types for them.
using TFnGetDefaultConfig = void(OMEXTRACT_CALL*)(void* config);
using TFnExtractMinutiae = void*(OMEXTRACT_CALL*)(const uint8_t* pixels, uint32_t width, uint32_t height,
                                                  uint32_t resolution, void* config, uint16_t skeleton,
                                                  uint16_t* work);
using TFnTemplateRelease = void(OMEXTRACT_CALL*)(void* self);
using TFnTemplateExport = int32_t(OMEXTRACT_CALL*)(void* self, uint8_t* buffer, int32_t width, int32_t height,
                                                   int32_t horzResolution, int32_t vertResolution, int32_t first,
                                                   int32_t second, bool flag1, bool flag2);

// A work image of width x height 16-bit elements, row by row.
class TOmImage {
 public:
  // On `buffer` (not owned) or, when it is null, on a new zeroed one.
  TOmImage(int32_t width, int32_t height, uint16_t* buffer = nullptr);
  TOmImage(const TOmImage&) = delete;
  TOmImage& operator=(const TOmImage&) = delete;

  int32_t Width() const { return FWidth; }
  int32_t Height() const { return FHeight; }
  uint16_t* GetPointer(int32_t y, int32_t x) { return FBuffer + static_cast<size_t>(y) * FWidth + x; }

 private:
  int32_t FHeight;
  int32_t FWidth;
  std::vector<uint16_t> FProprio;
  uint16_t* FBuffer;
};

// The engine's template object; destroying the wrapper releases it.
class TOmTemplate {
 public:
  explicit TOmTemplate(void* objeto) : FInterface(objeto) {}
  ~TOmTemplate();
  TOmTemplate(const TOmTemplate&) = delete;
  TOmTemplate& operator=(const TOmTemplate&) = delete;

  int32_t ExportNFRecord(uint8_t* buffer, int32_t width, int32_t height, int32_t horzResolution,
                         int32_t vertResolution, int32_t first, int32_t second, bool flag1, bool flag2);

 private:
  void* Operacao(size_t indice) const;
  void* FInterface;
};

class TOmExtractDll {
 public:
  // The engine's entry points, in the order they are looked up.
  static constexpr size_t kNumEntradas = 36;
  static const std::array<const char*, kNumEntradas> kNomesEntradas;

  // "OmExtract" with the platform's module suffix.
  static std::string NomeArquivo();

  // Loads the engine by the system's search order, then from the library's
  // own folder. Throws EOSError with the system's last error when both fail.
  TOmExtractDll();
  // Loads the engine from the given files, in order (used by the tests).
  explicit TOmExtractDll(const std::vector<std::string>& candidatos);
  TOmExtractDll(const TOmExtractDll&) = delete;
  TOmExtractDll& operator=(const TOmExtractDll&) = delete;

  // The entry point by name, or null when the engine lacks it.
  void* Entrada(const std::string& nome) const;

  // Has the engine fill `config` with its defaults; leaves it untouched when
  // the engine has no GetDefaultConfig.
  void PegParametrosDefault(TOmExtractorConfiguration& config);

  // The template of a width x height grey image, owned by the caller, or null
  // when the engine has no ExtractMinutiae or finds no template.
  std::unique_ptr<TOmTemplate> ExtractMinutiae(const uint8_t* pixels, int32_t width, int32_t height,
                                               int32_t resolution, TOmExtractorConfiguration* config);

 private:
  void Carregar();

  bool FExtrairEsqueleto = false;
  std::unique_ptr<TOmImage> FImagemBinaria;
  void* FModulo = nullptr;
  std::array<void*, kNumEntradas> FEntradas{};
};
