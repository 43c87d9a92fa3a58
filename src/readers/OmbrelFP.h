// The reader component: one object drives one fingerprint reader for its
// owner. Setting an operation mode other than moInativo activates it (reader
// check, cross-process claim, device or Ridgeway capture, capture thread);
// every image is copied, made the current image and handled by mode.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/namedevent.h"
#include "readers/OmbrelBase.h"
#include "readers/udOmbrelFPComum.h"

class TOmCaptureDevice;
class TThreadGenerica;
class TOmbrelFP;

using TNotifyEvent = std::function<void(TOmbrelFP* Sender)>;
using TEventoCapturou = std::function<void(TOmbrelFP* Sender, int32_t numCaptura)>;
using TEventoFimCaptura = std::function<void(TOmbrelFP* Sender, bool capturaOK)>;
using TEventoReconheceu = std::function<void(TOmbrelFP* Sender, int32_t id, const std::string& codigo, int32_t indDedo)>;
using TEventoErroPesquisa = std::function<void(TOmbrelFP* Sender, const std::string& mensagem)>;
using TEventoImpressaoExistente =
    std::function<void(TOmbrelFP* Sender, int32_t id, const std::string& codigo, int32_t indDedo, bool& rejeitar)>;
using TEventoImagem = std::function<void(TOmbrelFP* Sender, TGrayImage* imagem)>;

class TOmbrelFP {
 public:
  TOmbrelFP();
  virtual ~TOmbrelFP();
  TOmbrelFP(const TOmbrelFP&) = delete;
  TOmbrelFP& operator=(const TOmbrelFP&) = delete;

  // Properties.
  TGrayImage* ImagemAtual() const { return ImagemCapturada; }
  TOmbrelBase* Base() const { return FBase; }
  void SetBase(TOmbrelBase* base) { FBase = base; }
  TModoOperacao ModoOperacao() const { return FModoOperacao.load(); }
  void SetModoOperacao(TModoOperacao value);
  int32_t IndiceLeitor() const { return FIndiceLeitor; }
  void SetIndiceLeitor(int32_t value) { FIndiceLeitor = value; }
  const std::string& NumSerieLeitor() const { return FNumSerieLeitor; }
  void SetNumSerieLeitor(const std::string& value);
  int32_t Resolucao() const { return FResolucao; }
  void SetResolucao(int32_t value) { FResolucao = value; }
  bool ReduzirImagem() const { return FReduzirImagem; }
  void SetReduzirImagem(bool value) { FReduzirImagem = value; }
  bool VerificarExistencia() const { return FVerificarExistencia; }
  void SetVerificarExistencia(bool value) { FVerificarExistencia = value; }
  bool PesquisaEmThread() const { return FPesquisaEmThread; }
  void SetPesquisaEmThread(bool value) { FPesquisaEmThread = value; }
  bool UsaBaseParalela() const { return false; }
  void SetUsaBaseParalela(bool) {}
  double TempoPesquisa() const { return FTempoPesquisa; }
  int32_t UltimaPontuacao() const { return FUltimaPontuacao; }
  bool Passou1paraN() const { return FPassou1paraN; }
  bool AguardandoPesquisa() const { return FAguardandoPesquisa.load(); }
  int32_t GetNumLeitores();
  bool EstaAtivo() const { return Ativo.load(); }
  // The thread that serves searches (created on the first search), or none.
  TThreadPesquisa* ThreadPesquisa();

  // The device's reply to a command; needs an active component with a capture device.
  std::string EnviarComandoStr(const std::string& comando, const std::string& argumentos, bool semHandle = false);

  // Events.
  TEventoCapturou OnCapturou;
  TEventoFimCaptura OnFimCaptura;
  TEventoReconheceu OnReconheceu;
  TNotifyEvent OnNaoReconheceu;
  TNotifyEvent OnInicioPesquisa;
  TEventoErroPesquisa OnErroPesquisa;
  TEventoImpressaoExistente OnImpressaoExistente;
  TEventoImagem OnNovaImagem;
  TNotifyEvent OnMudouModoOperacao;

