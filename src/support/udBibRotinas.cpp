#include "support/udBibRotinas.h"

#include <cctype>

#include "platform/files.h"
#include "platform/modules.h"
#include "support/Excecoes.h"
#include "support/Formatar.h"

void ChecarErro(int32_t codigo) {
  if (codigo < 0) throw Exception(Format("Erro %d", codigo));
}

const char* DelimitadoresPasta() { return plat::PathDelimiter() == '\\' ? "\\:" : "/"; }

std::string ExtrairPasta(const std::string& caminho, const char* delimitadores) {
  size_t p = caminho.find_last_of(delimitadores);
  return p == std::string::npos ? std::string() : caminho.substr(0, p + 1);
}

std::string IncluirDelimitador(const std::string& pasta) {
  if (!pasta.empty() && (pasta.back() == plat::PathDelimiter() || pasta.back() == '/')) return pasta;
  return pasta + plat::PathDelimiter();
}

std::string PegPastaPrograma(const std::string& nome) {
  std::string pasta = ExtrairPasta(plat::MainModulePath(), DelimitadoresPasta());
  if (pasta.empty()) return plat::AbsolutePath(".") + nome;
  return IncluirDelimitador(plat::AbsolutePath(pasta)) + nome;
}

std::string NormalizarCaminhoModulo(const std::string& caminho) {
  std::string s = caminho;
  if (s.rfind("\\\\?\\", 0) == 0) {
    s.erase(0, 4);
    if (s.rfind("UNC\\", 0) == 0) s = "\\" + s.substr(3);
  }
  return s;
}

std::string PegPastaBiblioteca(const std::string& nome) {
  static const int marcador = 0;  // any address inside this library
  std::string caminho = NormalizarCaminhoModulo(plat::ModulePathOf(&marcador));
  return ExtrairPasta(caminho, DelimitadoresPasta()) + nome;
}

std::string LimparCampo(const std::string& campo) {
  if (campo.size() <= 1) return campo;
  if (campo[0] == '"') return campo.substr(1, campo.size() - 2);
  size_t b = 0, e = campo.size();
  while (b < e && static_cast<unsigned char>(campo[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(campo[e - 1]) <= ' ') --e;
  return campo.substr(b, e - b);
}

std::string ExtrairCampo(std::string& texto, const std::string& separador) {
  // Positions are 1-based, 0 meaning "not found", as in the algorithm they follow.
  auto pos = [](const std::string& s, const std::string& sub) -> size_t {
    size_t p = s.find(sub);
    return p == std::string::npos ? 0 : p + 1;
  };
  size_t p = pos(texto, separador);
  if (!texto.empty() && texto[0] == '"') {
    std::string u = texto.substr(1);
    size_t q = pos(u, "\"");
    if (q > 0) {
      std::string v = u.substr(q);
      size_t r = pos(v, separador);
      p = r > 0 ? q + 1 + r : q + 2;
    }
  }
  std::string campo;
  if (p != 0) {
    campo = LimparCampo(texto.substr(0, p - 1));
    size_t resto = p - 1 + separador.size();
    texto = resto < texto.size() ? texto.substr(resto) : std::string();
  } else {
    campo = LimparCampo(texto);
    texto.clear();
  }
  return campo;
}

bool TextosIguaisSemCaixa(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string MinusculasAscii(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
