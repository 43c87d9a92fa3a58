// Helpers of the reader component tests: the fake plug-in's configuration
// beside the test program, and waiting for something another thread does.
#pragma once
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "support/udBibRotinas.h"

inline void ConfigurarFake(const std::string& texto) {
  std::ofstream f(PegPastaPrograma("omr_h3fake_64.cfg"), std::ios::trunc);
  f << texto;
}

// True as soon as cond holds; false after a generous deadline.
inline bool Aguardar(const std::function<bool()>& cond, int segundos = 10) {
  auto fim = std::chrono::steady_clock::now() + std::chrono::seconds(segundos);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > fim) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
