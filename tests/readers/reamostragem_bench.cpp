// Cost of bringing one Ridgeway image to its fixed size (runs once per image on
// the delivery thread).
#include <benchmark/benchmark.h>

#include <vector>

#include "readers/ScanManInterno.h"

static void BM_Reamostrar448x511Para320x365(benchmark::State& state) {
  std::vector<uint8_t> fonte(448 * 511);
  for (size_t i = 0; i < fonte.size(); ++i) fonte[i] = static_cast<uint8_t>(i * 31);
  std::vector<uint8_t> destino(320 * 365);
  for (auto _ : state) {
    ReamostrarArea(fonte.data(), 448, 511, 448, 511, destino.data(), 320, 365, state.range(0) != 0);
    benchmark::DoNotOptimize(destino.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Reamostrar448x511Para320x365)->Arg(0)->Arg(1);

BENCHMARK_MAIN();
