// What the fake engine tells the tests about the calls it received.
#pragma once
#include <cstdint>

struct TFakeEstado {
  int32_t templatesVivos;     // created and not yet released
  int32_t extracoes;          // ExtractMinutiae calls
  int32_t exportacoes;        // export calls, with or without a buffer
  uint32_t ultimaLargura, ultimaAltura, ultimaResolucao;
  uint16_t ultimoEsqueleto;
  const void* ultimaConfig;
  const void* ultimoTrabalho;
  int32_t ultimoPrimeiro, ultimoSegundo;  // the export's two integers
  int32_t ultimaResolucaoH, ultimaResolucaoV;
  uint8_t ultimasFlags[2];
};

// Exported by the fake as "FakeEstado"; not one of the engine's entry points.
using TFnFakeEstado = TFakeEstado*(*)();
