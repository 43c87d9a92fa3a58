// Helpers shared by the win32 side of the platform layer only.
#pragma once
#include <windows.h>

#include <string>

namespace plat {
std::wstring Widen(const std::string& utf8);
std::string Narrow(const wchar_t* wide, int len = -1);
inline std::string Narrow(const std::wstring& w) { return Narrow(w.c_str(), static_cast<int>(w.size())); }
}  // namespace plat
