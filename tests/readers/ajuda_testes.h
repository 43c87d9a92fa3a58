// Folders and configuration files of the fake plug-ins used by these tests.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/modules.h"
#include "support/udBibRotinas.h"

namespace teste {

// A folder of fakes beside the test program (copied there by the build).
inline std::string Pasta(const std::string& sub) {
  return IncluirDelimitador(PegPastaPrograma("rdfakes") + plat::PathDelimiter() + sub);
}

inline std::string Arquivo(const std::string& pasta, const std::string& nome) { return pasta + nome + plat::ModuleSuffix(); }

// Writes the configuration a fake reads beside itself.
// On Windows a fake's thread reading the file at that moment refuses the write
// for a while: it is tried again.
inline void Configurar(const std::string& pasta, const std::string& nome, const std::string& conteudo) {
  bool escrito = false;
  for (int tentativa = 0; tentativa < 200 && !escrito; ++tentativa) {
    escrito = plat::WriteWholeFile(pasta + nome + ".cfg", conteudo.data(), conteudo.size());
    if (!escrito) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(escrito) << pasta << nome;
}

// The pattern the fakes paint into image k of reader r.
inline uint8_t Pixel(int x, int y, int k, int r) { return static_cast<uint8_t>((x + 3 * y + 7 * k + 50 * r) & 0xFF); }

// Calls a counter export of a loaded fake (the module is loaded once more, which
// only raises its reference count).
inline int Chamadas(const std::string& caminho, const char* exportacao, const char* nome) {
  plat::ModuleHandle h = plat::LoadModule(caminho, true);
  if (!h) return -1;
  auto f = reinterpret_cast<int32_t (*)(const char*)>(plat::GetSymbol(h, exportacao));
  int n = f ? f(nome) : -1;
  plat::UnloadModule(h);
  return n;
}

inline bool Esperar(const std::function<bool()>& cond, int ms = 5000) {
  auto fim = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > fim) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

template <class F>
std::string Mensagem(F f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

}  // namespace teste
