// The configuration record the host keeps for us (136 bytes, natural alignment).
#pragma once

#include <cstddef>
#include <cstdint>

namespace omx {

struct TOmExtractorConfiguration {
  int32_t LimiarVariancia;      // least local grey variance of fingerprint area
  int32_t MediaDesejada;        // work image: mean of the enhanced picture
  int32_t VarianciaDesejada;    // work image: variance of the enhanced picture
  double FatorGabor;            // along-ridge spread of the filter, relative to the across-ridge one
  bool PassoRemoverDirecoes1;
  bool PassoSuavizar1;          // smooth the orientation field
  bool PassoRemoverDirecoes2;
  bool PassoSuavizar2;
  int16_t TipoDirecoes;
  bool PermitirQMenor;
  bool MediaDirecoesSimples1;
  bool MediaDirecoesSimples2;
  bool MediaGauss;
  bool EliminarMinucias;        // remove false minutiae (spurs, breaks, bridges, short ridges)
  bool TruncarArea;             // drop minutiae near the rim of the fingerprint area
  bool ApagarAreaRuim;
  bool BinSimples;              // binarise the normalised picture without contextual filtering
  bool FiltraMaxLocal;
  bool Gabor2x;
  bool ShrinkGabor;
  bool SuavizaLarguras;
  bool EliminarMinuciasQ;
  bool SuavizaPre1;
  bool SuavizaPre2;
  bool UsaGauss;
  double SigmaGabor;            // across-ridge spread of the filter, in ridge periods
  bool UsaMediana;
  bool UsaVarianciaMaior;
  bool UsaFatorMedia;
  bool NormalizaPonderado;
  int32_t EscalaGabor;          // filter half-length, in tenths of its spread
  int32_t LimiarAlfa;
  bool InterpolaDirecoes;
  double LimiarQ1;              // least minutia quality (0-100) kept
  double LimiarQ2;              // least minutia quality (0-100) against the picture's own contrast
  bool FiltraFalsosPicos;
  int32_t MaxLegMinutia;        // pixels followed along a ridge for directions and checks
  bool UsaCMV;
  int32_t MaxMediaFG;
  double MinQFG;                // least orientation coherence (0-1) of fingerprint area
  double MinContrasteFG;
  double PesoDF;
  bool SemNormalizar;           // use the global mean and spread instead of local ones
};

static_assert(sizeof(TOmExtractorConfiguration) == 136);
static_assert(offsetof(TOmExtractorConfiguration, FatorGabor) == 16);
static_assert(offsetof(TOmExtractorConfiguration, TipoDirecoes) == 28);
static_assert(offsetof(TOmExtractorConfiguration, UsaGauss) == 45);
static_assert(offsetof(TOmExtractorConfiguration, SigmaGabor) == 48);
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

// Every field zero except the ones this engine reads.
TOmExtractorConfiguration DefaultConfig();

}  // namespace omx
