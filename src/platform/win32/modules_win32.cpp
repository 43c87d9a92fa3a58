#include <windows.h>

#include <vector>

#include "platform/errors.h"
#include "platform/modules.h"
#include "platform/win32/win32_internal.h"

namespace plat {

const char* ModuleSuffix() { return ".dll"; }

ModuleHandle LoadModule(const std::string& path, bool alteredSearchPath) {
  return LoadLibraryExW(Widen(path).c_str(), nullptr, alteredSearchPath ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
}

namespace {
std::wstring PastaDe(const std::wstring& caminho) {
  size_t p = caminho.find_last_of(L"\\/");
  return p == std::wstring::npos ? std::wstring() : caminho.substr(0, p);
}

std::wstring PastaDoSistema(UINT(WINAPI* pedir)(LPWSTR, UINT)) {
  std::wstring buf(MAX_PATH, L'\0');
  UINT n = pedir(buf.data(), static_cast<UINT>(buf.size()));
  if (n >= buf.size()) {
    buf.assign(n, L'\0');
    n = pedir(buf.data(), static_cast<UINT>(buf.size()));
  }
  return n && n < buf.size() ? buf.substr(0, n) : std::wstring();
}

bool Absoluta(const std::wstring& p) {
  return (p.size() >= 3 && p[1] == L':' && (p[2] == L'\\' || p[2] == L'/')) ||
         (p.size() >= 2 && (p[0] == L'\\' || p[0] == L'/') && (p[1] == L'\\' || p[1] == L'/'));
}

// The folders of the system's search order for a bare name, the current folder
// left out: the program's folder, the system folder, the 16-bit system folder,
// the Windows folder, then the absolute folders of PATH.
std::vector<std::wstring> PastasDeBusca() {
  std::vector<std::wstring> pastas;
  pastas.push_back(PastaDe(Widen(MainModulePath())));
  pastas.push_back(PastaDoSistema(&GetSystemDirectoryW));
  const std::wstring windows = PastaDoSistema(&GetWindowsDirectoryW);
  if (!windows.empty()) pastas.push_back(windows + L"\\System");
  pastas.push_back(windows);
  DWORD n = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  std::wstring path(n, L'\0');
  n = n ? GetEnvironmentVariableW(L"PATH", path.data(), n) : 0;
  path.resize(n < path.size() ? n : 0);
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find(L';', i);
    if (j == std::wstring::npos) j = path.size();
    std::wstring item = path.substr(i, j - i);
    if (item.size() >= 2 && item.front() == L'"' && item.back() == L'"') item = item.substr(1, item.size() - 2);
    if (Absoluta(item)) pastas.push_back(item);  // "" or "." or a relative entry names the current folder
    i = j + 1;
  }
  return pastas;
}
}  // namespace

ModuleHandle LoadModuleByName(const std::string& name) {
  const std::wstring nome = Widen(name);
  for (const std::wstring& pasta : PastasDeBusca()) {
    if (pasta.empty()) continue;
    std::wstring caminho = pasta;
    if (caminho.back() != L'\\' && caminho.back() != L'/') caminho += L'\\';
    caminho += nome;
    const DWORD a = GetFileAttributesW(caminho.c_str());
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY)) continue;
    return LoadLibraryExW(caminho.c_str(), nullptr, 0);
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

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
