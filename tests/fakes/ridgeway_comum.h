// Shared by the two Ridgeway library fakes.
#pragma once
#include <string>

#include "fake_comum.h"
#ifndef _WIN32
#include "platform/posix_handles.h"
#endif

namespace fake {

inline uint32_t Hash(const std::string& s) {
  uint32_t h = 2166136261u;
  for (unsigned char c : s) h = (h ^ c) * 16777619u;
  return h;
}

// UTF-8 (as written in the configuration file) to UTF-16.
inline std::u16string Largo(const std::string& s) {
  std::u16string r;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0xC0 && c < 0xE0 && i + 1 < s.size()) {
      r.push_back(static_cast<char16_t>(((c & 0x1F) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3F)));
      ++i;
    } else {
      r.push_back(c);
    }
  }
  return r;
}

inline void PostarMensagem(void* janela, uint32_t msg, uintptr_t w, intptr_t l) {
#ifdef _WIN32
  PostMessageW(static_cast<HWND>(janela), msg, w, l);
#else
  static_cast<DlPosixWindow*>(janela)->Post(janela, msg, w, l);
#endif
}

inline void SinalizarEvento(void* evento) {
#ifdef _WIN32
  SetEvent(static_cast<HANDLE>(evento));
#else
  static_cast<DlPosixEvent*>(evento)->Signal(evento);
#endif
}

}  // namespace fake
