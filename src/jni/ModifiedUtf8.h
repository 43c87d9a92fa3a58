// Conversions between the library's UTF-8 texts and JNI's modified UTF-8
// (NUL as C0 80, supplementary characters as two 3-byte surrogates).
#pragma once
#include <string>

#include "support/TextoUnicode.h"

std::string Utf8ParaUtf8Modificado(const std::string& utf8);
std::string Utf8ModificadoParaUtf8(const std::string& modificado);
