#include "readers/OmbrelFP.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "readers/CapturaModulos.h"
#include "readers/GestorLeitores.h"
#include "readers/ScanMan.h"
#include "support/Formatar.h"
#include "support/udBibRotinas.h"
#include "support/udBibThreads.h"

namespace {
bool EhModoDeBase(TModoOperacao m) { return m == moCadastro || m == moPesquisa; }

// Counts a delivery for as long as it runs, so deactivation can wait for it.
struct TContagemEntrega {
  std::atomic<int>& n;
  explicit TContagemEntrega(std::atomic<int>& c) : n(c) { ++n; }
  ~TContagemEntrega() { --n; }
};
}  // namespace

std::string NomeEventoLeitor(const std::string& numSerie) {
  std::string nome = "OmbrelFP_" + numSerie;
  for (auto& c : nome)
    if (c == '\\') c = '_';
  return nome;
}

TOmbrelFP::TOmbrelFP() { ReaderManager(true).Adicionar(this); }

TOmbrelFP::~TOmbrelFP() {
  try {
    Desativar();
  } catch (...) {
    // A reader that fails to switch off must not stop the component from going.
  }
  delete ImagemCapturada;
  ImagemCapturada = nullptr;
  try {
    ReaderManager(true).Remover(this);
  } catch (...) {
  }
  std::unique_ptr<TThreadPesquisa> w;
  {
    std::lock_guard<std::mutex> g(FTravaPesquisa);
    w = std::move(FThreadPesquisa);
  }
  w.reset();
}

int32_t TOmbrelFP::GetNumLeitores() { return TotalReaderCount(); }

TThreadPesquisa* TOmbrelFP::ThreadPesquisa() {
  std::lock_guard<std::mutex> g(FTravaPesquisa);
  return FThreadPesquisa.get();
}

void TOmbrelFP::SetNumSerieLeitor(const std::string& value) {
  if (value == FNumSerieLeitor) return;
  if (Ativo) throw EOmbrelFP("Não é possível alterar núm.série com componente conectado.");
  FNumSerieLeitor = value;
  FIndiceLeitor = -1;
}

std::string TOmbrelFP::EnviarComandoStr(const std::string& comando, const std::string& argumentos, bool semHandle) {
  if (!Ativo) throw EOmbrelFP("Ative o leitor para enviar comandos.");
  if (!FDispositivoCaptura) throw EOmbrelFP("Dispositivo não suporta comandos.");
  return FDispositivoCaptura->SendCommandStr(comando, argumentos, semHandle);
}

void TOmbrelFP::SetModoOperacao(TModoOperacao value) {
  TModoOperacao atual = FModoOperacao.load();
  if (value == atual) return;
  // A search in progress completes first; no new search starts until the
  // change is over, whatever its outcome.
  TThreadPesquisa* w = ThreadPesquisa();
  if (w) w->FEventoFim.Esperar();
  struct TLiberar {
    TThreadPesquisa* w;
    ~TLiberar() {
      if (w) w->FEventoFim.Sinalizar();
    }
  } liberar{w};

  if (EhModoDeBase(value) && !EhModoDeBase(atual)) ExigirBase();
  if (!Ativo && value != moInativo) {
    Ativar(value);
  } else if (Ativo && value == moInativo) {
    try {
      Desativar();
    } catch (...) {
      // Desativar raises only after the teardown is complete: the reader is
      // off, and a later start must find it so.
      FModoOperacao = moInativo;
      throw;
    }
  } else {
    VerificarLeitor(value);
  }

  FModoOperacao = value;
  if (value == moCadastro) {
    IndImpressaoCapturada = 0;
    UniuImagens = false;
    if (FBase) FBase->ReiniciarCadastro();
  }
  DoMudouModoOperacao();
}

void TOmbrelFP::ExigirBase() {
  if (!FBase || !FBase->GetAtivo()) throw EOmbrelFP("Operação requer ativar a base de impressões.");
  if (!FValidouLeitor && !FNumSerieLeitor.empty()) {
    FLeitorValido = FBase->LeitorValido(FNumSerieLeitor);
    FValidouLeitor = FLeitorValido;
    if (!FLeitorValido) throw EOmbrelFP("Leitor não registrado.");
  }
}

void TOmbrelFP::VerificarLeitor(TModoOperacao mode) {
  if (!EhModoDeBase(mode) || EhModoDeBase(FModoOperacao.load())) return;
  if (FNumSerieLeitor.empty() || FValidouLeitor) return;
  FLeitorValido = FBase ? FBase->LeitorValido(FNumSerieLeitor) : false;
  if (!FLeitorValido) throw EOmbrelFP("Leitor não registrado.: " + FNumSerieLeitor);
  FValidouLeitor = true;
}

