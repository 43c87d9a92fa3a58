// The reader manager: the process-wide registry of capture modules and reader
// components. It discovers plug-ins next to the host program and next to this
// library, counts and lists their readers and opens a device by serial number.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class TCaptureModule;
class TOmCaptureDevice;
class TOmbrelFP;

class TOmGestorLeitores {
 public:
  explicit TOmGestorLeitores(bool preCarregar);

  int32_t NumLeitores();
  // Appends the serial numbers of all modules, module by module; returns their total.
  int32_t PegNumerosSerie(std::vector<std::string>& lista);
  // An open device for the serial number (owned by the caller), or null when no
  // module carries its prefix.
  TOmCaptureDevice* AbrirDispositivo(const std::string& numSerie);
  void FecharDispositivo(TOmCaptureDevice* disp);
  void Adicionar(TOmbrelFP* neoFP);
  void Remover(TOmbrelFP* neoFP);
  // Called by a reader component at the start of its activation with its serial
  // number and reader index (-1 when chosen by serial number).
  void IniciouConexao(const std::string& numSerieLeitor, int32_t indiceLeitor);

  void BuscarModulosTodos();
  // Discovery in the two given folders; the second is skipped when it names the
  // first (BuscarModulosTodos passes the host program's and this library's folder).
  void BuscarModulosEm(const std::string& pastaPrograma, const std::string& pastaBiblioteca);
  // Discovery in one folder.
  void BuscarModulos(const std::string& pasta);
  // Names of the loaded modules, in discovery order.
  std::vector<std::string> NomesModulos();
  TCaptureModule* Modulo(const std::string& nome);
  size_t NumComponentes();

 private:
  template <class TModulo>
  void BuscarTipo(const std::string& pasta, const std::string& mascara, size_t cortarInicio, size_t cortarFim);
  TCaptureModule* Procurar(const std::string& nome);

  std::mutex FBloqueio;
  std::mutex FTravaComponentes;
  std::vector<TOmbrelFP*> FListaComponentes;
  std::vector<std::pair<std::string, std::unique_ptr<TCaptureModule>>> FListaModulos;
};

// Creates the manager on first call (running discovery when preCarregar) and returns it.
TOmGestorLeitores& ReaderManager(bool preCarregar);
int32_t TotalReaderCount();
// "" when index is not below the combined list's length; a negative index raises
// "List index out of bounds (%d)".
std::string SerialAtIndex(int32_t index);

bool IsUncheckedSerial(const std::string& s);
bool IsBioISerial(const std::string& s);
bool IsSeguraSerial(const std::string& s);
bool IsNiteraSerial(const std::string& s);
bool IsGubSerial(const std::string& s);
bool IsTavoroSerial(const std::string& s);
std::string NormalizeSerial(const std::string& s);
