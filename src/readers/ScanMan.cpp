#include "readers/ScanMan.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/callconv.h"
#include "platform/errors.h"
#include "platform/messagewindow.h"
#include "platform/modules.h"
#include "readers/ScanManInterno.h"
#include "support/CicloDeVida.h"
#include "support/Excecoes.h"
#include "support/TextoUnicode.h"
#include "support/Trace.h"
#include "support/udBibThreads.h"

// ---------------------------------------------------------------- resampling

void ReamostrarArea(const uint8_t* origem, int32_t largura, int32_t altura, int32_t regiaoL, int32_t regiaoA,
                    uint8_t* destino, int32_t dl, int32_t da, bool girar180) {
  if (dl <= 0 || da <= 0 || regiaoL <= 0 || regiaoA <= 0 || !destino) return;
  // Coordinates are scaled by the destination size across and down, so every
  // overlap is an integer: destination x spans [x*regiaoL, (x+1)*regiaoL],
  // source column i spans [i*dl, (i+1)*dl]. The weights of one destination
  // pixel then sum to regiaoL * regiaoA.
  struct Peso {
    int32_t indice;
    uint32_t peso;
  };
  auto pesos = [](int32_t destinoN, int32_t regiao) {
    std::vector<std::vector<Peso>> r(static_cast<size_t>(destinoN));
    for (int32_t x = 0; x < destinoN; ++x) {
      int64_t ini = static_cast<int64_t>(x) * regiao, fim = ini + regiao;
      for (int64_t i = ini / destinoN; i * destinoN < fim && i < regiao; ++i) {
        int64_t a = std::max(ini, i * destinoN), b = std::min(fim, (i + 1) * destinoN);
        if (b > a) r[static_cast<size_t>(x)].push_back({static_cast<int32_t>(i), static_cast<uint32_t>(b - a)});
      }
    }
    return r;
  };
  const auto px = pesos(dl, regiaoL), py = pesos(da, regiaoA);
  const bool temImagem = origem && largura > 0 && altura > 0;
  const uint64_t total = static_cast<uint64_t>(regiaoL) * static_cast<uint64_t>(regiaoA);
  for (int32_t y = 0; y < da; ++y) {
    for (int32_t x = 0; x < dl; ++x) {
      uint64_t soma = 0;
      for (const Peso& wy : py[static_cast<size_t>(y)]) {
        uint64_t linha = 0;
        const bool linhaDentro = temImagem && wy.indice < altura;
        const uint8_t* l = linhaDentro ? origem + static_cast<size_t>(wy.indice) * static_cast<size_t>(largura) : nullptr;
        for (const Peso& wx : px[static_cast<size_t>(x)]) {
          uint32_t v = (linhaDentro && wx.indice < largura) ? l[wx.indice] : 255u;
          linha += static_cast<uint64_t>(wx.peso) * v;
        }
        soma += linha * wy.peso;
      }
      uint64_t q = soma / total, r = soma % total;
      if (2 * r > total || (2 * r == total && (q & 1))) ++q;  // halves to even
      uint8_t v = static_cast<uint8_t>(std::min<uint64_t>(q, 255));
      int32_t dx = girar180 ? dl - 1 - x : x, dy = girar180 ? da - 1 - y : y;
      destino[static_cast<size_t>(dy) * static_cast<size_t>(dl) + static_cast<size_t>(dx)] = v;
    }
  }
}

// ---------------------------------------------------------------- vendor texts

std::string TextoLargo(const uint8_t* registro, size_t deslocamento, size_t tamanhoRegistro, size_t maxCaracteres) {
  std::u16string w;
  for (size_t i = 0; i < maxCaracteres && deslocamento + 2 * i + 2 <= tamanhoRegistro; ++i) {
    char16_t c;
    std::memcpy(&c, registro + deslocamento + 2 * i, 2);
    if (!c) break;
    w.push_back(c);
  }
  return Utf16ParaUtf8(w);
}

std::string NumSerieDoIdentificador(const std::string& id) {
  return "RTouch\\" + (id.size() >= 2 ? id.substr(1, id.size() - 2) : std::string());
}

