#include <windows.h>

#include "platform/errors.h"
#include "platform/win32/win32_internal.h"

namespace plat {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

static std::string WideTo(UINT cp, const wchar_t* wide, int len) {
  if (!wide) return {};
  if (len < 0) len = static_cast<int>(wcslen(wide));
  if (len == 0) return {};
  int n = WideCharToMultiByte(cp, 0, wide, len, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(cp, 0, wide, len, s.data(), n, nullptr, nullptr);
  return s;
}

std::string Narrow(const wchar_t* wide, int len) { return WideTo(CP_UTF8, wide, len); }

uint32_t LastError() { return ::GetLastError(); }
void SetLastError(uint32_t code) { ::SetLastError(code); }

std::string SystemErrorText(uint32_t code) {
  wchar_t* buf = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<LPWSTR>(&buf), 0, nullptr);
  std::string text = n ? Narrow(buf, static_cast<int>(n)) : std::string();
  if (buf) LocalFree(buf);
  return text;
}

uint64_t TickCountMs() { return GetTickCount64(); }

std::string Utf8ToAnsi(const std::string& utf8) {
  std::wstring w = Widen(utf8);
  return WideTo(CP_ACP, w.c_str(), static_cast<int>(w.size()));
}

std::string Utf8ToConsole(const std::string& utf8) {
  UINT cp = GetConsoleOutputCP();
  std::wstring w = Widen(utf8);
  return WideTo(cp != 0 ? cp : CP_OEMCP, w.c_str(), static_cast<int>(w.size()));
}

std::string AnsiToUtf8(const std::string& ansi) {
  if (ansi.empty()) return {};
  int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), w.data(), n);
  return Narrow(w);
}

}  // namespace plat
