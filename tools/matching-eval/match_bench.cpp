// Speed of the matcher (Google Benchmark):
//   - comparisons per second on one core, probe prepared once;
//   - one identification over 100,000 templates on every core;
//   - preparing a probe and a candidate.
// Templates are made directly from placed minutiae (placed.h).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "matching/Filter.h"
#include "matching/Gallery.h"
#include "matching/Matcher.h"
#include "placed.h"
#include "tuning.h"

namespace {

std::vector<uint8_t> PlacedTemplate(std::mt19937& rng) { return placed::Record(placed::Finger(rng)); }

struct Set {
  std::vector<std::vector<uint8_t>> records;
  std::vector<std::vector<uint8_t>> blocks;
  explicit Set(int n, uint32_t seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < n; ++i) {
      records.push_back(PlacedTemplate(rng));
      blocks.emplace_back();
      matching::PrepareTemplate(records.back().data(), records.back().size(), blocks.back());
    }
  }
};

const Set& Candidates() {
  static const Set s(2000, 11);
  return s;
}

void BM_CompareWithPreparedProbe(benchmark::State& state) {
  const Set& s = Candidates();
  matching::TProbe probe(s.records[0].data(), s.records[0].size());
  matching::TComparison c;
  size_t k = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(c.Score(probe, s.blocks[k].data()));
    if (++k == s.blocks.size()) k = 1;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CompareWithPreparedProbe);

void BM_PrepareProbe(benchmark::State& state) {
  const Set& s = Candidates();
  size_t k = 0;
  for (auto _ : state) {
    matching::TProbe probe(s.records[k].data(), s.records[k].size());
    benchmark::DoNotOptimize(probe.Template().Count);
    if (++k == s.records.size()) k = 0;
  }
}
BENCHMARK(BM_PrepareProbe);

void BM_PrepareCandidate(benchmark::State& state) {
  const Set& s = Candidates();
  std::vector<uint8_t> block;
  size_t k = 0;
  double bytes = 0;
  for (auto _ : state) {
    block.clear();
    matching::PrepareTemplate(s.records[k].data(), s.records[k].size(), block);
    benchmark::DoNotOptimize(block.data());
    bytes += static_cast<double>(block.size());
    if (++k == s.records.size()) k = 0;
  }
  state.counters["block_bytes"] = benchmark::Counter(bytes, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_PrepareCandidate);

// The filter: a candidate's key (made when it is enrolled) and the score of
// one key against a prepared probe.
void BM_FilterKey(benchmark::State& state) {
  const Set& s = Candidates();
  std::vector<uint8_t> key;
  size_t k = 0;
  for (auto _ : state) {
    key.clear();
    matching::MakeFilterKey(s.blocks[k].data(), key);
    benchmark::DoNotOptimize(key.data());
    if (++k == s.blocks.size()) k = 0;
  }
}
BENCHMARK(BM_FilterKey);

void BM_FilterScore(benchmark::State& state) {
  const Set& s = Candidates();
  std::vector<std::vector<uint8_t>> keys(s.blocks.size());
  for (size_t i = 0; i < keys.size(); ++i) matching::MakeFilterKey(s.blocks[i].data(), keys[i]);
  matching::TFilterProbe probe;
  probe.Prepare(s.blocks[0].data());
  size_t k = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(probe.Score(keys[k].data(), keys[k].size()));
    if (++k == keys.size()) k = 1;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FilterScore);

// 100,000 enrolled templates with their filter keys made, as a large gallery
// has them once its keyer is done.
matching::TGallery& Gallery100k() {
  static matching::TGallery* gallery = [] {
    auto* g = new matching::TGallery;
    std::mt19937 rng(5);
    for (int i = 0; i < 100000; ++i) {
      const auto rec = PlacedTemplate(rng);
      g->Add(i + 1, rec.data(), rec.size());
    }
    g->MakeKeys();
    return g;
  }();
  return *gallery;
}

void Identify100k(benchmark::State& state) {
  matching::TGallery& gallery = Gallery100k();
  const Set& s = Candidates();
  size_t k = 0;
  for (auto _ : state) {
    auto found = gallery.Identify(s.records[k].data(), s.records[k].size(), 10, 1);
    benchmark::DoNotOptimize(found.data());
    if (++k == s.records.size()) k = 0;
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(gallery.Count()));
  // What the gallery holds per template by its own accounting, keys
  // included: the sizing of a shard (templates per GB of memory) rests on it.
  state.counters["bytes_per_template"] =
      static_cast<double>(gallery.MemoryBytes()) / static_cast<double>(gallery.Count());
}

// One identification over 100,000 enrolled templates, every core: ranked by
// the filter, the best 2 % compared in full.
void BM_Identify100k(benchmark::State& state) { Identify100k(state); }
BENCHMARK(BM_Identify100k)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// The same, every template compared in full.
void BM_Identify100kFull(benchmark::State& state) {
  const size_t from = matching::SearchTuning().FilterFrom;
  Gallery100k();
  matching::SearchTuning().FilterFrom = matching::kFilterOff;
  Identify100k(state);
  matching::SearchTuning().FilterFrom = from;
}
BENCHMARK(BM_Identify100kFull)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

}  // namespace

int main(int argc, char** argv) {
  if (!tuning::Take(argc, argv)) return 2;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