// ---------------------------------------------------------------- vendor bindings

namespace {

using TRWFPInit = int32_t(DL_STDCALL*)();
using TRWFPEnumerateDevices = int32_t(DL_STDCALL*)(uint32_t* count, TGuidRW** ids);
using TRWFPGetDeviceInfo = int32_t(DL_STDCALL*)(const TGuidRW* id, void* info);
using TRWFPCreateAcquisition = int32_t(DL_STDCALL*)(int32_t priority, const TGuidRW* id, int32_t sampleType,
                                                    void* window, uint32_t message, uintptr_t* operation);
using TRWFPOperacao = int32_t(DL_STDCALL*)(uintptr_t operation);
using TRWFPBufferFree = int32_t(DL_STDCALL*)(void* buffer);

using TFTSemArgs = int32_t(DL_STDCALL*)();
using TFTGetNumDevices = int32_t(DL_STDCALL*)(int32_t* count);
using TFTGetDeviceList = int32_t(DL_STDCALL*)(int32_t count, TFTDeviceInfo* list);
using TFTGetDeviceInfo = int32_t(DL_STDCALL*)(int64_t devId, void* info);
using TFTConnectDevice = int32_t(DL_STDCALL*)(void* context, int64_t devId, int32_t mode);
using TFTContexto = int32_t(DL_STDCALL*)(void* context);
using TFTStartMonitoring = int32_t(DL_STDCALL*)(void* context, TFTDeviceEvents* events);
using TFTAcquireImage = int32_t(DL_STDCALL*)(void* context, int32_t mode, uint32_t size, void* buffer, uint32_t* out1,
                                             uint32_t* out2);
using TFTSetupUILink = int32_t(DL_STDCALL*)(void* context, TFTUILink* link, void* userData);
using TFTGetImagePixels = int32_t(DL_STDCALL*)(const void* image, uint32_t size, uint8_t* pixels);
using TFTCreateContext = int32_t(DL_STDCALL*)(void** context);

struct TFuncoesRW {
  TRWFPInit Init = nullptr;
  TRWFPInit Term = nullptr;
  TRWFPEnumerateDevices EnumerateDevices = nullptr;
  TRWFPGetDeviceInfo GetDeviceInfo = nullptr;
  TRWFPCreateAcquisition CreateAcquisition = nullptr;
  TRWFPOperacao DestroyAcquisition = nullptr;
  TRWFPOperacao StartAcquisition = nullptr;
  TRWFPOperacao StopAcquisition = nullptr;
  TRWFPBufferFree BufferFree = nullptr;
};

struct TFuncoesFT {
  TFTSemArgs init = nullptr;
  TFTSemArgs terminate = nullptr;
  TFTGetNumDevices getNumDevices = nullptr;
  TFTGetDeviceList getDeviceList = nullptr;
  TFTGetDeviceInfo getDeviceInfo = nullptr;
  TFTConnectDevice connectDevice = nullptr;
  TFTContexto disconnectDevice = nullptr;
  TFTStartMonitoring startMonitoringDevice = nullptr;
  TFTAcquireImage acquireImage = nullptr;
  TFTSetupUILink setupUIlink = nullptr;
  TFTGetImagePixels getImagePixels = nullptr;
  TFTCreateContext createContext = nullptr;
  TFTContexto closeContext = nullptr;
};

// A vendor call that the library does not export fails like a refused call.
template <class F, class... A>
int32_t Chamar(F f, int32_t falha, A... a) {
  return f ? f(a...) : falha;
}

// ---------------------------------------------------------------- captures

class TTratadorMensagens;
class TThreadCapturaRW;

struct TDispositivoRW {
  TFTDeviceInfo DevInfo{};
  TGuidRW GUID{};
  bool Eh4000 = false;
  std::string NumSerie;
  std::unique_ptr<TThreadCapturaRW> Thread;
  std::unique_ptr<TTratadorMensagens> Tratador;
  bool marcado = false;
};

enum class TBackEnd { Nenhum, RWFPApi, RwFpFns };

// Process-wide state; never destroyed, so that nothing runs during process exit.
struct TEstado {
  plat::ModuleHandle biblioteca = nullptr;
  TBackEnd backEnd = TBackEnd::Nenhum;
  bool vendorIniciado = false;
  TFuncoesRW rw;
  TFuncoesFT ft;
  std::atomic<bool> camadaIniciada{false};  // the layer lock "exists"
  std::mutex travaCamada;
  std::vector<TDispositivoRW> dispositivos;
  std::string pastaTeste;
};
TEstado& E() {
  static auto* e = new TEstado();
  return *e;
}

class TTratadorMensagens {
 public:
  TTratadorMensagens(void* param, std::string numSerie, bool rodar180, const TGuidRW& guid, TSMImageProc imageProc)
      : FParam(param), FNumSerie(std::move(numSerie)), FImageProc(imageProc), FGUID(guid), FRodar180(rodar180) {}
  ~TTratadorMensagens() { PararAquisicao(); }

