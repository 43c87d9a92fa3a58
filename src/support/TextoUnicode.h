// Conversions between the library's UTF-8 texts and UTF-16 (wide texts of
// plug-ins, vendor libraries and Java's NewString). Invalid bytes and lone
// surrogates become U+FFFD.
#pragma once
#include <string>

std::u16string Utf8ParaUtf16(const std::string& utf8);
std::string Utf16ParaUtf8(const std::u16string& utf16);
