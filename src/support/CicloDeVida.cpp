#include "support/CicloDeVida.h"

#include <mutex>
#include <utility>
#include <vector>

namespace {
struct Registro {
  TMomentoFinalizacao momento;
  std::function<void()> acao;
};
std::vector<Registro>& Registros() {
  static auto* r = new std::vector<Registro>();  // never destroyed: hooks may run during static teardown
  return *r;
}
std::mutex& Trava() {
  static auto* m = new std::mutex();
  return *m;
}
}  // namespace

TFinalizacao::TFinalizacao(TMomentoFinalizacao momento, std::function<void()> acao) {
  std::lock_guard<std::mutex> g(Trava());
  Registros().push_back({momento, std::move(acao)});
}

void ExecutarFinalizacoes(TMomentoFinalizacao momento) {
  std::vector<std::function<void()>> acoes;
  {
    std::lock_guard<std::mutex> g(Trava());
    for (auto it = Registros().rbegin(); it != Registros().rend(); ++it)
      if (it->momento == momento) acoes.push_back(it->acao);
  }
  for (auto& a : acoes) {
    try {
      a();
    } catch (...) {
    }
  }
}
