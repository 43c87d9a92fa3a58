// Identification among a million templates: time, memory and what the filter
// costs in accuracy.
//
//   match_million [--count N] [--seed S] [--cache FILE] [--templates DIR]
//                 [--keep PERMILLE,...] [--timing-probes K] [--threads T]
//                 [--filter NAME=VALUE]... [--reals-only] [--exact]
//
// The gallery holds N templates of placed minutiae (generated.h, one
// impression of each of N fingers; prepared once and kept in FILE, default
// build/linux/million-N-S.blocks, for the next run) and, with --templates,
// the real templates DIR/SET/FFF_I.nfr (real_eval --templates-out DIR), ids
// 0 to 399 before the generated ones.
//
// Printed: the gallery's own accounting per template; the wall time of one
// identification (real probes, or generated ones without --templates), median
// and range over K probes, at the shipped share; and with --templates, for
// each share kept by the filter, the identification miss rate of the real
// impressions as probes (every other impression in the gallery; a miss: the
// best candidate at threshold(1e-3) is not an impression of the probe's
// finger). The full search's miss rate among N is not computed unless --exact (it would
// take hours); it is bounded instead: a probe the full search finds cannot
// have its best mate beaten by any candidate the filtered search compared, so
// the full search misses at least the probes where that happens at the
// largest share, or where the best mate (every real template compared in
// full) is below the threshold or beaten by a real impostor. The filter's cost
// is at most the filtered miss rate minus that bound.
// --exact also runs the full search for every real probe and prints the
// filter's exact cost (hours of CPU at a million: for 100,000 or so).
// --reals-only skips the generated templates and ranks, in seconds, each real
// template against the other real ones only (RankReals): a quick first look
// at a filter variant, harsher than the gallery of generated templates (real
// impostors rank higher), before the long run.
// --filter sets one of the filter's constants (TFilterTuning: near,
// probe-near, side-steps, angle-step, spread, spread-mask, side-tol, turns,
// most, cell-mask) for
// trying variants.
// Lines "figure NAME VALUE" repeat the figures for scripts/bench.sh.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "generated.h"
#include "parallel.h"
#include "matching/Filter.h"
#include "matching/Gallery.h"
#include "matching/Matcher.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMagic = 0x4D4C4E31;  // the cache's first bytes

struct TReal {
  int Set = 0, Finger = 0;
  std::string Name;
  std::vector<uint8_t> Block;
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The prepared blocks of N generated templates, from the cache or made on
// every core (and cached). Empty with a message when the cache is not one
// this program wrote for these N and seed.
bool GeneratedBlocks(size_t n, uint64_t seed, const fs::path& cache, unsigned threads, std::vector<uint8_t>& out,
                     std::vector<size_t>& offsets) {
  struct THeader {
    uint32_t Magic, FpplaceVersion, BlockFormat, Reserved;
    uint64_t Count, Seed, Bytes;
  };
  std::ifstream in(cache, std::ios::binary);
  if (in) {
    THeader h{};
    in.read(reinterpret_cast<char*>(&h), sizeof h);
    if (!in || h.Magic != kMagic || h.FpplaceVersion != fpplace::kVersion || h.BlockFormat != matching::kBlockFormat ||
        h.Count != n || h.Seed != seed || h.Bytes > (uint64_t{1} << 40)) {
      std::fprintf(stderr, "match_million: %s is not a cache of %zu templates of seed %llu; remove it\n", cache.string().c_str(), n,
                   static_cast<unsigned long long>(seed));
      return false;
    }
    out.resize(h.Bytes);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    if (!in) {
      std::fprintf(stderr, "match_million: %s is cut short; remove it\n", cache.string().c_str());
      return false;
    }
    offsets.clear();
    for (size_t at = 0; at < out.size();) {
      if (out.size() - at < sizeof(matching::TBlockHeader)) break;
      const uint32_t size = reinterpret_cast<const matching::TBlockHeader*>(out.data() + at)->Size;
      try {
        matching::CheckBlock(out.data() + at, std::min<size_t>(size, out.size() - at));
      } catch (const matching::EMatching& e) {
        std::fprintf(stderr, "match_million: %s: block %zu: %s; remove it\n", cache.string().c_str(), offsets.size(), e.what());
        return false;
      }
      offsets.push_back(at);
      at += size;
    }
    if (offsets.size() != n) {
      std::fprintf(stderr, "match_million: %s holds %zu blocks, not %zu; remove it\n", cache.string().c_str(), offsets.size(), n);
      return false;
    }
    std::printf("%zu generated templates from %s\n", n, cache.string().c_str());
    return true;
  }
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::vector<uint8_t>> blocks(n);
  std::atomic<size_t> next{0};
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t)
    pool.emplace_back([&] {
      for (size_t i; (i = next.fetch_add(1)) < n;) {
        const auto rec = generated::Template(seed, static_cast<int>(i));
        matching::PrepareTemplate(rec.data(), rec.size(), blocks[i]);
        blocks[i].shrink_to_fit();
      }
    });
  for (auto& t : pool) t.join();
  out.clear();
  offsets.clear();
  for (const auto& b : blocks) {
    offsets.push_back(out.size());
    out.insert(out.end(), b.begin(), b.end());
  }
  std::printf("%zu generated templates made in %.0f s on %u threads\n", n, Seconds(t0), threads);
  std::error_code ec;
  fs::create_directories(cache.parent_path(), ec);
  std::ofstream f(cache, std::ios::binary);
  const THeader h{kMagic, static_cast<uint32_t>(fpplace::kVersion), matching::kBlockFormat, 0, n, seed, out.size()};
  f.write(reinterpret_cast<const char*>(&h), sizeof h);
  f.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  if (!f) std::fprintf(stderr, "match_million: could not write the cache %s\n", cache.string().c_str());
  return true;
}

