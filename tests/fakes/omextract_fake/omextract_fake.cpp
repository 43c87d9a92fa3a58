// Fake extraction engine. Blank or empty images give no template; any other
// image gives a few minutiae computed from its statistics, so that the same
// image always yields the same record. It reads every pixel and writes every
// element of the work image, so that the sanitizers catch a caller that hands
// it short buffers.
#include <cstdint>
#include <cstring>
#include <vector>

#include "omextract_fake.h"

#if defined(_WIN32)
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

TFakeEstado g_estado{};

struct TModelo;
using TOperacao = void*;

struct TModelo {
  const TOperacao* tabela;
  uint32_t largura, altura;
  uint32_t media, variancia;
};

// The operations take the object as a plain pointer, as the binding calls them.
void Liberar(void* m) {
  --g_estado.templatesVivos;
  delete static_cast<TModelo*>(m);
}
void NaoUsada(void*) {}

void Por32(std::vector<uint8_t>& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t Palavra(uint32_t x, uint32_t y, uint32_t tipo, uint32_t angulo) {
  return ((x & 0x7FF) << 21) | ((y & 0x7FF) << 10) | ((tipo & 3) << 8) | (angulo & 0xFF);
}

std::vector<uint8_t> Registro(const TModelo& m, int32_t formato, int32_t tamanho, bool singulares) {
  const uint8_t flags = formato == 0 ? 0 : formato == 1 ? 1 : 7;
  const int opcionais = (flags & 1) + ((flags >> 1) & 1) + ((flags >> 2) & 1);
  const uint32_t limite = tamanho == 0 ? 2 : tamanho == 1 ? 4 : 255;
  uint32_t n = 1 + m.media / 32;  // 1 to 8
  if (n > limite) n = limite;
  std::vector<uint8_t> r(22, 0);
  std::memcpy(r.data(), "FAKE", 4);
  r.push_back(flags);
  r.push_back(0);
  r.push_back(static_cast<uint8_t>(n));
  r.push_back(static_cast<uint8_t>(4 + opcionais));
  for (uint32_t i = 0; i < n; ++i) {
    Por32(r, Palavra((i * 37 + m.media) % m.largura, (i * 53 + m.variancia) % m.altura, i % 2, i * 32 + m.media));
    if (flags & 1) r.push_back(static_cast<uint8_t>(40 + i));
    if (flags & 2) r.push_back(static_cast<uint8_t>(i));
    if (flags & 4) r.push_back(static_cast<uint8_t>(m.media));
  }
  r.push_back(0);
  r.push_back(2);  // L = 2
  r.push_back(0);
  r.push_back(0xAB);
  r.push_back(0xCD);
  r.push_back(singulares ? 1 : 0);  // cores
  r.push_back(4);
  if (singulares) Por32(r, Palavra(m.largura / 2, m.altura / 2, 0, 64));
  r.push_back(singulares ? 1 : 0);  // deltas
  r.push_back(7);
  if (singulares) {
    Por32(r, Palavra(m.largura / 4, m.altura - 1, 0, 0));
    r.push_back(10);
    r.push_back(20);
    r.push_back(30);
  }
  r.push_back(0);  // double cores
  r.push_back(4);
  return r;
}

int32_t Exportar(void* objeto, uint8_t* buffer, int32_t largura, int32_t altura, int32_t resH, int32_t resV,
                 int32_t primeiro, int32_t segundo, bool flag1, bool flag2) {
  ++g_estado.exportacoes;
  g_estado.ultimoPrimeiro = primeiro;
  g_estado.ultimoSegundo = segundo;
  g_estado.ultimaResolucaoH = resH;
  g_estado.ultimaResolucaoV = resV;
  g_estado.ultimasFlags[0] = flag1;
  g_estado.ultimasFlags[1] = flag2;
  std::vector<uint8_t> r = Registro(*static_cast<TModelo*>(objeto), primeiro, segundo, flag1);
  if (buffer) std::memcpy(buffer, r.data(), r.size());
  return static_cast<int32_t>(r.size());
}

[[maybe_unused]] const TOperacao kTabela[4] = {
    reinterpret_cast<TOperacao>(&Liberar), reinterpret_cast<TOperacao>(&NaoUsada),
    reinterpret_cast<TOperacao>(&NaoUsada), reinterpret_cast<TOperacao>(&Exportar)};

}  // namespace

FAKE_EXPORT TFakeEstado* FakeEstado() { return &g_estado; }

// Present so that the binding finds more than the two entry points it calls.
FAKE_EXPORT int32_t MatchMinutiae() { return 0; }

#ifndef FAKE_SEM_DEFAULTS
// Written by byte offset, independently of the binding's record declaration.
FAKE_EXPORT void GetDefaultConfig(void* config) {
  auto* b = static_cast<uint8_t*>(config);
  const int32_t media = 128, escala = 3;
  const int16_t tipo = 2;
  const double fator = 1.5, sigma = 4.25, peso = 0.75;
  std::memcpy(b + 4, &media, 4);
  std::memcpy(b + 16, &fator, 8);
  b[24] = 1;
  std::memcpy(b + 28, &tipo, 2);
  b[45] = 1;
  std::memcpy(b + 48, &sigma, 8);
  std::memcpy(b + 60, &escala, 4);
  std::memcpy(b + 120, &peso, 8);
  b[128] = 1;
}
#endif

#ifndef FAKE_SEM_EXTRACAO
FAKE_EXPORT void* ExtractMinutiae(const uint8_t* pixels, uint32_t largura, uint32_t altura, uint32_t resolucao,
                                  void* config, uint16_t esqueleto, uint16_t* trabalho) {
  ++g_estado.extracoes;
  g_estado.ultimaLargura = largura;
  g_estado.ultimaAltura = altura;
  g_estado.ultimaResolucao = resolucao;
  g_estado.ultimoEsqueleto = esqueleto;
  g_estado.ultimaConfig = config;
  g_estado.ultimoTrabalho = trabalho;
  const uint64_t total = static_cast<uint64_t>(largura) * altura;
  if (total == 0 || !pixels || !trabalho || !config) return nullptr;
  uint64_t soma = 0, soma2 = 0;
  uint8_t minimo = 255, maximo = 0;
  for (uint64_t i = 0; i < total; ++i) {
    const uint8_t p = pixels[i];
    soma += p;
    soma2 += static_cast<uint64_t>(p) * p;
    if (p < minimo) minimo = p;
    if (p > maximo) maximo = p;
    trabalho[i] = p < 128 ? 0xFFFF : 0;
  }
  if (minimo == maximo) return nullptr;  // a blank image holds no fingerprint
  auto* m = new TModelo{kTabela, largura, altura, static_cast<uint32_t>(soma / total), 0};
  m->variancia = static_cast<uint32_t>(soma2 / total - static_cast<uint64_t>(m->media) * m->media);
  ++g_estado.templatesVivos;
  return m;
}
#endif