  bool IniciarAquisicao() {
    FHwnd = nullptr;
    FThread = std::make_unique<TThreadGenerica>([this](TThreadGenerica& t) { ThreadMensagens(t); }, false, this);
    return true;
  }

  void PararAquisicao() {
    if (FThread) {
      FThread->Terminate();
      FThread->WaitFor();
      FThread.reset();
    }
    FHOperation = 0;
  }

  intptr_t TratarMensagem(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (msg != kMensagemImagemRW) return FJanela ? FJanela->DefaultProcedure(msg, wParam, lParam) : 0;
    if (wParam != 0 || lParam == 0) return 0;
    try {
      const auto* descritor = reinterpret_cast<const uint8_t*>(lParam);
      const uint8_t* bloco;
      std::memcpy(&bloco, descritor + 8, sizeof bloco);
      if (!bloco) return 0;
      int32_t largura, altura;
      uint32_t inicio;
      std::memcpy(&largura, bloco + 64, 4);
      std::memcpy(&altura, bloco + 68, 4);
      std::memcpy(&inicio, bloco + 40, 4);
      if (largura <= 0 || altura <= 0) return 0;
      std::vector<uint8_t> imagem(320 * 365);
      ReamostrarArea(bloco + inicio, largura, altura, 448, 511, imagem.data(), 320, 365, FRodar180);
      if (FImageProc) FImageProc(FNumSerie.c_str(), 320, 365, imagem.data(), 500, FParam);
    } catch (...) {
      // Nothing may escape into the window procedure.
    }
    return 0;
  }

