// Writes every template the engine makes for a fixed set of pictures, one line
// each, so that two builds of the engine can be compared byte for byte (cmp):
// synthetic prints at four qualities, the real pictures of a folder as they
// are and moved and turned, other settings and resolutions, noise, blank and
// tiny pictures. Each line also carries a hash of the enhanced picture and of
// the skeleton that the work image receives.
//
//   omextract_dump [--real DIR] [--count N] OUT
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bmp.h"
#include "config.h"
#include "extractor.h"
#include "fpsynth/fpsynth.h"
#include "nfrecord.h"
#include "transform.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

uint64_t Fnv(const uint16_t* v, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) {
    h = (h ^ (v[i] & 0xFF)) * 1099511628211ull;
    h = (h ^ (v[i] >> 8)) * 1099511628211ull;
  }
  return h;
}

struct Out {
  FILE* f;
  long lines = 0;
  void Case(const std::string& name, const omx::bmp::Grey& g, uint32_t res, const omx::TOmExtractorConfiguration& cfg) {
    const size_t n = g.pixels.size();
    std::vector<uint16_t> work(n ? n : 1);
    omx::Features f, s;
    const bool ok = omx::Extract(g.pixels.data(), g.width, g.height, res, cfg, false, work.data(), f);
    const uint64_t enh = Fnv(work.data(), n);
    omx::Extract(g.pixels.data(), g.width, g.height, res, cfg, true, work.data(), s);
    const uint64_t skel = Fnv(work.data(), n);
    omx::ExportOptions o;
    o.width = g.width;
    o.height = g.height;
    std::vector<uint8_t> rec(omx::WriteNFRecord(f, o, nullptr));
    omx::WriteNFRecord(f, o, rec.data());
    std::fprintf(this->f, "%s %dx%d %s %zu ", name.c_str(), g.width, g.height, ok ? "ok" : "refused", f.minutiae.size());
    for (uint8_t b : rec) std::fprintf(this->f, "%02x", b);
    std::fprintf(this->f, " enh=%016llx skel=%016llx\n", static_cast<unsigned long long>(enh),
                 static_cast<unsigned long long>(skel));
    ++lines;
  }
};

omx::bmp::Grey Noise(int w, int h, uint32_t seed) {
  omx::bmp::Grey g{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h)};
  for (auto& p : g.pixels) {
    seed = seed * 1664525u + 1013904223u;
    p = static_cast<uint8_t>(seed >> 24);
  }
  return g;
}

}  // namespace

int main(int argc, char** argv) {
  std::string real = "../shared/fingerprints", out;
  int count = 200;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--real" && i + 1 < argc) real = argv[++i];
    else if (a == "--count" && i + 1 < argc) count = std::atoi(argv[++i]);
    else out = a;
  }
  if (out.empty()) {
    std::fprintf(stderr, "usage: omextract_dump [--real DIR] [--count N] OUT\n");
    return 2;
  }
  Out o{std::fopen(out.c_str(), "w")};
  if (!o.f) {
    std::perror(out.c_str());
    return 1;
  }
  const auto def = omx::DefaultConfig();

  // The evaluation set: 388 x 374 prints at four qualities.
  const double levels[4] = {0.95, 0.8, 0.6, 0.35};
  std::vector<omx::bmp::Grey> some;
  for (int s = 0; s < count; ++s) {
    fpsynth::Params p;
    p.width = 388;
    p.height = 374;
    p.quality = levels[s % 4];
    auto fp = fpsynth::Generate(p, static_cast<uint32_t>(1000 + s));
    omx::bmp::Grey g{fp.width, fp.height, fp.pixels};
    o.Case("synthetic" + std::to_string(1000 + s), g, 500, def);
    if (s < 8) some.push_back(g);
  }
  {
    fpsynth::Params p;
    p.width = 832;
    p.height = 768;
    p.fast = true;
    auto fp = fpsynth::Generate(p, 5);
    o.Case("synthetic-large", omx::bmp::Grey{fp.width, fp.height, fp.pixels}, 500, def);
  }

  // Real pictures, as they are and moved and turned a little.
  struct Move { double dx, dy, deg; };
  const Move moves[4] = {{6, -4, 3}, {-5, 7, -3}, {0, 0, 5}, {10, 5, -5}};
  int reals = 0;
  for (const char* name : {"probe.bmp", "matching.bmp", "nonmatching.bmp", "large.bmp"}) {
    omx::bmp::Grey g;
    std::string why;
    if (!omx::bmp::Load(real + "/" + name, g, why)) {
      std::fprintf(stderr, "%s/%s: %s (left out)\n", real.c_str(), name, why.c_str());
      continue;
    }
    ++reals;
    o.Case(name, g, 500, def);
    int k = 0;
    for (const auto& mv : moves) o.Case(std::string(name) + "-moved" + std::to_string(k++), omx::eval::Transform(g, mv.dx, mv.dy, mv.deg * kPi / 180), 500, def);
    if (reals == 1) some.push_back(g);
  }

  // Other settings and resolutions on a few of the pictures above.
  struct Variant {
    const char* name;
    std::function<void(omx::TOmExtractorConfiguration&)> set;
  };
  const Variant variants[] = {
      {"binsimples", [](auto& c) { c.BinSimples = true; }},
      {"semnormalizar", [](auto& c) { c.SemNormalizar = true; }},
      {"onesmooth", [](auto& c) { c.PassoSuavizar1 = false; }},
      {"noclean", [](auto& c) { c.EliminarMinucias = false; }},
      {"notruncate", [](auto& c) { c.TruncarArea = false; }},
      {"minqfg", [](auto& c) { c.MinQFG = 0.6; c.MinContrasteFG = 0.4; }},
      {"gabor", [](auto& c) { c.SigmaGabor = 0.8; c.FatorGabor = 2.0; c.EscalaGabor = 30; }},
      {"leg", [](auto& c) { c.MaxLegMinutia = 25; c.LimiarQ1 = 20; c.LimiarVariancia = 120; }},
  };
  for (size_t i = 0; i < some.size(); ++i)
    for (const auto& v : variants) {
      auto cfg = def;
      v.set(cfg);
      o.Case(std::string(v.name) + "-" + std::to_string(i), some[i], 500, cfg);
    }
  for (size_t i = 0; i < some.size(); ++i)
    for (uint32_t res : {250u, 1000u, 100u}) o.Case("res" + std::to_string(res) + "-" + std::to_string(i), some[i], res, def);

  // Pictures without a fingerprint.
  o.Case("noise256", Noise(256, 256, 1), 500, def);
  o.Case("noise640x480", Noise(640, 480, 2), 500, def);
  o.Case("noise2048", Noise(2048, 2048, 3), 500, def);
  o.Case("strip2048x40", Noise(2048, 40, 4), 500, def);
  o.Case("blank", omx::bmp::Grey{300, 300, std::vector<uint8_t>(300 * 300, 200)}, 500, def);
  o.Case("tiny", Noise(20, 20, 5), 500, def);
  o.Case("toolarge", Noise(2049, 30, 6), 500, def);

  std::fclose(o.f);
  std::printf("%ld templates written to %s (%d real pictures)\n", o.lines, out.c_str(), reals);
  return 0;
}
