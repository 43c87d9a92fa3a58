// fpplace: writes a data set of prints with placed minutiae.
//
//   fpplace <folder> [--fingers N] [--impressions N] [--seed S] [--size WxH]
//                    [--mix good:4,dry:2,wet:2,poor:2] [--first K]
//
// For finger k and impression j it writes <k:04d>_<j:02d>.bmp (8-bit grey),
// <k:04d>_<j:02d>.txt (the truth) and area/<k:04d>_<j:02d>.bmp (255 where the
// finger touches), plus set.txt with the options.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fpplace/fpplace.h"

namespace {

bool Write(const std::filesystem::path& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

int Usage(const char* why) {
  std::fprintf(stderr, "fpplace: %s\nusage: fpplace <folder> [--fingers N] [--impressions N] [--seed S] [--size WxH] [--mix good:4,dry:2,wet:2,poor:2] [--first K]\n", why);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no folder given");
  std::filesystem::path dir = argv[1];
  fpplace::SetOptions o;
  int first = 0;
  for (int i = 2; i < argc; i += 2) {
    std::string a = argv[i];
    if (i + 1 >= argc) return Usage(("missing value after " + a).c_str());
    const char* v = argv[i + 1];
    if (a == "--fingers") o.fingers = std::atoi(v);
    else if (a == "--impressions") o.impressions = std::atoi(v);
    else if (a == "--seed") o.seed = std::strtoull(v, nullptr, 10);
    else if (a == "--first") first = std::atoi(v);
    else if (a == "--size") {
      if (std::sscanf(v, "%dx%d", &o.width, &o.height) != 2) return Usage("size is WxH");
    } else if (a == "--mix") {
      std::string why;
      if (!fpplace::ParseMix(v, o.mix, why)) return Usage(why.c_str());
    } else {
      return Usage(("unknown option " + a).c_str());
    }
  }
  if (o.fingers < 1 || o.impressions < 1 || o.impressions > 100 || first < 0 || first + o.fingers > 10000 || o.width < 64 ||
      o.height < 64 || o.width > 2000 || o.height > 2000)
    return Usage("fingers, impressions or size out of range");
  std::error_code ec;
  std::filesystem::create_directories(dir / "area", ec);
  if (ec) return Usage(("cannot create " + dir.string()).c_str());
  std::string info = "fpplace " + std::to_string(fpplace::kVersion) + " --seed " + std::to_string(o.seed) + " --first " +
                     std::to_string(first) + " --fingers " + std::to_string(o.fingers) + " --impressions " +
                     std::to_string(o.impressions) + " --size " + std::to_string(o.width) + "x" + std::to_string(o.height) +
                     " --mix " + fpplace::FormatMix(o.mix) + "\n";
  if (!Write(dir / (first ? "set-" + std::to_string(first) + ".txt" : std::string("set.txt")), info.data(), info.size()))
    return Usage("cannot write set.txt");
  for (int k = first; k < first + o.fingers; ++k) {
    fpplace::Finger f = fpplace::Finger::Make(fpplace::FingerSeed(o.seed, k));
    for (int j = 0; j < o.impressions; ++j) {
      fpplace::Impression imp = fpplace::MakeImpression(o, f, k, j);
      char stem[32];
      std::snprintf(stem, sizeof stem, "%04d_%02d", k, j);
      auto bmp = fpplace::EncodeBmp(imp.width, imp.height, imp.pixels);
      std::vector<uint8_t> area(imp.area.size());
      for (size_t i = 0; i < area.size(); ++i) area[i] = imp.area[i] ? 255 : 0;
      auto mask = fpplace::EncodeBmp(imp.width, imp.height, area);
      std::string truth = fpplace::FormatTruth(o, f, k, j, imp);
      if (!Write(dir / (std::string(stem) + ".bmp"), bmp.data(), bmp.size()) ||
          !Write(dir / (std::string(stem) + ".txt"), truth.data(), truth.size()) ||
          !Write(dir / "area" / (std::string(stem) + ".bmp"), mask.data(), mask.size())) {
        std::fprintf(stderr, "fpplace: cannot write %s in %s\n", stem, dir.string().c_str());
        return 1;
      }
    }
  }
  return 0;
}