 private:
  void ThreadMensagens(TThreadGenerica& t) {
    const TFuncoesRW& f = E().rw;
    FJanela = plat::MessageWindow::Create(
        [this](uint32_t msg, uintptr_t w, intptr_t l) { return TratarMensagem(msg, w, l); });
    if (!FJanela) return;
    FHwnd = FJanela->Handle();
    uintptr_t op = 0;
    if (Chamar(f.CreateAcquisition, -1, 1, &FGUID, 4, FHwnd, kMensagemImagemRW, &op) != 0 &&
        Chamar(f.CreateAcquisition, -1, 3, &FGUID, 4, FHwnd, kMensagemImagemRW, &op) != 0) {
      FJanela.reset();
      return;  // no acquisition: no image arrives
    }
    FHOperation = op;
    if (Chamar(f.StartAcquisition, -1, op) != 0) {
      Chamar(f.DestroyAcquisition, -1, op);
      FHOperation = 0;
      FJanela.reset();
      return;
    }
    while (!t.Terminated()) {
      FJanela->DispatchPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Chamar(f.StopAcquisition, -1, op);
    Chamar(f.DestroyAcquisition, -1, op);
    FJanela.reset();
  }

  void* FParam;
  std::string FNumSerie;  // in the 8-bit code page, as handed to the image procedure
  TSMImageProc FImageProc;
  TGuidRW FGUID;
  void* FHwnd = nullptr;
  std::atomic<uintptr_t> FHOperation{0};
  bool FRodar180;
  std::unique_ptr<plat::MessageWindow> FJanela;  // lives on the message thread
  std::unique_ptr<TThreadGenerica> FThread;
};

int32_t DL_STDCALL LinkSempreVerdadeiro(void*, int32_t, void*) { return 1; }

class TThreadCapturaRW : public TThread {
 public:
  TThreadCapturaRW(const TFTDeviceInfo& devInfo, std::string numSerie, TSMImageProc imageProc, void* param)
      : FNumSerie(std::move(numSerie)), FImageProc(imageProc), FParam(param) {
    const TFuncoesFT& f = E().ft;
    if (Chamar(f.createContext, -1, &FContexto) != 0) {
      FErroCaptura = true;
      return;
    }
    if (Chamar(f.connectDevice, -1, FContexto, devInfo.devId, 2) != 0) {
      Chamar(f.closeContext, -1, FContexto);
      FErroCaptura = true;
      return;
    }
    FEventoImageReady = plat::EventoSinal::Create();
    FEvents = TFTDeviceEvents{};
    FEvents.imageReady = FEventoImageReady ? FEventoImageReady->Handle() : nullptr;
    if (!FEventoImageReady || Chamar(f.startMonitoringDevice, -1, FContexto, &FEvents) != 0) {
      Desfazer();
      return;
    }
    // Sizes come from the vendor library: beyond the caps the device is taken
    // as broken rather than trusted with buffers of that size.
    const int64_t pixels = static_cast<int64_t>(devInfo.imgSize.width) * devInfo.imgSize.height;
    if (pixels > kMaxPixelsFT || devInfo.maxImgSize > kMaxBytesImagemFT) {
      Trace("rwFpFns: device size %dx%d (%u bytes) refused", devInfo.imgSize.width, devInfo.imgSize.height,
            devInfo.maxImgSize);
      Desfazer();
      return;
    }
    TFTUILink link{};
    link.callback = &LinkSempreVerdadeiro;
    link.imgSize = devInfo.imgSize;
    link.imgOrientation = devInfo.imgOrientation;
    link.numIntensityLevels = devInfo.numIntensityLevels;
    link.valor200 = 200;
    if (Chamar(f.setupUIlink, -1, FContexto, &link, static_cast<void*>(this)) != 0) {
      Desfazer();
      return;
    }
    FWidth = devInfo.imgSize.width;
    FHeight = devInfo.imgSize.height;
    FImgSize = devInfo.maxImgSize;
    Start();
  }

  ~TThreadCapturaRW() override { Parar(); }

  bool ErroCaptura() const { return FErroCaptura; }

  void Parar() {
    Terminate();
    if (FEventoImageReady) FEventoImageReady->Signal();
    WaitFor();
  }

 protected:
  void Execute() override {
    const TFuncoesFT& f = E().ft;
    const bool tamanhoValido = FWidth > 0 && FHeight > 0;
    // At most kMaxPixelsFT (checked at construction), so it fits the vendor's 32 bits.
    const int64_t pixels = tamanhoValido ? static_cast<int64_t>(FWidth) * FHeight : 0;
    std::vector<uint8_t> imagem(static_cast<size_t>(pixels));
    std::vector<uint8_t> aquisicao(std::max<size_t>(FImgSize, 321 * 365));
    try {
      for (;;) {
        FEventoImageReady->Wait();
        if (Terminated()) break;
        uint32_t a = 0, b = 0;
        Chamar(f.acquireImage, -1, FContexto, 2, FImgSize, static_cast<void*>(aquisicao.data()), &a, &b);
        if (!tamanhoValido) continue;
        Chamar(f.getImagePixels, -1, static_cast<const void*>(aquisicao.data()), static_cast<uint32_t>(pixels),
               imagem.data());
        ReamostrarArea(imagem.data(), FWidth, FHeight, 450, 511, aquisicao.data(), 321, 365, true);
        if (FImageProc) FImageProc(FNumSerie.c_str(), 321, 365, aquisicao.data(), 500, FParam);
      }
    } catch (...) {
    }
    Chamar(f.disconnectDevice, -1, FContexto);
    Chamar(f.closeContext, -1, FContexto);
  }