void TOmbrelFP::Ativar(TModoOperacao mode) {
  if (Ativo) return;
  Ativo = true;
  FFechando = false;
  try {
    TOmGestorLeitores& gestor = ReaderManager(true);
    gestor.IniciouConexao(FNumSerieLeitor, FIndiceLeitor);

    std::vector<std::string> lista;
    gestor.PegNumerosSerie(lista);
    if (ScanManLoad()) {
      int32_t n = ScanManDeviceCount();
      for (int32_t i = 0; i < n; ++i) lista.push_back(ScanManDeviceId(i));
    }
    int32_t I = FIndiceLeitor;
    int32_t C = static_cast<int32_t>(lista.size());

    if (!IsUncheckedSerial(FNumSerieLeitor)) {
      if (C < 1) throw EOmbrelFP("Não há leitores detectados. Impossível ativar.");
      if (I == -1 && !FNumSerieLeitor.empty()) {
        std::string procurado = NormalizeSerial(FNumSerieLeitor);
        for (int32_t k = 0; k < C; ++k)
          if (TextosIguaisSemCaixa(lista[k], procurado)) {
            I = k;
            break;
          }
      }
      if (I < 0 && !FNumSerieLeitor.empty())
        throw EOmbrelFP(Format("Leitor não conectado: %s\nTotal de leitores conectados: %d", FNumSerieLeitor.c_str(), C));
      // An index below -1 would otherwise reach the list unchecked.
      if (I >= C || I < -1) throw EOmbrelFP(Format("Índice de leitor inválido: deve estar entre 0 e %d.", C - 1));
      if (I == -1) throw EOmbrelFP("Número de série do leitor não informado.");
      FNumSerieLeitor = lista[I];
    }

    VerificarLeitor(mode);

    if (!IsUncheckedSerial(FNumSerieLeitor)) {
      plat::NamedEventHandle h = plat::CreateOrOpenNamedEvent(NomeEventoLeitor(FNumSerieLeitor));
      if (!h || !plat::WaitNamedEvent(h, 1)) {
        if (h) plat::CloseNamedEvent(h);
        throw EOmbrelFP(Format("O leitor %s já está sendo usado por outra aplicação.", FNumSerieLeitor.c_str()));
      }
      FEventoCapturando = h;
    }

    TOmCaptureDevice* d = gestor.AbrirDispositivo(FNumSerieLeitor);
    if (d) {
      FDispositivoCaptura = d;
      d->OnImage = [this](TOmCaptureDevice* sender) { CapturarImagem(sender); };
      if (d->UseThread())
        FThreadCaptura = std::make_unique<TThreadGenerica>([this](TThreadGenerica& t) { CapturarImagens(t); }, false,
                                                           nullptr);
      return;
    }
    if (IsUncheckedSerial(FNumSerieLeitor)) return;
    std::string falha = Format("Não consegui iniciar captura para leitor %s.\nPode ser necessário reiniciar o programa.",
                               FNumSerieLeitor.c_str());
    if (!ScanManLoad()) throw EOmbrelFP(falha);
    if (ScanManStartCapture(FNumSerieLeitor, &TOmbrelFP::ImagemRidgeway, this) < 0) throw EOmbrelFP(falha);
  } catch (...) {
    Ativo = false;
    // A device opened before the failure (its thread could not start) is not
    // left open with nobody owning it.
    if (FDispositivoCaptura) {
      {
        std::lock_guard<std::mutex> g(FTravaEntrega);
        FFechando = true;
      }
      try {
        ReaderManager(true).FecharDispositivo(FDispositivoCaptura);
      } catch (...) {
      }
      FThreadCaptura.reset();
      delete FDispositivoCaptura;
      FDispositivoCaptura = nullptr;
    }
    LiberarReivindicacao();
    throw;
  }
}

