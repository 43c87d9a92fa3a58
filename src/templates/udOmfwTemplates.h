// Reading the items of NFRecord templates: minutiae, cores, deltas and double
// cores. Every read is bounded by the template's length; a template too short
// for what is asked holds no items of that kind.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

enum TTipoItemNF : int32_t { tiMinucia = 0, tiNucleo = 1, tiDelta = 2, tiNucleoDuplo = 3 };

// Where the items of one kind lie: Quantidade records of Passo bytes from Inicio.
struct TLocalItensNF {
  int32_t Tipo = 0;
  int32_t Quantidade = 0;
  size_t Inicio = 0;
  size_t Passo = 0;
  uint8_t Flags = 0;  // minutiae only: bit 0 quality, bit 1 curvature, bit 2 G present
};

// One item as read; fields a kind lacks stay 0. Absent optional minutia bytes read as 255.
struct TItemNF {
  int32_t X = 0, Y = 0, Tipo = 0, Angulo = 0;
  int32_t Qualidade = 0, Curvatura = 0, G = 0;
  int32_t Angulo1 = 0, Angulo2 = 0, Angulo3 = 0;
};

// Locates the items of `tipo` in the `tamanho` bytes at `dados`. Returns nothing
// when the template is too short for the kind, when the kind is unknown, when
// the length-prefixed block has a negative length, or when the records of the
// kind would run past the end of the bytes (so every item it reports can be
// read whole).
std::optional<TLocalItensNF> LocalizarItensNF(const uint8_t* dados, size_t tamanho, int32_t tipo);

// Number of items of `tipo`, 0 wherever LocalizarItensNF finds nothing.
int32_t ContarItensNF(const uint8_t* dados, size_t tamanho, int32_t tipo);

// Reads item `indice` (0 <= indice < local.Quantidade) of a located kind.
TItemNF LerItemNF(const uint8_t* dados, const TLocalItensNF& local, int32_t indice);