 private:
  void Desfazer() {
    const TFuncoesFT& f = E().ft;
    Chamar(f.disconnectDevice, -1, FContexto);
    Chamar(f.closeContext, -1, FContexto);
    FEventoImageReady.reset();
    FErroCaptura = true;
  }

  std::string FNumSerie;
  void* FContexto = nullptr;
  TSMImageProc FImageProc;
  void* FParam;
  std::unique_ptr<plat::EventoSinal> FEventoImageReady;
  TFTDeviceEvents FEvents{};
  bool FErroCaptura = false;
  int32_t FWidth = 0;
  int32_t FHeight = 0;
  uint32_t FImgSize = 0;
};

bool Capturando(const TDispositivoRW& d) { return d.Thread || d.Tratador; }

void DescartarNaoMarcados() {
  auto& l = E().dispositivos;
  l.erase(std::remove_if(l.begin(), l.end(), [](const TDispositivoRW& d) { return !d.marcado && !Capturando(d); }),
          l.end());
}

TDispositivoRW* Procurar(const std::string& numSerieAnsi) {
  for (auto& d : E().dispositivos)
    if (plat::Utf8ToAnsi(d.NumSerie) == numSerieAnsi) return &d;
  return nullptr;
}

int32_t CopiarNumSerie(const TDispositivoRW& d, char* destino, int32_t maximo) {
  std::string ansi = plat::Utf8ToAnsi(d.NumSerie);
  if (destino && maximo > 0) {
    size_t n = std::min(ansi.size(), static_cast<size_t>(maximo - 1));
    std::memcpy(destino, ansi.data(), n);
    destino[n] = 0;
  }
  return static_cast<int32_t>(ansi.size()) + 1;
}

// ---- RWFPApi operations

int32_t RwInicializar() {
  TEstado& e = E();
  if (!e.vendorIniciado && Chamar(e.rw.Init, -1) != 0) return -1;
  e.vendorIniciado = true;
  e.camadaIniciada = true;
  return 0;
}

int32_t RwTerminar() {
  TEstado& e = E();
  Chamar(e.rw.Term, -1);
  e.camadaIniciada = false;
  e.vendorIniciado = false;
  return 0;
}

int32_t RwNumDispositivos() {
  uint32_t n = 0;
  if (Chamar(E().rw.EnumerateDevices, -1, &n, static_cast<TGuidRW**>(nullptr)) != 0) return 0;
  return static_cast<int32_t>(std::min<uint32_t>(n, INT32_MAX));
}

// Under the layer lock.
void RwAtualizar(const TGuidRW* ids, uint32_t n) {
  TEstado& e = E();
  TGuidRW* proprios = nullptr;
  if (!ids) {
    if (Chamar(e.rw.EnumerateDevices, -1, &n, &proprios) != 0) return;
    ids = proprios;
  }
  for (auto& d : e.dispositivos) d.marcado = false;
  for (uint32_t i = 0; i < n && ids; ++i) {
    bool achou = false;
    for (auto& d : e.dispositivos)
      if (std::memcmp(&d.GUID, &ids[i], sizeof(TGuidRW)) == 0) d.marcado = achou = true;
    if (achou) continue;
    std::vector<uint8_t> info(kTamanhoInfoRWFP, 0);
    if (Chamar(e.rw.GetDeviceInfo, -1, &ids[i], static_cast<void*>(info.data())) != 0) continue;
    TDispositivoRW d;
    d.GUID = ids[i];
    d.NumSerie = NumSerieDoIdentificador(TextoLargo(info.data(), 544, info.size(), 256));
    static const char16_t k4000[] = u"R.Touch\u00AE 4000";
    const size_t n4000 = std::char_traits<char16_t>::length(k4000);
    d.Eh4000 = std::memcmp(info.data() + 288, k4000, n4000 * 2) == 0;
    d.marcado = true;
    e.dispositivos.push_back(std::move(d));
  }
  DescartarNaoMarcados();
  if (proprios) Chamar(e.rw.BufferFree, -1, static_cast<void*>(proprios));
}

int32_t RwIdDispositivo(int32_t indice, char* destino, int32_t maximo) {
  TEstado& e = E();
  if (!e.camadaIniciada) return -3;
  uint32_t n = 0;
  TGuidRW* ids = nullptr;
  if (Chamar(e.rw.EnumerateDevices, -1, &n, &ids) != 0) return -1;
  int32_t r = -1;
  {
    std::lock_guard<std::mutex> g(e.travaCamada);
    RwAtualizar(ids, n);
    if (indice >= 0 && static_cast<uint32_t>(indice) < n && static_cast<size_t>(indice) < e.dispositivos.size())
      r = CopiarNumSerie(e.dispositivos[static_cast<size_t>(indice)], destino, maximo);
  }
  if (ids) Chamar(e.rw.BufferFree, -1, static_cast<void*>(ids));
  return r;
}

int32_t RwIniciarCaptura(const char* numSerie, TSMImageProc proc, void* /*reservado*/, void* param) {
  TEstado& e = E();
  if (!e.camadaIniciada) return -3;
  std::lock_guard<std::mutex> g(e.travaCamada);
  TDispositivoRW* d = Procurar(numSerie);
  if (!d) {
    RwAtualizar(nullptr, 0);
    d = Procurar(numSerie);
  }
  if (!d) return -1;
  if (d->Tratador) return -101;
  auto t = std::make_unique<TTratadorMensagens>(param, numSerie, d->Eh4000, d->GUID, proc);
  t->IniciarAquisicao();
  d->Tratador = std::move(t);
  return 0;
}

int32_t RwPararCaptura(const char* numSerie) {
  TEstado& e = E();
  if (!e.camadaIniciada) return -3;
  std::lock_guard<std::mutex> g(e.travaCamada);
  TDispositivoRW* d = Procurar(numSerie);
  if (!d || !d->Tratador) return -100;
  d->Tratador.reset();
  return 0;
}

// ---- rwFpFns operations

int32_t FtInicializar() {
  if (Chamar(E().ft.init, -1) != 0) return -1;
  E().camadaIniciada = true;
  return 0;
}

int32_t FtTerminar() {
  if (Chamar(E().ft.terminate, -1) != 0) return -1;
  E().camadaIniciada = false;
  return 0;
}

int32_t FtNumDispositivos() {
  int32_t n = 0;
  if (Chamar(E().ft.getNumDevices, -1, &n) != 0) return 0;
  return std::max(n, 0);
}

// Under the layer lock.
void FtAtualizar(int32_t n) {
  TEstado& e = E();
  if (n == 0) n = FtNumDispositivos();
  if (n < 0) n = 0;
  std::vector<TFTDeviceInfo> lista(static_cast<size_t>(n));
  if (Chamar(e.ft.getDeviceList, -1, n, lista.data()) < 0) return;
  for (auto& d : e.dispositivos) d.marcado = false;
  for (const TFTDeviceInfo& li : lista) {
    bool achou = false;
    for (auto& d : e.dispositivos)
      if (d.DevInfo.devId == li.devId) d.marcado = achou = true;
    if (achou) continue;
    std::vector<uint8_t> info(kTamanhoInfoFT, 0);
    const uint32_t tamanho = kTamanhoInfoFT;
    std::memcpy(info.data(), &tamanho, 4);
    if (Chamar(e.ft.getDeviceInfo, -1, li.devId, static_cast<void*>(info.data())) < 0) continue;
    TDispositivoRW d;
    d.DevInfo = li;
    d.NumSerie = NumSerieDoIdentificador(TextoLargo(info.data(), 284, info.size(), 65));
    d.marcado = true;
    e.dispositivos.push_back(std::move(d));
  }
  DescartarNaoMarcados();
}

int32_t FtIdDispositivo(int32_t indice, char* destino, int32_t maximo) {
  TEstado& e = E();
  if (!e.camadaIniciada) return -3;
  int32_t n = FtNumDispositivos();
  std::lock_guard<std::mutex> g(e.travaCamada);
  FtAtualizar(n);
  if (indice >= 0 && indice < n && static_cast<size_t>(indice) < e.dispositivos.size())
    return CopiarNumSerie(e.dispositivos[static_cast<size_t>(indice)], destino, maximo);
  return -1;
}

int32_t FtIniciarCaptura(const char* numSerie, TSMImageProc proc, void* /*reservado*/, void* param) {
  TEstado& e = E();
  if (!e.camadaIniciada) return -3;
  std::lock_guard<std::mutex> g(e.travaCamada);
  TDispositivoRW* d = Procurar(numSerie);
  if (!d) {
    FtAtualizar(0);
    d = Procurar(numSerie);
  }
  if (!d) return -1;
  if (d->Thread) return -101;
  auto t = std::make_unique<TThreadCapturaRW>(d->DevInfo, numSerie, proc, param);
  if (t->ErroCaptura()) return -1;
  d->Thread = std::move(t);
  return 0;
}

int32_t FtPararCaptura(const char* numSerie) {
  TEstado& e = E();
  if (!e.camadaIniciada) return -3;
  std::lock_guard<std::mutex> g(e.travaCamada);
  TDispositivoRW* d = Procurar(numSerie);
  if (!d || !d->Thread) return -100;
  d->Thread->Parar();
  d->Thread.reset();
  return 0;
}

// ---- the table

struct TTabela {
  int32_t (*Inicializar)();
  int32_t (*Terminar)();
  int32_t (*NumDispositivos)();
  int32_t (*IdDispositivo)(int32_t indice, char* destino, int32_t maximo);
  int32_t (*IniciarCaptura)(const char* numSerie, TSMImageProc proc, void* reservado, void* param);
  int32_t (*PararCaptura)(const char* numSerie);
};
const TTabela kTabelaRW{RwInicializar, RwTerminar, RwNumDispositivos, RwIdDispositivo, RwIniciarCaptura, RwPararCaptura};
const TTabela kTabelaFT{FtInicializar, FtTerminar, FtNumDispositivos, FtIdDispositivo, FtIniciarCaptura, FtPararCaptura};

const TTabela* Tabela() {
  switch (E().backEnd) {
    case TBackEnd::RWFPApi: return &kTabelaRW;
    case TBackEnd::RwFpFns: return &kTabelaFT;
    default: return nullptr;
  }
}

plat::ModuleHandle CarregarVendor(const char* base) {
  std::string nome = std::string(base) + plat::ModuleSuffix();
  const std::string& pasta = E().pastaTeste;
  if (!pasta.empty()) return plat::LoadModule(pasta + nome, false);
  return plat::LoadModuleByName(nome);
}

template <class F>
void Ligar(plat::ModuleHandle h, F& f, const char* nome) {
  f = reinterpret_cast<F>(plat::GetSymbol(h, nome));
}

// Stops every running capture, so that no thread of this layer is inside the
// vendor library when it goes.
void PararTodasCapturas() {
  TEstado& e = E();
  std::vector<std::unique_ptr<TThreadCapturaRW>> threads;
  std::vector<std::unique_ptr<TTratadorMensagens>> tratadores;
  {
    std::lock_guard<std::mutex> g(e.travaCamada);
    for (auto& d : e.dispositivos) {
      if (d.Thread) threads.push_back(std::move(d.Thread));
      if (d.Tratador) tratadores.push_back(std::move(d.Tratador));
    }
  }
  threads.clear();
  tratadores.clear();
}

std::mutex& TravaCarga() {
  static auto* m = new std::mutex();
  return *m;
}

const TFinalizacao g_finalizacao(TMomentoFinalizacao::JvmDescarregando, [] {
  ScanManUnload();
  std::lock_guard<std::mutex> g(E().travaCamada);
  E().dispositivos.clear();
});

}  // namespace

void ScanManDefinirPasta(const std::string& pasta) {
  std::lock_guard<std::mutex> g(TravaCarga());
  E().pastaTeste = pasta.empty() || pasta.back() == '/' || pasta.back() == '\\' ? pasta : pasta + "/";
}

bool ScanManLoad() {
  std::lock_guard<std::mutex> g(TravaCarga());
  TEstado& e = E();
  if (e.biblioteca) return true;
  if (plat::ModuleHandle h = CarregarVendor("RWFPApi")) {
    TFuncoesRW f;
    Ligar(h, f.Init, "RWFPInit");
    if (!f.Init || f.Init() != 0) {
      plat::UnloadModule(h);
    } else {
      e.vendorIniciado = true;
      Ligar(h, f.Term, "RWFPTerm");
      Ligar(h, f.EnumerateDevices, "RWFPEnumerateDevices");
      Ligar(h, f.GetDeviceInfo, "RWFPGetDeviceInfo");
      Ligar(h, f.CreateAcquisition, "RWFPCreateAcquisition");
      Ligar(h, f.DestroyAcquisition, "RWFPDestroyAcquisition");
      Ligar(h, f.StartAcquisition, "RWFPStartAcquisition");
      Ligar(h, f.StopAcquisition, "RWFPStopAcquisition");
      Ligar(h, f.BufferFree, "RWFPBufferFree");
      e.rw = f;
      e.biblioteca = h;
      e.backEnd = TBackEnd::RWFPApi;
    }
  }
  if (!e.biblioteca) {
    plat::ModuleHandle h = CarregarVendor("rwFpFns");
    if (!h) return false;
    TFuncoesFT f;
    Ligar(h, f.init, "FT_init");
    Ligar(h, f.terminate, "FT_terminate");
    Ligar(h, f.getNumDevices, "FT_getNumDevices");
    Ligar(h, f.getDeviceList, "FT_getDeviceList");
    Ligar(h, f.getDeviceInfo, "FT_getDeviceInfo");
    Ligar(h, f.connectDevice, "FT_connectDevice");
    Ligar(h, f.disconnectDevice, "FT_disconnectDevice");
    Ligar(h, f.startMonitoringDevice, "FT_startMonitoringDevice");
    Ligar(h, f.acquireImage, "FT_acquireImage");
    Ligar(h, f.setupUIlink, "FT_setupUIlink");
    Ligar(h, f.getImagePixels, "FT_getImagePixels");
    Ligar(h, f.createContext, "FT_createContext");
    Ligar(h, f.closeContext, "FT_closeContext");
    e.ft = f;
    e.biblioteca = h;
    e.backEnd = TBackEnd::RwFpFns;
  }
  return Tabela()->Inicializar() == 0;
}

void ScanManUnload() {
  std::lock_guard<std::mutex> g(TravaCarga());
  TEstado& e = E();
  if (!e.biblioteca) return;
  PararTodasCapturas();
  Tabela()->Terminar();
  plat::UnloadModule(e.biblioteca);
  e.biblioteca = nullptr;
  e.backEnd = TBackEnd::Nenhum;
  e.camadaIniciada = false;
  e.vendorIniciado = false;
  e.rw = TFuncoesRW{};
  e.ft = TFuncoesFT{};
}

int32_t ScanManDeviceCount() {
  const TTabela* t = Tabela();
  return t ? t->NumDispositivos() : 0;
}

std::string ScanManDeviceId(int32_t index) {
  const TTabela* t = Tabela();
  if (!t) throw Exception("Can not retrieve scanner id");
  int32_t l = t->IdDispositivo(index, nullptr, 0);
  if (l < 0) throw Exception("Can not retrieve scanner id");
  std::string buffer(static_cast<size_t>(l > 0 ? l - 1 : 0), '\0');
  // std::string keeps room for the terminating zero after its last character.
  l = t->IdDispositivo(index, buffer.data(), static_cast<int32_t>(buffer.size()) + 1);
  if (l < 0) throw Exception("Can not retrieve scanner id");
  buffer.resize(std::strlen(buffer.c_str()));
  return plat::AnsiToUtf8(buffer);
}

int32_t ScanManStartCapture(const std::string& numSerie, TSMImageProc imageProc, void* param) {
  const TTabela* t = Tabela();
  if (!t) return -3;
  return t->IniciarCaptura(plat::Utf8ToAnsi(numSerie).c_str(), imageProc, nullptr, param);
}

int32_t ScanManStopCapture(const std::string& numSerie) {
  const TTabela* t = Tabela();
  if (!t) return -3;
  return t->PararCaptura(plat::Utf8ToAnsi(numSerie).c_str());
}
