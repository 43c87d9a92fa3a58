// Extraction speed on a synthetic print and, when present, the sample pictures.
#include <benchmark/benchmark.h>

#include "config.h"
#include "extractor.h"
#include "fpsynth/fpsynth.h"

namespace {

void BM_Extract(benchmark::State& state) {
  fpsynth::Params p;
  p.width = static_cast<int>(state.range(0));
  p.height = static_cast<int>(state.range(1));
  p.fast = true;
  auto fp = fpsynth::Generate(p, 11);
  auto cfg = omx::DefaultConfig();
  omx::Features f;
  for (auto _ : state) {
    omx::Extract(fp.pixels.data(), static_cast<uint32_t>(fp.width), static_cast<uint32_t>(fp.height), 500, cfg, false, nullptr, f);
    benchmark::DoNotOptimize(f.minutiae.data());
  }
  state.counters["minutiae"] = static_cast<double>(f.minutiae.size());
}
BENCHMARK(BM_Extract)->Args({388, 374})->Args({832, 768})->Unit(benchmark::kMillisecond);

void BM_Generate(benchmark::State& state) {
  fpsynth::Params p;
  p.fast = state.range(0) != 0;
  uint32_t seed = 0;
  for (auto _ : state) benchmark::DoNotOptimize(fpsynth::Generate(p, seed++).pixels.data());
}
BENCHMARK(BM_Generate)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
