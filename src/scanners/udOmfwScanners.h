// Scanner objects: one TInnerScanner per reader handed to Java, the
// process-wide scanner list, and the event thread that turns captured images
// into calls of the Java Scanner's fireEvent.
#pragma once
#include <jni.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "readers/udOmbrelFPComum.h"

class TOmbrelFP;
class TThreadGenerica;

enum TAPI : int32_t { API_OM = 0, API_ScanMan = 1 };

// One run of the event thread: the hand-off from the capture thread (at most
// one pending image, the newest; replaced copies released at once) and the
// bookkeeping that lets others wait for the run to end.
class TCanalEventos {
 public:
  explicit TCanalEventos(std::string numSerie = {}) : FNumSerie(std::move(numSerie)) {}
  // Makes `imagem` the pending image of kind `tipo` and wakes the receiver.
  void Publicar(const std::string& tipo, std::unique_ptr<TGrayImage> imagem);
  // Waits for a publication or for Encerrar; false when the channel was closed.
  bool Aguardar();
  // As Aguardar, for at most `limite`; `publicado` tells a publication from the time running out.
  bool Aguardar(std::chrono::milliseconds limite, bool& publicado);
  // Takes the pending image (null when there is none) and its kind.
  std::unique_ptr<TGrayImage> Retirar(std::string& tipo);
  void Encerrar();
  bool Aberto() const { return FAberto.load(); }
  const std::string& NumSerie() const { return FNumSerie; }

 private:
  friend struct TEsperaExecucoes;
  TEvento FCondHasImage{false, false};
  std::atomic<bool> FAberto{true};
  std::mutex FTrava;
  std::string FSEventKind;
  std::unique_ptr<TGrayImage> FGrayImage;
  std::string FNumSerie;
  // Guarded by the process-wide lock of TEsperaExecucoes.
  std::thread::id FIdThread;                 // the event thread, once it runs
  bool FTerminou = false;                    // the routine has returned to the thread
  std::shared_ptr<TCanalEventos> FAnterior;  // the run it must outlast before delivering
  std::unique_ptr<TThreadGenerica> FOrfa;    // its own thread object, when nobody could wait for it
};

// A run taken out of a scanner object under the scanner lock, to be waited
// for and disposed of after the lock is given up.
struct TExecucaoPendente {
  std::shared_ptr<TCanalEventos> canal;
  std::unique_ptr<TThreadGenerica> thread;
  TExecucaoPendente();
  TExecucaoPendente(TExecucaoPendente&&) noexcept;
  TExecucaoPendente& operator=(TExecucaoPendente&&) noexcept;
  ~TExecucaoPendente();
};

enum class TFimEspera { Terminou, PropriaThread, Impasse };
// Waits, holding no lock of the caller, until the run has ended. Never waits
// on the run's own thread (PropriaThread), nor when the run's thread is, over
// a chain of such waits, waiting for the caller (Impasse).
TFimEspera AguardarFimDaExecucao(const std::shared_ptr<TCanalEventos>& canal);
// Disposes of the thread object without waiting: at once when the run has
// ended or on its own thread, otherwise the run does so itself when it ends.
void DescartarExecucao(TExecucaoPendente p);

class TInnerScanner {
 public:
  TInnerScanner(const std::string& numSerie, TAPI api);
  ~TInnerScanner();
  TInnerScanner(const TInnerScanner&) = delete;
  TInnerScanner& operator=(const TInnerScanner&) = delete;

  // Starts capture and the event thread, which takes over ojScanner and
  // eventClass (JNI global references: the Java Scanner, and its checked event
  // class) and attaches itself to vm, the VM of the caller. Returns false,
  // taking nothing over, when capture is already running; a failure also
  // leaves the references with the caller. The previous run must have ended
  // or be running on the calling thread (see ExecucaoEmCurso); in the latter
  // case the new run delivers nothing until the old one has ended.
  bool StartCapturing(jobject ojScanner, JavaVM* vm, jclass eventClass = nullptr);
  // The previous run when a start has to wait for it: still running, on
  // another thread than the caller's.
  std::shared_ptr<TCanalEventos> ExecucaoEmCurso() const;
  // Stops capture. The latest run (and its thread object, if still here) goes
  // to `pendente` before anything can fail, so that the caller waits for it
  // after giving up the scanner lock, whatever happens. Without `pendente`
  // the run is waited for here.
  void StopCapturing(TExecucaoPendente* pendente = nullptr);
  bool IsCapturing() const { return FCapturing; }

  TOmbrelFP& NeoFP() { return *FNeoFP; }
  const std::string& NumSerie() const { return FNumSerie; }
  TAPI API() const { return FAPI; }

 private:
  void CapturaHandler();

  std::unique_ptr<TOmbrelFP> FNeoFP;
  std::string FNumSerie;
  TAPI FAPI;
  bool FCapturing = false;
  std::unique_ptr<TThreadGenerica> FThreadEventos;
  std::shared_ptr<TCanalEventos> FExecucao;  // the latest run, kept after the stop until the next start
  std::mutex FTravaCanal;                    // FCanal is read by the capture thread
  std::shared_ptr<TCanalEventos> FCanal;     // the run being fed, while capturing
};

// Operations of the exports, called with the scanner lock held.
int32_t ContarLeitores();
std::string IdLeitorNoIndice(int32_t index);
// The scanner object of the reader at index, created on first request; null for none.
TInnerScanner* PegScanner(int32_t index);
// The live scanner object behind a handle; raises for an unknown or stale one.
TInnerScanner* ScannerDoHandle(jlong handle);
// Stops and destroys every scanner object. Their runs go to `pendentes`, also
// when a stop fails (the failure then propagates and the scanner objects from
// the failing one on stay in the list); without `pendentes` they are waited for here.
void FinalizarScanners(std::vector<TExecucaoPendente>* pendentes = nullptr);
