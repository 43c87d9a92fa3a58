#include "readers/GestorLeitores.h"

#include <algorithm>

#include "platform/files.h"
#include "platform/modules.h"
#include "readers/CapturaModulos.h"
#include "readers/ScanMan.h"
#include "support/Excecoes.h"
#include "support/Formatar.h"
#include "support/Trace.h"
#include "support/udBibRotinas.h"

TOmGestorLeitores::TOmGestorLeitores(bool preCarregar) {
  if (preCarregar) BuscarModulosTodos();
}

TCaptureModule* TOmGestorLeitores::Procurar(const std::string& nome) {
  for (auto& m : FListaModulos)
    if (TextosIguaisSemCaixa(m.first, nome)) return m.second.get();
  return nullptr;
}

template <class TModulo>
void TOmGestorLeitores::BuscarTipo(const std::string& pasta, const std::string& mascara, size_t cortarInicio,
                                   size_t cortarFim) {
  Trace("Buscar modulos (%s) em %s...", mascara.c_str(), pasta.c_str());
  for (const std::string& arquivo : plat::FindFiles(pasta, mascara)) {
    std::string semExtensao = arquivo;
    size_t ponto = semExtensao.find_last_of('.');
    if (ponto != std::string::npos) semExtensao.erase(ponto);
    if (semExtensao.size() < cortarInicio + cortarFim) continue;
    std::string nome = MinusculasAscii(semExtensao.substr(cortarInicio, semExtensao.size() - cortarInicio - cortarFim));
    if (std::is_same_v<TModulo, TFPSmmCaptureModule> && (nome == "cyte" || nome == "tavoro" || nome == "rtouch"))
      continue;
    std::lock_guard<std::mutex> g(FBloqueio);
    if (Procurar(nome)) continue;
    try {
      FListaModulos.emplace_back(nome, std::make_unique<TModulo>(nome, pasta + arquivo));
    } catch (...) {
      // A plug-in that does not load or bind is left out; the next discovery tries it again.
    }
  }
  Trace("end BuscarModulos(%s)", mascara.c_str());
}

void TOmGestorLeitores::BuscarModulos(const std::string& pastaDada) {
  std::string pasta = IncluirDelimitador(pastaDada);
  const std::string sufixo = plat::ModuleSuffix();
  BuscarTipo<TOmrCaptureModule>(pasta, "omr_*_64" + sufixo, 4, 3);
  BuscarTipo<TFPSmmCaptureModule>(pasta, "FPSmm*" + sufixo, 5, 0);
}

void TOmGestorLeitores::BuscarModulosEm(const std::string& pastaPrograma, const std::string& pastaBiblioteca) {
  BuscarModulos(pastaPrograma);
  if (!TextosIguaisSemCaixa(IncluirDelimitador(pastaPrograma), IncluirDelimitador(pastaBiblioteca)))
    BuscarModulos(pastaBiblioteca);
}

void TOmGestorLeitores::BuscarModulosTodos() { BuscarModulosEm(PegPastaPrograma(""), PegPastaBiblioteca("")); }

std::vector<std::string> TOmGestorLeitores::NomesModulos() {
  std::lock_guard<std::mutex> g(FBloqueio);
  std::vector<std::string> nomes;
  for (auto& m : FListaModulos) nomes.push_back(m.first);
  return nomes;
}

TCaptureModule* TOmGestorLeitores::Modulo(const std::string& nome) {
  std::lock_guard<std::mutex> g(FBloqueio);
  return Procurar(nome);
}

int32_t TOmGestorLeitores::NumLeitores() {
  std::lock_guard<std::mutex> g(FBloqueio);
  int32_t total = 0;
  for (auto& m : FListaModulos) {
    int32_t n = m.second->DeviceCount();
    Trace("omr '%s' relatou %d leitores", m.first.c_str(), n);
    total += n;
  }
  return total;
}

int32_t TOmGestorLeitores::PegNumerosSerie(std::vector<std::string>& lista) {
  std::lock_guard<std::mutex> g(FBloqueio);
  int32_t total = 0;
  for (auto& m : FListaModulos) {
    Trace("omr '%s': ch. GetDeviceList()", m.first.c_str());
    total += m.second->GetDeviceList(lista);
  }
  return total;
}

