// Data sets: seeds, quality mix, BMP and truth files.
#include <cmath>
#include <cstdio>
#include <sstream>

#include "detail.h"
#include "fpplace/fpplace.h"

namespace fpplace {

using detail::kPi;

uint64_t FingerSeed(uint64_t setSeed, int finger) { return detail::Mix(detail::Mix(setSeed, 0xF1), static_cast<uint64_t>(finger)); }

uint64_t ImpressionSeed(uint64_t setSeed, int finger, int impression) {
  return detail::Mix(detail::Mix(FingerSeed(setSeed, finger), 0x1B), static_cast<uint64_t>(impression));
}

Quality DrawQuality(const QualityMix& mix, uint64_t impressionSeed) {
  detail::Rng rng(detail::Mix(impressionSeed, 0x9A));
  const double total = mix.good + mix.dry + mix.wet + mix.poor;
  double u = rng.U() * total;
  if ((u -= mix.good) < 0) return Quality::Good;
  if ((u -= mix.dry) < 0) return Quality::Dry;
  if ((u -= mix.wet) < 0) return Quality::Wet;
  return Quality::Poor;
}

bool ParseMix(const std::string& text, QualityMix& mix, std::string& why) {
  QualityMix m{0, 0, 0, 0};
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    auto colon = item.find(':');
    if (colon == std::string::npos) return why = "expected name:weight, got \"" + item + "\"", false;
    std::string name = item.substr(0, colon);
    char* end = nullptr;
    double w = std::strtod(item.c_str() + colon + 1, &end);
    if (end == item.c_str() + colon + 1 || *end || !(w >= 0) || !std::isfinite(w)) return why = "bad weight in \"" + item + "\"", false;
    if (name == "good") m.good = w;
    else if (name == "dry") m.dry = w;
    else if (name == "wet") m.wet = w;
    else if (name == "poor") m.poor = w;
    else return why = "unknown quality \"" + name + "\"", false;
  }
  if (m.good + m.dry + m.wet + m.poor <= 0) return why = "all weights are 0", false;
  mix = m;
  return true;
}

std::string FormatMix(const QualityMix& m) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "good:%g,dry:%g,wet:%g,poor:%g", m.good, m.dry, m.wet, m.poor);
  return buf;
}

Impression MakeImpression(const SetOptions& o, const Finger& f, int finger, int impression, bool render) {
  const uint64_t seed = ImpressionSeed(o.seed, finger, impression);
  ImpressionParams p = DrawImpression(f, seed, DrawQuality(o.mix, seed));
  return render ? Render(f, p, o.width, o.height) : Place(f, p, o.width, o.height);
}

static void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
static void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> EncodeBmp(int width, int height, const std::vector<uint8_t>& pixels) {
  const uint32_t stride = (static_cast<uint32_t>(width) + 3) & ~3u;
  const uint32_t offset = 14 + 40 + 256 * 4, size = offset + stride * static_cast<uint32_t>(height);
  std::vector<uint8_t> b(size, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32(b, 2, size);
  Put32(b, 10, offset);
  Put32(b, 14, 40);
  Put32(b, 18, static_cast<uint32_t>(width));
  Put32(b, 22, static_cast<uint32_t>(height));  // positive: rows bottom-up
  Put16(b, 26, 1);
  Put16(b, 28, 8);
  Put32(b, 34, stride * static_cast<uint32_t>(height));
  Put32(b, 38, 19685);  // 500 pixels per inch
  Put32(b, 42, 19685);
  Put32(b, 46, 256);
  for (uint32_t i = 0; i < 256; ++i) {
    size_t at = 54 + 4 * i;
    b[at] = b[at + 1] = b[at + 2] = static_cast<uint8_t>(i);
  }
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      b[offset + static_cast<size_t>(height - 1 - y) * stride + x] = pixels[static_cast<size_t>(y) * width + x];
  return b;
}

std::string FormatTruth(const SetOptions& o, const Finger& f, int finger, int impression, const Impression& imp) {
  std::string s;
  char buf[256];
  const ImpressionParams& p = imp.params;
  std::snprintf(buf, sizeof buf, "# fpplace %d set-seed %llu finger %d impression %d\n", kVersion,
                static_cast<unsigned long long>(o.seed), finger, impression);
  s += buf;
  std::snprintf(buf, sizeof buf, "# size %d %d quality %s pattern %s period %.2f\n", imp.width, imp.height, Name(p.quality),
                Name(f.pattern), f.period);
  s += buf;
  std::snprintf(buf, sizeof buf, "# rotation %.2f shift %.1f %.1f elastic %.2f %.1f %.1f sigma %.1f wave %.2f\n",
                p.rotation * 180 / kPi, p.shiftX, p.shiftY, p.elasticAngle * 180 / kPi, p.elasticShiftX, p.elasticShiftY,
                p.elasticSigma, p.waveAmp);
  s += buf;
  for (const auto& c : imp.cores) std::snprintf(buf, sizeof buf, "# core %.2f %.2f\n", c.x, c.y), s += buf;
  for (const auto& d : imp.deltas) std::snprintf(buf, sizeof buf, "# delta %.2f %.2f\n", d.x, d.y), s += buf;
  s += "# x y angle type (pixels, y down; degrees counter-clockwise from +x as seen; 0 ending, 1 bifurcation)\n";
  for (const auto& m : imp.minutiae) {
    double deg = m.angle * 180 / kPi;
    deg -= 360 * std::floor(deg / 360);
    if (deg >= 359.995) deg = 0;
    std::snprintf(buf, sizeof buf, "%.2f %.2f %.2f %d\n", m.x, m.y, deg, m.type);
    s += buf;
  }
  return s;
}

bool ParseTruth(const std::string& text, std::vector<Minutia>& out, int& width, int& height, std::string& why) {
  std::stringstream in(text);
  std::string line;
  int n = 0;
  out.clear();
  width = height = 0;
  while (std::getline(in, line)) {
    ++n;
    if (line.empty()) continue;
    if (line[0] == '#') {
      int w = 0, h = 0;
      if (std::sscanf(line.c_str(), "# size %d %d", &w, &h) == 2) width = w, height = h;
      continue;
    }
    Minutia m;
    char extra = 0;
    double deg = 0;
    if (std::sscanf(line.c_str(), "%lf %lf %lf %d %c", &m.x, &m.y, &deg, &m.type, &extra) != 4 || (m.type != 0 && m.type != 1) ||
        !std::isfinite(m.x) || !std::isfinite(m.y) || !(deg >= 0 && deg < 360))
      return why = "line " + std::to_string(n) + ": expected \"x y angle type\"", false;
    m.angle = deg * kPi / 180;
    m.id = static_cast<int>(out.size());
    out.push_back(m);
  }
  return true;
}

}  // namespace fpplace
