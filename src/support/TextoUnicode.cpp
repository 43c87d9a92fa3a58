#include "support/TextoUnicode.h"

#include <cstdint>

std::u16string Utf8ParaUtf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    uint32_t c;
    size_t n;
    if (b < 0x80) {
      c = b, n = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, n = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, n = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, n = 4;
    } else {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    bool valido = i + n <= s.size();
    for (size_t k = 1; valido && k < n; ++k) valido = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    if (!valido) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    for (size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += n;
    if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
      // No character: an encoded surrogate (a lone one, as Java's texts may
      // hold) or a value beyond Unicode, whose halves would be surrogates of
      // no pair.
      out.push_back(u'\uFFFD');
    } else if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

std::string Utf16ParaUtf8(const std::u16string& w) {
  std::string out;
  for (size_t i = 0; i < w.size(); ++i) {
    uint32_t c = w[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < w.size() && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (w[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // a lone surrogate
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}
