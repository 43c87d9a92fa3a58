// Arbitrary bytes through the library's text conversions: UTF-8 to and from
// JNI's modified UTF-8 (every text that crosses into Java, every text that
// comes from it) and to and from UTF-16 (plug-ins' and vendors' wide texts).
// The bytes are taken as UTF-8 or modified UTF-8, and in pairs as UTF-16.
//
// What must hold for any input:
//  - modified UTF-8 made for Java is well formed: no zero byte, no four-byte
//    form, every character in its shortest form except NUL as C0 80; and it
//    holds a lone surrogate only where the input held one (Java's texts may);
//  - UTF-8 made from UTF-16 is valid UTF-8, and UTF-16 made from UTF-8 holds
//    no lone surrogate (invalid input becomes U+FFFD);
//  - valid UTF-8 comes back unchanged from either round trip, and so does
//    well-formed modified UTF-8 from its own.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "jni/ModifiedUtf8.h"
#include "support/TextoUnicode.h"

namespace {

// Length of the sequence at s[i] and its value, or 0 when it is no complete
// sequence of 1 to `maxLength` bytes.
size_t Sequence(const std::string& s, size_t i, size_t maxLength, uint32_t& cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  const size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || n > maxLength || i + n > s.size()) return 0;
  cp = n == 1 ? c : c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (b(i + k) & 0x3F);
  }
  return n;
}

constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};

bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    const size_t n = Sequence(s, i, 4, cp);
    if (n == 0 || cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return false;
    i += n;
  }
  return true;
}

bool WellFormedModified(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    const size_t n = Sequence(s, i, 3, cp);
    if (n == 0) return false;
    const bool nul = n == 2 && cp == 0;
    if ((cp == 0 && !nul) || (cp < kLeast[n] && !nul)) return false;
    i += n;
  }
  return true;
}

// Whether any sequence of the bytes stands for a surrogate.
bool HoldsSurrogate(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    const size_t n = Sequence(s, i, 4, cp);
    if (n && cp >= 0xD800 && cp < 0xE000) return true;
    i += n ? n : 1;
  }
  return false;
}

// The UTF-16 units of well-formed modified UTF-8.
std::u16string Units(const std::string& m) {
  std::u16string w;
  for (size_t i = 0; i < m.size();) {
    uint32_t cp = 0;
    const size_t n = Sequence(m, i, 3, cp);
    w.push_back(static_cast<char16_t>(cp));
    i += n;
  }
  return w;
}

bool NoLoneSurrogate(const std::u16string& w) {
  for (size_t i = 0; i < w.size(); ++i) {
    if (w[i] >= 0xD800 && w[i] < 0xDC00 && i + 1 < w.size() && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000) {
      ++i;
    } else if (w[i] >= 0xD800 && w[i] < 0xE000) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string s(reinterpret_cast<const char*>(data), size);
  std::u16string w;
  for (size_t i = 0; i + 1 < size; i += 2) w.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));

  const std::string toJava = Utf8ParaUtf8Modificado(s);
  if (!WellFormedModified(toJava) || (!HoldsSurrogate(s) && !NoLoneSurrogate(Units(toJava)))) std::abort();
  const std::string fromJava = Utf8ModificadoParaUtf8(s);
  if (WellFormedModified(s) && Utf8ParaUtf8Modificado(fromJava) != s) std::abort();

  const std::string narrow = Utf16ParaUtf8(w);
  if (!ValidUtf8(narrow)) std::abort();
  const std::u16string wide = Utf8ParaUtf16(s);
  if (!NoLoneSurrogate(wide)) std::abort();
  if (NoLoneSurrogate(w) && Utf8ParaUtf16(narrow) != w) std::abort();

  if (ValidUtf8(s) && (Utf8ModificadoParaUtf8(toJava) != s || Utf16ParaUtf8(wide) != s)) std::abort();
  return 0;
}
