#include <windows.h>

#include "platform/errors.h"
#include "platform/modules.h"
#include "platform/win32/win32_internal.h"

namespace plat {

const char* ModuleSuffix() { return ".dll"; }

ModuleHandle LoadModule(const std::string& path, bool alteredSearchPath) {
  return LoadLibraryExW(Widen(path).c_str(), nullptr, alteredSearchPath ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
}

ModuleHandle LoadModuleByName(const std::string& name) { return LoadLibraryW(Widen(name).c_str()); }

void* GetSymbol(ModuleHandle module, const char* name) {
  if (!module) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void UnloadModule(ModuleHandle module) {
  if (module) FreeLibrary(static_cast<HMODULE>(module));
}

namespace {
// GetModuleFileNameW cuts a path that does not fit and says so only by filling
// the buffer: grow until the answer is shorter than the buffer.
std::string CaminhoDoModulo(HMODULE m) {
  for (DWORD tamanho = MAX_PATH;; tamanho *= 2) {
    std::wstring buf(tamanho, L'\0');
    DWORD n = GetModuleFileNameW(m, buf.data(), tamanho);
    if (n == 0) return {};
    if (n < tamanho) return Narrow(buf.c_str(), static_cast<int>(n));
    if (tamanho >= 0x10000) return {};  // beyond any path the system accepts
  }
}
}  // namespace

std::string MainModulePath() { return CaminhoDoModulo(nullptr); }

std::string ModulePathOf(const void* address) {
  HMODULE m = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &m)) {
    return {};
  }
  return CaminhoDoModulo(m);
}

void PinModuleOf(const void* address) {
  HMODULE m = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     static_cast<LPCWSTR>(address), &m);
}

}  // namespace plat
