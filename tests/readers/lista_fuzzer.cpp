// Feeds arbitrary bytes to the device-list check: it must never read outside
// them, whatever counts and pointers they hold.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "readers/CapturaModulos.h"
#include "support/Excecoes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  // An exact-size copy, so that any read past the end is caught.
  std::vector<uint8_t> copia(data, data + size);
  const uintptr_t base = 0x10000;  // pointers near this value land inside the buffer
  try {
    auto textos = ValidarListaDispositivos(copia.data(), static_cast<int32_t>(size), base, "fuzz");
    for (auto& t : textos) (void)t.size();
  } catch (const Exception&) {
  }
  return 0;
}