  // Entry of an image from any source: copied into a new grey image and processed.
  void ReceberImagem(int32_t width, int32_t height, const uint8_t* pixels);

  // Fields, in declaration order.
  std::atomic<bool> Ativo{false};
  TGrayImage* ImagemCapturada = nullptr;
  int32_t IndImpressaoCapturada = 0;
  bool UniuImagens = false;
  int32_t Tag = 0;

 protected:
  virtual void DoCapturou(int32_t numCaptura);
  virtual void DoFimCaptura(bool capturaOK);
  virtual void DoReconheceu(int32_t id, const std::string& codigo, int32_t indDedo);
  virtual void DoNaoReconheceu();
  virtual void DoInicioPesquisa();
  virtual void DoImpressaoExistente(int32_t id, const std::string& codigo, int32_t indDedo, bool& rejeitar);
  virtual void DoErroPesquisa(const std::string& mensagem);
  virtual void DoNovaImagem(TGrayImage* imagem);
  virtual void DoMudouModoOperacao();

  // Takes ownership of the image.
  void ProcessarImagem(std::unique_ptr<TGrayImage> image);
  void IniciarPesquisa(std::unique_ptr<TGrayImage> image);
  // Runs on the search worker with the results it took before going idle.
  void FimPesquisa(bool erro, const std::string& mensagem, int32_t id, const std::string& codigo, int32_t indDedo);

 private:
  friend class TThreadPesquisa;

  void Ativar(TModoOperacao mode);
  void Desativar();
  void VerificarLeitor(TModoOperacao mode);
  void ExigirBase();
  void LiberarReivindicacao();
  std::unique_ptr<TGrayImage> NovaImagem(int32_t width, int32_t height, const uint8_t* pixels) const;
  void CapturarImagem(TOmCaptureDevice* sender);
  void CapturarImagens(TThreadGenerica& thread);
  static void ImagemRidgeway(const char* scannerId, int32_t width, int32_t height, const uint8_t* image,
                             int32_t resolution, void* param);

  TOmbrelBase* FBase = nullptr;
  std::atomic<TModoOperacao> FModoOperacao{moInativo};
  int32_t FIndiceLeitor = 0;
  bool FReduzirImagem = true;
  TOmCaptureDevice* FDispositivoCaptura = nullptr;
  bool FVerificarExistencia = false;
  std::string FNumSerieLeitor;
  bool FValidouLeitor = false;
  bool FLeitorValido = false;
  int32_t FResolucao = 440;
  std::unique_ptr<TThreadPesquisa> FThreadPesquisa;  // created on the delivering thread
  std::mutex FTravaPesquisa;                          // guards FThreadPesquisa itself
  std::atomic<bool> FAguardandoPesquisa{false};
  std::atomic<double> FTempoPesquisa{0};
  plat::NamedEventHandle FEventoCapturando = nullptr;
  std::unique_ptr<TThreadGenerica> FThreadCaptura;
  bool FSimulando = false;
  std::atomic<int32_t> FUltimaPontuacao{0};
  bool FPassou1paraN = false;
  std::string FSTemplateCapturado;
  int32_t FFormatoTemplateCapturado = 0;
  bool FPesquisaEmThread = true;

  // Deliveries from the device or Ridgeway threads. While deactivation runs,
  // FFechando turns new deliveries away; FTravaEntrega is held while a
  // delivery reads the device's buffer, so the buffer is never released
  // under a copy; FEntregasEmCurso lets deactivation wait for the last one.
  std::mutex FTravaEntrega;
  std::atomic<bool> FFechando{false};
  std::atomic<int> FEntregasEmCurso{0};
};

// The named event that claims the reader with this serial number: "OmbrelFP_"
// followed by the serial number with every backslash replaced by "_".
std::string NomeEventoLeitor(const std::string& numSerie);
