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

std::string MainModulePath(unsigned bufferChars) {
  std::wstring buf(bufferChars, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, buf.data(), bufferChars);
  return Narrow(buf.c_str(), static_cast<int>(n));
}

std::string ModulePathOf(const void* address, unsigned bufferChars) {
  HMODULE m = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &m)) {
    return {};
  }
  std::wstring buf(bufferChars, L'\0');
  DWORD n = GetModuleFileNameW(m, buf.data(), bufferChars);
  return Narrow(buf.c_str(), static_cast<int>(n));
}

void PinModuleOf(const void* address) {
  HMODULE m = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     static_cast<LPCWSTR>(address), &m);
}

}  // namespace plat
