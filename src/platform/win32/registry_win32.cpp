#include <windows.h>

#include <vector>

#include "platform/registry.h"
#include "platform/win32/win32_internal.h"

namespace plat {

namespace {

// Opens the key for reading only; nullptr when it cannot be opened.
HKEY OpenKey(RegistryRoot root, const std::string& key) {
  size_t skip = key.find_first_not_of('\\');
  std::wstring path = skip == std::string::npos ? std::wstring() : Widen(key.substr(skip));
  HKEY h = nullptr;
  HKEY base = root == RegistryRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  if (RegOpenKeyExW(base, path.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) return nullptr;
  return h;
}

struct KeyCloser {
  HKEY h;
  ~KeyCloser() {
    if (h) RegCloseKey(h);
  }
};

}  // namespace

std::optional<uint32_t> ReadRegistryDword(RegistryRoot root, const std::string& key, const std::string& name) {
  KeyCloser k{OpenKey(root, key)};
  if (!k.h) return std::nullopt;
  DWORD type = 0, value = 0, size = sizeof(value);
  LONG r = RegQueryValueExW(k.h, Widen(name).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  if (r != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value)) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<std::string> ReadRegistryString(RegistryRoot root, const std::string& key, const std::string& name) {
  KeyCloser k{OpenKey(root, key)};
  if (!k.h) return std::nullopt;
  std::wstring wname = Widen(name);
  for (int attempt = 0; attempt < 4; ++attempt) {  // the value may grow between the two queries
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(k.h, wname.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    // Room for every byte (the stored count may be odd) and a terminator.
    std::vector<wchar_t> buf((size + 1) / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>((buf.size() - 1) * sizeof(wchar_t));
    LONG r = RegQueryValueExW(k.h, wname.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &got);
    if (r == ERROR_MORE_DATA) continue;
    if (r != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
    // The stored data need not end with a terminator; stop at the first one.
    size_t n = got / sizeof(wchar_t);
    size_t len = 0;
    while (len < n && buf[len] != L'\0') ++len;
    return Narrow(buf.data(), static_cast<int>(len));
  }
  return std::nullopt;
}

}  // namespace plat