void TOmbrelFP::Desativar() {
  if (!Ativo) return;
  Ativo = false;
  FLeitorValido = false;
  {
    // From here on no delivery reads the device's buffer: one in progress
    // finishes its copy first, later ones are turned away.
    std::lock_guard<std::mutex> g(FTravaEntrega);
    FFechando = true;
  }
  std::exception_ptr falha;
  if (FDispositivoCaptura) {
    try {
      ReaderManager(true).FecharDispositivo(FDispositivoCaptura);
    } catch (...) {
      falha = std::current_exception();
    }
    if (FThreadCaptura) {
      FThreadCaptura->Terminate();
      FThreadCaptura.reset();  // waits for the thread
    }
    delete FDispositivoCaptura;
    FDispositivoCaptura = nullptr;
  } else if (IsSeguraSerial(FNumSerieLeitor) || IsNiteraSerial(FNumSerieLeitor) || IsGubSerial(FNumSerieLeitor) ||
             IsTavoroSerial(FNumSerieLeitor)) {
    if (FThreadCaptura) {
      FThreadCaptura->Terminate();
      FThreadCaptura.reset();
    }
  } else if (!IsUncheckedSerial(FNumSerieLeitor)) {
    ScanManStopCapture(FNumSerieLeitor);
  }
  // Images pushed by a plug-in's own thread may still be on their way through
  // the handlers; the component's state must outlive them.
  while (FEntregasEmCurso.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  LiberarReivindicacao();
  FValidouLeitor = false;
  if (falha) std::rethrow_exception(falha);
}

void TOmbrelFP::LiberarReivindicacao() {
  if (!FEventoCapturando) return;
  plat::SetNamedEvent(FEventoCapturando);
  plat::CloseNamedEvent(FEventoCapturando);
  FEventoCapturando = nullptr;
}

void TOmbrelFP::CapturarImagens(TThreadGenerica& thread) {
  TOmCaptureDevice* d = FDispositivoCaptura;
  try {
    d->Allocate();
    while (!thread.Terminated() && d->Active()) {
      if (d->WaitImage()) d->DoImage();
    }
  } catch (...) {
    // A device that fails ends its capture; the owner still deactivates normally.
  }
}

void TOmbrelFP::CapturarImagem(TOmCaptureDevice* sender) {
  TContagemEntrega contagem(FEntregasEmCurso);
  try {
    std::unique_ptr<TGrayImage> imagem;
    {
      std::lock_guard<std::mutex> g(FTravaEntrega);
      if (FFechando) return;
      int32_t w = sender->ImageWidth();
      int32_t h = sender->ImageHeight();
      const uint8_t* p = sender->ImageBuffer();
      if (!p || w <= 0 || h <= 0) return;
      imagem = NovaImagem(w, h, p);
    }
    ProcessarImagem(std::move(imagem));
  } catch (...) {
    // Failures of handlers or of the base stay on this thread.
  }
}

void TOmbrelFP::ImagemRidgeway(const char* /*scannerId*/, int32_t width, int32_t height, const uint8_t* image,
                               int32_t /*resolution*/, void* param) {
  auto* self = static_cast<TOmbrelFP*>(param);
  if (!self) return;
  TContagemEntrega contagem(self->FEntregasEmCurso);
  try {
    if (self->FFechando) return;
    if (!self->FAguardandoPesquisa || self->FModoOperacao.load() == moVisualizar) self->ReceberImagem(width, height, image);
  } catch (...) {
  }
}

std::unique_ptr<TGrayImage> TOmbrelFP::NovaImagem(int32_t width, int32_t height, const uint8_t* pixels) const {
  if (!pixels) return std::make_unique<TGrayImage>(width, height, FResolucao);
  auto imagem = std::make_unique<TGrayImage>(0, 0, FResolucao);
  imagem->Width = width < 0 ? 0 : width;
  imagem->Height = height < 0 ? 0 : height;
  // Rows lie one after the other at the source as in the grid: the grid is
  // made from the pixels in one pass, without zero-filling it first.
  imagem->Bits.assign(pixels, pixels + static_cast<size_t>(imagem->Width) * static_cast<size_t>(imagem->Height));
  return imagem;
}

void TOmbrelFP::ReceberImagem(int32_t width, int32_t height, const uint8_t* pixels) {
  if (!pixels || width <= 0 || height <= 0) return;
  ProcessarImagem(NovaImagem(width, height, pixels));
}

void TOmbrelFP::ProcessarImagem(std::unique_ptr<TGrayImage> image) {
  TModoOperacao modo = FModoOperacao.load();
  if (modo == moInativo || !image) return;

  if (ImagemCapturada && ImagemCapturada->Width == image->Width && ImagemCapturada->Height == image->Height) {
    ImagemCapturada->Resolution = image->Resolution;
    ImagemCapturada->Bits = image->Bits;
  } else {
    delete ImagemCapturada;
    ImagemCapturada = new TGrayImage(*image);
  }
  DoNovaImagem(image.get());

  switch (modo) {
    case moDesenvolvimento:
      DoCapturou(0);
      break;
    case moCadastro: {
      TOmbrelBase* base = FBase;
      if (!base) break;
      int32_t limiarUniu = 0, limiar1paraN = 0;
      bool uniu = base->AdicionarImagemCadastroP6(image.get(), limiarUniu, limiar1paraN);
      ++IndImpressaoCapturada;
      if (IndImpressaoCapturada < 3) {
        DoCapturou(IndImpressaoCapturada);
        break;
      }
      UniuImagens = uniu;
      if (uniu) FPassou1paraN = limiarUniu >= limiar1paraN;
      IndImpressaoCapturada = 0;
      bool rejeitar = false;
      if (FVerificarExistencia && uniu) {
        int32_t id = 0, indDedo = 0;
        std::string codigo;
        if (base->PesquisarImpressaoUnida(id, codigo, indDedo)) DoImpressaoExistente(id, codigo, indDedo, rejeitar);
        FUltimaPontuacao = base->GetUltimaPontuacao();
      }
      if (!rejeitar) DoFimCaptura(uniu);
      break;
    }
    case moPesquisa:
      IniciarPesquisa(std::move(image));
      return;
    default:
      break;
  }
}

void TOmbrelFP::IniciarPesquisa(std::unique_ptr<TGrayImage> image) {
  if (!FPesquisaEmThread) {
    FAguardandoPesquisa = true;
    try {
      DoInicioPesquisa();
      auto inicio = std::chrono::steady_clock::now();
      TOmbrelBase* base = FBase;
      if (!base) throw EOmbrelFP("Operação requer ativar a base de impressões.");
      std::string codigo;
      int32_t indDedo = 0;
      int32_t id = base->PesquisarImagem2(image.get(), codigo, indDedo, nullptr);
      FTempoPesquisa = std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
      FUltimaPontuacao = base->GetUltimaPontuacao();
      FAguardandoPesquisa = false;
      if (id != 0) DoReconheceu(id, codigo, indDedo);
      else DoNaoReconheceu();
    } catch (const std::exception& e) {
      FAguardandoPesquisa = false;
      DoErroPesquisa(e.what());
    }
    return;
  }

  TThreadPesquisa* w;
  {
    std::lock_guard<std::mutex> g(FTravaPesquisa);
    if (!FThreadPesquisa) FThreadPesquisa = std::make_unique<TThreadPesquisa>(this);
    w = FThreadPesquisa.get();
  }
  // Wait for the previous search, but give up when the component is being
  // switched off: deactivation waits for this thread while it holds the
  // worker's idle event.
  while (!w->FEventoFim.Esperar(std::chrono::milliseconds(20)))
    if (FFechando) return;
  if (FFechando || FModoOperacao.load() != moPesquisa) {
    w->FEventoFim.Sinalizar();
    return;
  }
  FAguardandoPesquisa = true;
  w->FImagem = std::move(image);
  w->FTemplate.clear();
  try {
    // Announced before the worker starts, so that its result never comes first.
    DoInicioPesquisa();
  } catch (...) {
    w->FImagem.reset();
    FAguardandoPesquisa = false;
    w->FEventoFim.Sinalizar();
    throw;
  }
  w->FEventoInicio.Sinalizar();
}

void TOmbrelFP::FimPesquisa(bool erro, const std::string& mensagem, int32_t id, const std::string& codigo,
                            int32_t indDedo) {
  FAguardandoPesquisa = false;
  if (erro) DoErroPesquisa(mensagem);
  else if (id != 0) DoReconheceu(id, codigo, indDedo);
  else DoNaoReconheceu();
}

void TOmbrelFP::DoCapturou(int32_t numCaptura) {
  if (OnCapturou) OnCapturou(this, numCaptura);
}
void TOmbrelFP::DoFimCaptura(bool capturaOK) {
  if (OnFimCaptura) OnFimCaptura(this, capturaOK);
}
void TOmbrelFP::DoReconheceu(int32_t id, const std::string& codigo, int32_t indDedo) {
  if (OnReconheceu) OnReconheceu(this, id, codigo, indDedo);
}
void TOmbrelFP::DoNaoReconheceu() {
  if (OnNaoReconheceu) OnNaoReconheceu(this);
}
void TOmbrelFP::DoInicioPesquisa() {
  if (OnInicioPesquisa) OnInicioPesquisa(this);
}
void TOmbrelFP::DoImpressaoExistente(int32_t id, const std::string& codigo, int32_t indDedo, bool& rejeitar) {
  if (OnImpressaoExistente) OnImpressaoExistente(this, id, codigo, indDedo, rejeitar);
}
void TOmbrelFP::DoErroPesquisa(const std::string& mensagem) {
  if (OnErroPesquisa) OnErroPesquisa(this, mensagem);
}
void TOmbrelFP::DoNovaImagem(TGrayImage* imagem) {
  if (OnNovaImagem) OnNovaImagem(this, imagem);
}
void TOmbrelFP::DoMudouModoOperacao() {
  if (OnMudouModoOperacao) OnMudouModoOperacao(this);
}
