// Shared by the test fakes of outside components: where the fake lives, its
// configuration file beside it, exports and pixel patterns.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#define FAKE_CALL __stdcall
#else
#include <dlfcn.h>
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#define FAKE_CALL
#endif

namespace fake {

static const int kMarcador = 0;  // one per fake: an inline variable would be shared by every copy

// Full path of this fake's own file.
inline std::string CaminhoProprio() {
#ifdef _WIN32
  HMODULE m = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&kMarcador), &m);
  char buf[1024];
  DWORD n = GetModuleFileNameA(m, buf, sizeof buf);
  return std::string(buf, n);
#else
  Dl_info info{};
  dladdr(&kMarcador, &info);
  return info.dli_fname ? info.dli_fname : "";
#endif
}

// key=value lines of "<own file without extension>.cfg"; '#' starts a comment.
inline std::map<std::string, std::string> LerConfiguracao() {
  std::map<std::string, std::string> cfg;
  std::string caminho = CaminhoProprio();
  size_t ponto = caminho.find_last_of('.');
  if (ponto != std::string::npos) caminho.erase(ponto);
  FILE* f = std::fopen((caminho + ".cfg").c_str(), "rb");
  if (!f) return cfg;
  char linha[4096];
  while (std::fgets(linha, sizeof linha, f)) {
    std::string l = linha;
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    if (l.empty() || l[0] == '#') continue;
    size_t igual = l.find('=');
    if (igual == std::string::npos) continue;
    cfg[l.substr(0, igual)] = l.substr(igual + 1);
  }
  std::fclose(f);
  return cfg;
}

inline std::string Texto(const std::map<std::string, std::string>& c, const char* k, const std::string& padrao) {
  auto it = c.find(k);
  return it == c.end() ? padrao : it->second;
}

inline long Numero(const std::map<std::string, std::string>& c, const char* k, long padrao) {
  auto it = c.find(k);
  return it == c.end() ? padrao : std::strtol(it->second.c_str(), nullptr, 0);
}

// Comma-separated items; "<empty>" stands for an empty item.
inline std::vector<std::string> Lista(const std::string& s) {
  std::vector<std::string> r;
  if (s.empty()) return r;
  size_t i = 0;
  for (;;) {
    size_t j = s.find(',', i);
    std::string item = s.substr(i, j == std::string::npos ? std::string::npos : j - i);
    r.push_back(item == "<empty>" ? std::string() : item);
    if (j == std::string::npos) break;
    i = j + 1;
  }
  return r;
}

// The documented pixel pattern of image k of reader r.
inline uint8_t Pixel(int x, int y, int k, int r) { return static_cast<uint8_t>((x + 3 * y + 7 * k + 50 * r) & 0xFF); }

}  // namespace fake
