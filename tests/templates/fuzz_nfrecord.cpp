// Locates and reads every kind of item in arbitrary bytes; every item reported
// must be readable within the bytes and hold values in their documented ranges.
// Bytes that the template validator accepts must hold every kind whole, with
// the minutia count it reports.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "matching/TemplateCheck.h"
#include "templates/udOmfwTemplates.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);  // exact size: ASan sees any overrun
  const auto check = matching::ValidateTemplate(bytes.data(), bytes.size());
  if (check.State != matching::tsMalformed) {
    if ((check.State == matching::tsNoMinutiae) != (check.Minutiae == 0)) std::abort();
    for (int32_t kind = 0; kind <= 3; ++kind)
      if (!LocalizarItensNF(bytes.data(), bytes.size(), kind)) std::abort();
    if (ContarItensNF(bytes.data(), bytes.size(), 0) != check.Minutiae) std::abort();
  } else if (check.Problem.empty()) {
    std::abort();
  }
  for (int32_t kind = -1; kind <= 4; ++kind) {
    auto local = LocalizarItensNF(bytes.data(), bytes.size(), kind);
    if (ContarItensNF(bytes.data(), bytes.size(), kind) != (local ? local->Quantidade : 0)) std::abort();
    if (!local) continue;
    if (kind < 0 || kind > 3 || local->Quantidade < 0 || local->Quantidade > 255) std::abort();
    for (int32_t i = 0; i < local->Quantidade; ++i) {
      TItemNF it = LerItemNF(bytes.data(), *local, i);
      if (it.X < 0 || it.X > 2047 || it.Y < 0 || it.Y > 2047 || it.Tipo < 0 || it.Tipo > 3 || it.Angulo < 0 ||
          it.Angulo > 255 || it.Qualidade < 0 || it.Qualidade > 255 || it.Curvatura < 0 || it.Curvatura > 255 ||
          it.G < 0 || it.G > 255)
        std::abort();
    }
  }
  return 0;
}