bool ReadReals(const fs::path& dir, std::vector<TReal>& out) {
  std::vector<fs::path> sets;
  std::error_code ec;
  for (const auto& d : fs::directory_iterator(dir, ec))
    if (d.is_directory()) sets.push_back(d.path());
  std::sort(sets.begin(), sets.end());
  for (size_t s = 0; s < sets.size(); ++s) {
    std::vector<fs::path> files;
    for (const auto& f : fs::directory_iterator(sets[s]))
      if (f.path().extension() == ".nfr") files.push_back(f.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
      TReal r;
      r.Set = static_cast<int>(s);
      int impression = 0;
      if (std::sscanf(f.filename().string().c_str(), "%d_%d", &r.Finger, &impression) != 2) continue;
      r.Name = sets[s].filename().string() + "/" + f.filename().string();
      std::ifstream in(f, std::ios::binary);
      const std::vector<uint8_t> rec((std::istreambuf_iterator<char>(in)), {});
      try {
        matching::PrepareTemplate(rec.data(), rec.size(), r.Block);
      } catch (const matching::EMatching& e) {
        std::fprintf(stderr, "match_million: %s: %s\n", f.string().c_str(), e.what());
        return false;
      }
      out.push_back(std::move(r));
    }
  }
  if (out.empty()) std::fprintf(stderr, "match_million: no templates SET/FFF_I.nfr in %s\n", dir.string().c_str());
  return !out.empty();
}

