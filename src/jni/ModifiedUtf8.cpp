#include "jni/ModifiedUtf8.h"

namespace {

// Decodes one code point from UTF-8 (or modified UTF-8); invalid bytes become U+FFFD.
char32_t Decode(const std::string& s, size_t& i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  auto cont = [&](size_t k) { return k < s.size() && (b(k) & 0xC0) == 0x80; };
  if (c < 0x80) { ++i; return c; }
  if ((c & 0xE0) == 0xC0 && cont(i + 1)) {
    char32_t cp = ((c & 0x1Fu) << 6) | (b(i + 1) & 0x3Fu);
    i += 2;
    return cp;
  }
  if ((c & 0xF0) == 0xE0 && cont(i + 1) && cont(i + 2)) {
    char32_t cp = ((c & 0x0Fu) << 12) | ((b(i + 1) & 0x3Fu) << 6) | (b(i + 2) & 0x3Fu);
    i += 3;
    return cp;
  }
  if ((c & 0xF8) == 0xF0 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
    char32_t cp = ((c & 0x07u) << 18) | ((b(i + 1) & 0x3Fu) << 12) | ((b(i + 2) & 0x3Fu) << 6) | (b(i + 3) & 0x3Fu);
    i += 4;
    // Beyond Unicode: its halves would be surrogates that pair with nothing.
    return cp > 0x10FFFF ? 0xFFFD : cp;
  }
  ++i;
  return 0xFFFD;
}

void Put3(std::string& out, char32_t cp) {
  out += static_cast<char>(0xE0 | (cp >> 12));
  out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out += static_cast<char>(0x80 | (cp & 0x3F));
}

void PutUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    Put3(out, cp);
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string Utf8ParaUtf8Modificado(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    char32_t cp = Decode(utf8, i);
    if (cp == 0) {
      out += "\xC0\x80";
    } else if (cp >= 0x10000) {
      char32_t v = cp - 0x10000;
      Put3(out, 0xD800 + (v >> 10));
      Put3(out, 0xDC00 + (v & 0x3FF));
    } else {
      PutUtf8(out, cp);
    }
  }
  return out;
}

std::string Utf8ModificadoParaUtf8(const std::string& m) {
  std::string out;
  out.reserve(m.size());
  for (size_t i = 0; i < m.size();) {
    char32_t cp = Decode(m, i);
    if (cp >= 0xD800 && cp < 0xDC00 && i < m.size()) {
      size_t j = i;
      char32_t lo = Decode(m, j);
      if (lo >= 0xDC00 && lo < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        i = j;
      }
    }
    PutUtf8(out, cp);
  }
  return out;
}

