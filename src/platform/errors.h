#pragma once
#include <cstdint>
#include <string>

namespace plat {

// Windows error numbers that callers test for; the POSIX side maps errno onto them.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorBadFormat = 11;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorModNotFound = 126;
constexpr uint32_t kErrorProcNotFound = 127;
constexpr uint32_t kErrorPipeBusy = 231;
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorTimeout = 1460;

// The calling thread's last system error (GetLastError / errno mapped or kept).
uint32_t LastError();
void SetLastError(uint32_t code);

// The system's own text for an error code (FormatMessage on Windows, in the
// user's default language; on POSIX the text the layer recorded for the code,
// or strerror). Trailing line breaks are kept as the system gives them.
std::string SystemErrorText(uint32_t code);

// Milliseconds since an arbitrary start (GetTickCount64 / CLOCK_MONOTONIC).
uint64_t TickCountMs();

// UTF-8 <-> the system ANSI code page (identity on POSIX, where 8-bit texts are UTF-8).
std::string Utf8ToAnsi(const std::string& utf8);
std::string AnsiToUtf8(const std::string& ansi);
// A UTF-8 text as the console shows it: in the console's output code page on
// Windows (the OEM code page when there is no console), unchanged on POSIX.
std::string Utf8ToConsole(const std::string& utf8);

}  // namespace plat