std::vector<int> ParseList(const std::string& s) {
  std::vector<int> v;
  for (size_t at = 0; at < s.size();) {
    v.push_back(std::atoi(s.c_str() + at));
    const size_t comma = s.find(',', at);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return v;
}

bool SetFilter(const std::string& a) {
  auto& t = matching::FilterTuning();
  const std::pair<const char*, int*> fields[] = {{"near", &t.Near},           {"probe-near", &t.ProbeNear}, {"side-steps", &t.SideSteps},
                                                 {"angle-step", &t.AngleStep}, {"spread", &t.Spread},        {"side-tol", &t.SideTol},
                                                 {"spread-mask", &t.SpreadMask}, {"turns", &t.Turns}, {"most", &t.Most}, {"cell-mask", &t.CellMask}};
  const size_t eq = a.find('=');
  for (const auto& [name, field] : fields)
    if (eq != std::string::npos && a.compare(0, eq, name) == 0) {
      *field = std::atoi(a.c_str() + eq + 1);
      return true;
    }
  std::fprintf(stderr, "match_million: --filter NAME=VALUE, NAME one of near probe-near side-steps angle-step spread side-tol spread-mask turns most cell-mask\n");
  return false;
}

// Without generated templates, quickly: each real template as a probe
// against the other real ones. A probe counts as found by the full search when
// a mate scores at least threshold(1e-3) and above every real impostor; the
// filter keeping k per mille loses it when none of those mates ranks (by the
// filter) within the best k per mille of the probe's impostors.
void RankReals(const std::vector<TReal>& reals, const std::vector<int>& keeps, unsigned threads) {
  const size_t n = reals.size();
  std::vector<std::vector<uint8_t>> keys(n);
  double cells = 0, bytes = 0;
  for (size_t i = 0; i < n; ++i) {
    bytes += static_cast<double>(matching::MakeFilterKey(reals[i].Block.data(), keys[i]));
    cells += static_cast<double>(matching::UnpackFilterKey(keys[i].data(), keys[i].size()).size());
  }
  const int threshold = matching::Threshold(1e-3);
  auto mate = [&](size_t p, size_t j) { return j != p && reals[j].Set == reals[p].Set && reals[j].Finger == reals[p].Finger; };
  std::atomic<int> findable{0};
  std::atomic<int64_t> fill{0};
  std::vector<std::atomic<int>> lost(keeps.size());
  // Work space of each thread.
  std::vector<matching::TComparison> cmps(threads);
  std::vector<matching::TFilterProbe> fps(threads);
  std::vector<std::vector<int>> fulls(threads, std::vector<int>(n));
  std::vector<std::vector<int32_t>> filtered(threads, std::vector<int32_t>(n));
  evaltools::Parallel(static_cast<int>(n), static_cast<int>(threads), [&](int pi, int t) {
    const size_t p = static_cast<size_t>(pi);
    matching::TFilterProbe& fp = fps[t];
    std::vector<int>& full = fulls[t];
    std::vector<int32_t>& fs = filtered[t];
    matching::TProbe probe;
    probe.PrepareBlock(reals[p].Block.data());
    fp.Prepare(reals[p].Block.data());
    fill += fp.Fill();
    int bestImpostor = 0;
    std::vector<int32_t> impostors;
    for (size_t j = 0; j < n; ++j) {
      if (j == p) continue;
      full[j] = cmps[t].Score(probe, reals[j].Block.data());
      fs[j] = fp.Score(keys[j].data(), keys[j].size());
      if (!mate(p, j)) bestImpostor = std::max(bestImpostor, full[j]), impostors.push_back(fs[j]);
    }
    std::sort(impostors.begin(), impostors.end(), std::greater<>());
    bool found = false;
    int32_t bestMateFilter = INT32_MIN;
    for (size_t j = 0; j < n; ++j)
      if (mate(p, j) && full[j] >= threshold && full[j] > bestImpostor) found = true, bestMateFilter = std::max(bestMateFilter, fs[j]);
    if (!found) return;
    ++findable;
    // Impostors the filter ranks above the best such mate.
    const size_t above = static_cast<size_t>(std::upper_bound(impostors.begin(), impostors.end(), bestMateFilter, std::greater<>()) - impostors.begin());
    for (size_t k = 0; k < keeps.size(); ++k)
      if (above * 1000 >= static_cast<size_t>(keeps[k]) * impostors.size()) ++lost[k];
  });
  std::printf("real templates only: %zu, filter key %.0f triangles (%.0f bytes) on average, probe map %.1f %% set\n", n,
              cells / static_cast<double>(n), bytes / static_cast<double>(n),
              100.0 * static_cast<double>(fill.load()) / static_cast<double>(n) / 65536.0);
  std::printf("found by the full search among them: %d\n", findable.load());
  for (size_t k = 0; k < keeps.size(); ++k)
    std::printf("filter keeping %d per mille of the impostors: loses %d of those (%.2f points)\n", keeps[k], lost[k].load(),
                100.0 * lost[k].load() / static_cast<double>(n));
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = 1000000;
  uint64_t seed = 24;
  std::string cache, templates;
  std::vector<int> keeps = {matching::SearchTuning().KeepPerMille};
  int timingProbes = 20;
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  bool realsOnly = false, exact = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "match_million: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--count") count = std::strtoull(next().c_str(), nullptr, 10);
    else if (a == "--seed") seed = std::strtoull(next().c_str(), nullptr, 10);
    else if (a == "--cache") cache = next();
    else if (a == "--templates") templates = next();
    else if (a == "--keep") keeps = ParseList(next());
    else if (a == "--timing-probes") timingProbes = std::atoi(next().c_str());
    else if (a == "--filter") {
      if (!SetFilter(next())) return 2;
    } else if (a == "--reals-only") realsOnly = true;
    else if (a == "--exact") exact = true;
    else if (a == "--threads") threads = static_cast<unsigned>(std::max(1, std::atoi(next().c_str())));
    else {
      std::fprintf(stderr,
                   "usage: match_million [--count N] [--seed S] [--cache FILE] [--templates DIR] [--keep PERMILLE,...]\n"
                   "                     [--timing-probes K] [--threads T] [--filter NAME=VALUE]... [--reals-only] [--exact]\n");
      return 2;
    }
  }
  if (keeps.empty() || count == 0) return 2;
  std::sort(keeps.begin(), keeps.end());
  if (cache.empty()) cache = "build/linux/million-" + std::to_string(count) + "-" + std::to_string(seed) + ".blocks";

  std::vector<TReal> reals;
  if (!templates.empty() && !ReadReals(templates, reals)) return 1;
  if (realsOnly) {
    if (reals.empty()) return 2;
    RankReals(reals, keeps, threads);
    return 0;
  }
  std::vector<uint8_t> blocks;
  std::vector<size_t> offsets;
  if (!GeneratedBlocks(count, seed, cache, threads, blocks, offsets)) return 1;

  matching::TGallery gallery;
  const auto t0 = std::chrono::steady_clock::now();
  gallery.Reserve(count + reals.size());
  for (size_t r = 0; r < reals.size(); ++r) gallery.AddBlock(static_cast<int64_t>(r), reals[r].Block.data());
  const int64_t firstGenerated = static_cast<int64_t>(reals.size());
  for (size_t k = 0; k < count; ++k) gallery.AddBlock(firstGenerated + static_cast<int64_t>(k), blocks.data() + offsets[k]);
  const double loadS = Seconds(t0);
  // The keys the gallery's keyer makes in the background, made here on every
  // core instead, so that every search below is ranked by them.
  const auto keysFrom = std::chrono::steady_clock::now();
  if (gallery.MakeKeys(threads) != 0) {
    std::fprintf(stderr, "match_million: not every filter key could be made\n");
    return 1;
  }
  const double keysS = Seconds(keysFrom);
  // The generated templates' own blocks, for probes without real ones.
  const double perTemplate = static_cast<double>(gallery.MemoryBytes()) / static_cast<double>(gallery.Count());
  std::printf("gallery of %zu templates (%zu real) filled in %.1f s, its filter keys made in %.1f s on %u threads;\n"
              "its accounting: %.0f bytes per template\n",
              gallery.Count(), reals.size(), loadS, keysS, threads, perTemplate);
  std::printf("figure million_bytes_per_template %.0f\n", perTemplate);

  const int threshold = matching::Threshold(1e-3);
  // Time of one identification at the shipped share.
  {
    std::vector<double> times;
    for (int k = 0; k < timingProbes; ++k) {
      matching::TProbe probe;
      if (!reals.empty())
        probe.PrepareBlock(reals[static_cast<size_t>(k) * reals.size() / static_cast<size_t>(timingProbes) % reals.size()].Block.data());
      else
        probe.PrepareBlock(blocks.data() + offsets[static_cast<size_t>(k) * 7919 % count]);
      const auto s = std::chrono::steady_clock::now();
      const auto found = gallery.Identify(probe, 10, threshold, threads);
      times.push_back(Seconds(s));
    }
    std::sort(times.begin(), times.end());
    std::printf("one identification among %zu, %u threads, keeping %d per mille: median %.3f s (%.3f to %.3f) over %d probes\n",
                gallery.Count(), threads, matching::SearchTuning().KeepPerMille, Median(times), times.front(), times.back(),
                timingProbes);
    std::printf("figure million_identify_s %.3f\n", Median(times));
  }
  if (reals.empty()) return 0;

  // Full comparisons among the real templates: each probe's best mate and best real impostor.
  const size_t nr = reals.size();
  std::vector<int> bestMate(nr, -1), bestMateId(nr, -1), bestImpostor(nr, -1);
  {
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
      pool.emplace_back([&] {
        matching::TComparison c;
        for (size_t p; (p = next.fetch_add(1)) < nr;) {
          matching::TProbe probe;
          probe.PrepareBlock(reals[p].Block.data());
          for (size_t q = 0; q < nr; ++q) {
            if (q == p) continue;
            const int s = c.Score(probe, reals[q].Block.data());
            const bool mate = reals[q].Set == reals[p].Set && reals[q].Finger == reals[p].Finger;
            if (mate && s > bestMate[p]) bestMate[p] = s, bestMateId[p] = static_cast<int>(q);
            if (!mate) bestImpostor[p] = std::max(bestImpostor[p], s);
          }
        }
      });
    for (auto& t : pool) t.join();
  }

  // Filtered searches, the largest share first (its comparisons bound the full search).
  std::vector<int> missAt(keeps.size(), 0), lostAt(keeps.size(), 0);
  std::vector<char> fullMayFind(nr, 0);
  int fullMiss = 0;
  const int saved = matching::SearchTuning().KeepPerMille;
  const auto t1 = std::chrono::steady_clock::now();
  for (size_t p = 0; p < nr; ++p) {
    matching::TProbe probe;
    probe.PrepareBlock(reals[p].Block.data());
    std::vector<char> hitAt(keeps.size() + 1, 0);
    for (size_t k = keeps.size() + (exact ? 1 : 0); k-- > 0;) {
      // With --exact, last the full search (every template compared).
      matching::SearchTuning().KeepPerMille = k == keeps.size() ? 1000 : keeps[k];
      const auto found = gallery.Identify(probe, 12, threshold, threads);
      // The probe itself is enrolled: the best other candidate answers.
      const matching::TCandidate* first = nullptr;
      for (const auto& c : found)
        if (c.Id != static_cast<int64_t>(p)) {
          first = &c;
          break;
        }
      const bool hit = first && first->Id < firstGenerated && reals[static_cast<size_t>(first->Id)].Set == reals[p].Set &&
                       reals[static_cast<size_t>(first->Id)].Finger == reals[p].Finger;
      hitAt[k] = hit;
      if (k == keeps.size()) {
        fullMiss += !hit;
        continue;
      }
      if (!hit) ++missAt[k];
      if (k + 1 == keeps.size()) {
        // Whether a full search could find the probe's finger: its best mate
        // reaches the threshold and beats every real impostor and every
        // generated template compared here (equal scores: the lower id, a real one, first).
        bool beaten = false;
        for (const auto& c : found) beaten |= c.Id >= firstGenerated && c.Score > bestMate[p];
        fullMayFind[p] = bestMate[p] >= threshold && bestMate[p] > bestImpostor[p] && !beaten;
      }
    }
    if (exact)
      for (size_t k = 0; k < keeps.size(); ++k) lostAt[k] += hitAt[keeps.size()] && !hitAt[k];
    if ((p + 1) % 50 == 0)
      std::fprintf(stderr, "match_million: %zu of %zu probes, %.0f s\n", p + 1, nr, Seconds(t1));
  }
  matching::SearchTuning().KeepPerMille = saved;
  int fullBound = 0;
  for (size_t p = 0; p < nr; ++p) fullBound += !fullMayFind[p];
  const double boundPct = 100.0 * fullBound / static_cast<double>(nr);
  std::printf("real probes: %zu; full search among %zu misses at least %d (%.2f %%) at threshold(1e-3) = %d\n", nr,
              gallery.Count(), fullBound, boundPct, threshold);
  std::printf("figure million_full_miss_bound_pct %.2f\n", boundPct);
  for (size_t k = 0; k < keeps.size(); ++k) {
    const double pct = 100.0 * missAt[k] / static_cast<double>(nr);
    std::printf("filter keeping %d per mille (%zu compared in full): misses %d (%.2f %%), at most %.2f points more than the full search\n",
                keeps[k], std::max(matching::SearchTuning().Least, gallery.Count() * static_cast<size_t>(keeps[k]) / 1000), missAt[k], pct,
                pct - boundPct);
    std::printf("figure million_miss_pct_keep%d %.2f\n", keeps[k], pct);
  }
  if (exact) {
    std::printf("full search (--exact): misses %d (%.2f %%)\n", fullMiss, 100.0 * fullMiss / static_cast<double>(nr));
    for (size_t k = 0; k < keeps.size(); ++k)
      std::printf("filter keeping %d per mille: costs %.2f points (%d probes the full search finds are missed)\n", keeps[k],
                  100.0 * (missAt[k] - fullMiss) / static_cast<double>(nr), lostAt[k]);
  }
  return 0;
}
