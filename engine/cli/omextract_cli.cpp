// omextract-cli: extracts minutiae from BMP files, prints them and draws them.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bmp.h"
#include "config.h"
#include "draw.h"
#include "extractor.h"
#include "nfrecord.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: omextract-cli [options] picture.bmp...\n"
               "  --draw FILE       picture with minutiae, cores and deltas (24-bit BMP; one input only)\n"
               "  --record FILE     NFRecord template (one input only)\n"
               "  --resolution N    pixels per inch (500)\n"
               "  --format N        record format ordinal (2)  --size N  record size ordinal (3)\n"
               "  --keep-false      keep false minutiae    --simple  binarise without filtering\n"
               "  --variance N      least grey variance of fingerprint area\n"
               "  --quiet           counts only\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  omx::TOmExtractorConfiguration cfg = omx::DefaultConfig();
  omx::ExportOptions eo;
  std::string drawPath, recordPath;
  uint32_t resolution = 500;
  bool quiet = false;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--draw" && (v = next())) drawPath = v;
    else if (a == "--record" && (v = next())) recordPath = v;
    else if (a == "--resolution" && (v = next())) resolution = static_cast<uint32_t>(std::atoi(v));
    else if (a == "--format" && (v = next())) eo.format = std::atoi(v);
    else if (a == "--size" && (v = next())) eo.size = std::atoi(v);
    else if (a == "--variance" && (v = next())) cfg.LimiarVariancia = std::atoi(v);
    else if (a == "--keep-false") cfg.EliminarMinucias = false;
    else if (a == "--simple") cfg.BinSimples = true;
    else if (a == "--quiet") quiet = true;
    else if (!a.empty() && a[0] == '-') return Usage();
    else inputs.push_back(a);
  }
  if (inputs.empty() || (inputs.size() > 1 && (!drawPath.empty() || !recordPath.empty()))) return Usage();
  int failures = 0;
  for (const auto& path : inputs) {
    omx::bmp::Grey img;
    std::string why;
    if (!omx::bmp::Load(path, img, why)) {
      std::fprintf(stderr, "%s: %s\n", path.c_str(), why.c_str());
      ++failures;
      continue;
    }
    omx::Features f;
    if (!omx::Extract(img.pixels.data(), static_cast<uint32_t>(img.width), static_cast<uint32_t>(img.height), resolution,
                      cfg, false, nullptr, f)) {
      std::fprintf(stderr, "%s: picture cannot be used (%dx%d)\n", path.c_str(), img.width, img.height);
      ++failures;
      continue;
    }
    std::printf("%s: %dx%d, %zu minutiae, %zu cores, %zu deltas, %zu double cores, quality %d\n", path.c_str(), img.width,
                img.height, f.minutiae.size(), f.cores.size(), f.deltas.size(), f.doubleCores.size(), f.imageQuality);
    if (!quiet) {
      std::printf("  type        x     y  angle  quality\n");
      for (const auto& m : f.minutiae)
        std::printf("  %-10s %4d  %4d  %5.1f  %3d\n", m.type ? "fork" : "ending", m.x, m.y,
                    std::fmod(m.angle * 180 / 3.14159265358979323846 + 360, 360), m.quality);
      for (const auto& c : f.cores)
        std::printf("  core       %4d  %4d  %5.1f\n", c.x, c.y, std::fmod(c.angle[0] * 180 / 3.14159265358979323846 + 360, 360));
      for (const auto& d : f.deltas) std::printf("  delta      %4d  %4d\n", d.x, d.y);
    }
    eo.width = img.width;
    eo.height = img.height;
    eo.hres = eo.vres = static_cast<int32_t>(resolution);
    if (!recordPath.empty()) {
      std::vector<uint8_t> rec(omx::WriteNFRecord(f, eo, nullptr));
      omx::WriteNFRecord(f, eo, rec.data());
      if (!omx::bmp::Save(recordPath, rec)) {
        std::fprintf(stderr, "cannot write %s\n", recordPath.c_str());
        ++failures;
      }
    }
    if (!drawPath.empty()) {
      auto pic = omx::draw::FromGrey(img);
      omx::draw::Features(pic, f);
      if (!omx::bmp::Save(drawPath, omx::bmp::EncodeRgb(pic))) {
        std::fprintf(stderr, "cannot write %s\n", drawPath.c_str());
        ++failures;
      }
    }
  }
  return failures ? 1 : 0;
}