TOmCaptureDevice* TOmGestorLeitores::AbrirDispositivo(const std::string& numSerie) {
  std::lock_guard<std::mutex> g(FBloqueio);
  std::string resto = numSerie;
  std::string prefixo = ExtrairCampo(resto, "\\");
  TOmCaptureDevice* resultado = nullptr;
  for (auto& m : FListaModulos) {
    if (!TextosIguaisSemCaixa(m.second->Prefix(), prefixo)) continue;
    Trace("omr '%s': ch. OpenDevice('%s')", m.first.c_str(), resto.c_str());
    TOmCaptureDevice* d;
    try {
      d = m.second->OpenDevice(resto);
    } catch (...) {
      if (resultado) {
        try {
          resultado->Close();
        } catch (...) {
        }
        delete resultado;
      }
      throw;
    }
    // Every matching module is asked and the last device is the answer; an
    // earlier one would otherwise stay open with nobody to close it.
    if (resultado) {
      try {
        resultado->Close();
      } catch (...) {
      }
      delete resultado;
    }
    resultado = d;
  }
  return resultado;
}

void TOmGestorLeitores::FecharDispositivo(TOmCaptureDevice* disp) {
  if (!disp) return;
  std::lock_guard<std::mutex> g(FBloqueio);
  disp->Close();
}

void TOmGestorLeitores::Adicionar(TOmbrelFP* neoFP) {
  std::lock_guard<std::mutex> g(FTravaComponentes);
  FListaComponentes.push_back(neoFP);
}

void TOmGestorLeitores::Remover(TOmbrelFP* neoFP) {
  bool vazia;
  {
    std::lock_guard<std::mutex> g(FTravaComponentes);
    auto it = std::find(FListaComponentes.begin(), FListaComponentes.end(), neoFP);
    if (it != FListaComponentes.end()) FListaComponentes.erase(it);
    vazia = FListaComponentes.empty();
  }
  if (vazia) ScanManUnload();
}

size_t TOmGestorLeitores::NumComponentes() {
  std::lock_guard<std::mutex> g(FTravaComponentes);
  return FListaComponentes.size();
}

void TOmGestorLeitores::IniciouConexao(const std::string& numSerieLeitor, int32_t indiceLeitor) {
  if (!IsUncheckedSerial(numSerieLeitor) && !IsBioISerial(numSerieLeitor)) ScanManLoad();
  if (indiceLeitor == -1) {
    std::lock_guard<std::mutex> g(FBloqueio);
    if (!FListaModulos.empty()) return;
  }
  BuscarModulosTodos();
}

TOmGestorLeitores& ReaderManager(bool preCarregar) {
  // Process-wide and never destroyed: its plug-ins stay loaded until the process ends.
  static TOmGestorLeitores* gestor = new TOmGestorLeitores(preCarregar);
  return *gestor;
}

int32_t TotalReaderCount() {
  TOmGestorLeitores& g = ReaderManager(true);
  int32_t n = g.NumLeitores();
  if (ScanManLoad()) n += ScanManDeviceCount();
  return n;
}

std::string SerialAtIndex(int32_t index) {
  TOmGestorLeitores& g = ReaderManager(true);
  std::vector<std::string> lista;
  g.PegNumerosSerie(lista);
  if (ScanManLoad()) {
    int32_t n = ScanManDeviceCount();
    for (int32_t i = 0; i < n; ++i) lista.push_back(ScanManDeviceId(i));
  }
  if (index < 0) throw Exception(Format("List index out of bounds (%d)", index));
  if (static_cast<size_t>(index) < lista.size()) return lista[static_cast<size_t>(index)];
  return {};
}

namespace {
bool ComecaCom(const std::string& s, const char* prefixo, bool semCaixa) {
  size_t n = std::char_traits<char>::length(prefixo);
  if (s.size() < n) return false;
  return semCaixa ? TextosIguaisSemCaixa(s.substr(0, n), prefixo) : s.compare(0, n, prefixo) == 0;
}
}  // namespace

bool IsUncheckedSerial(const std::string& s) { return ComecaCom(s, "OM:", false) || ComecaCom(s, "ZQ\\", false); }
bool IsBioISerial(const std::string& s) { return ComecaCom(s, "bio-i", true); }
bool IsSeguraSerial(const std::string& s) { return ComecaCom(s, "segura", true); }
bool IsNiteraSerial(const std::string& s) { return ComecaCom(s, "nitera", true); }
bool IsGubSerial(const std::string& s) { return ComecaCom(s, "GUB", true); }
bool IsTavoroSerial(const std::string& s) { return ComecaCom(s, "Tavoro", true); }

std::string NormalizeSerial(const std::string& s) {
  if (!s.empty() && s[0] == '{') return "RTouch\\" + (s.size() >= 2 ? s.substr(1, s.size() - 2) : std::string());
  return s;
}
