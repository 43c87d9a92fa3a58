// Scanner objects: one TInnerScanner per reader handed to Java, the
// process-wide scanner list, and the event thread that turns captured images
// into calls of the Java Scanner's fireEvent.
#pragma once
#include <jni.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "readers/udOmbrelFPComum.h"

class TOmbrelFP;
class TThreadGenerica;

enum TAPI : int32_t { API_OM = 0, API_ScanMan = 1 };

// The hand-off between the capture thread and one run of the event thread:
// at most one pending image (the newest), replaced copies released at once.
class TCanalEventos {
 public:
  // Makes `imagem` the pending image of kind `tipo` and wakes the receiver.
  void Publicar(const std::string& tipo, std::unique_ptr<TGrayImage> imagem);
  // Waits for a publication or for Encerrar; false when the channel was closed.
  bool Aguardar();
  // Takes the pending image (null when there is none) and its kind.
  std::unique_ptr<TGrayImage> Retirar(std::string& tipo);
  void Encerrar();
  bool Aberto() const { return FAberto.load(); }

 private:
  TEvento FCondHasImage{false, false};
  std::atomic<bool> FAberto{true};
  std::mutex FTrava;
  std::string FSEventKind;
  std::unique_ptr<TGrayImage> FGrayImage;
};

class TInnerScanner {
 public:
  TInnerScanner(const std::string& numSerie, TAPI api);
  ~TInnerScanner();
  TInnerScanner(const TInnerScanner&) = delete;
  TInnerScanner& operator=(const TInnerScanner&) = delete;

  // Starts capture and the event thread, which takes over ojScanner (a JNI
  // global reference) and attaches itself to vm, the VM of the caller.
  // Returns false, taking nothing over, when capture is already running; a
  // failure also leaves the reference with the caller.
  bool StartCapturing(jobject ojScanner, JavaVM* vm);
  // Stops capture. The event thread is handed to `aguardar` when given (so
  // that the caller can wait for it after giving up the scanner lock),
  // otherwise waited for here.
  void StopCapturing(std::unique_ptr<TThreadGenerica>* aguardar = nullptr);
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
  std::mutex FTravaCanal;  // FCanal is read by the capture thread
  std::shared_ptr<TCanalEventos> FCanal;
};

// Operations of the exports, called with the scanner lock held.
int32_t ContarLeitores();
std::string IdLeitorNoIndice(int32_t index);
// The scanner object of the reader at index, created on first request; null for none.
TInnerScanner* PegScanner(int32_t index);
// The live scanner object behind a handle; raises for an unknown or stale one.
TInnerScanner* ScannerDoHandle(jlong handle);
// Stops and destroys every scanner object; event threads go to `aguardar` when given.
void FinalizarScanners(std::vector<std::unique_ptr<TThreadGenerica>>* aguardar = nullptr);
