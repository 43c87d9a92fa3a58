#pragma once
#include <cstdarg>
#include <string>

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::string FormatV(const char* fmt, va_list args);
