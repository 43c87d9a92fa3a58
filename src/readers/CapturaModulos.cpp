#include "readers/CapturaModulos.h"

#include <algorithm>
#include <map>
#include <cstring>
#include <new>

#include "platform/errors.h"
#include "readers/OmbrelBase.h"
#include "support/Excecoes.h"
#include "support/Formatar.h"
#include "support/TextoUnicode.h"
#include "support/Trace.h"
#include "support/udBibRotinas.h"

// ---------------------------------------------------------------- modules

namespace {
// Readers one plug-in may report; a count outside 0..kMaxLeitoresModulo is
// taken as a broken plug-in that contributes no reader, in the count and in
// the listing alike, so that indices and serial numbers stay paired.
constexpr int64_t kMaxLeitoresModulo = 64;

bool ContagemValida(int64_t n, const std::string& modulo) {
  if (n >= 0 && n <= kMaxLeitoresModulo) return true;
  Trace("%s: reader count %lld outside 0..%lld, no reader taken", modulo.c_str(), static_cast<long long>(n),
        static_cast<long long>(kMaxLeitoresModulo));
  return false;
}
}  // namespace

TCaptureModule::TCaptureModule(const std::string& name, const std::string& path) : FName(name), FPath(path) {
  FHandle = plat::LoadModule(path, true);
  if (!FHandle) throw MakeOSError(plat::LastError());
}

TCaptureModule::~TCaptureModule() { Descarregar(); }

void TCaptureModule::Descarregar() {
  if (FHandle) {
    plat::UnloadModule(FHandle);
    FHandle = nullptr;
  }
}

std::string FormarNumeroSerie(const std::string& prefixo, const std::string& texto) {
  if (prefixo.empty()) return texto;
  if (texto.empty()) return prefixo;
  return prefixo + "\\" + texto;
}

std::vector<std::string> ValidarListaDispositivos(const uint8_t* buffer, int32_t size, uintptr_t enderecoBase,
                                                  const std::string& modulo) {
  auto falha = [&](const std::string& passo) { throw Exception(modulo + ": GDL: Size error" + passo); };
  if (size < 4) falha(Format("(0): %d", size));
  uint32_t n;
  std::memcpy(&n, buffer, 4);
  const uint64_t s = static_cast<uint64_t>(size);
  const uint64_t fimTabela = 4 + 8 * static_cast<uint64_t>(n);  // offsets from the buffer's start
  if (fimTabela > s) falha(Format("(1): %d, %d", size, static_cast<int32_t>(n)));

  // Pointers are compared as offsets from the address the plug-in saw; a value
  // below the base wraps to a huge offset and fails the range check.
  auto deslocamento = [&](uint32_t i) {
    uint64_t p;
    std::memcpy(&p, buffer + 4 + 8 * static_cast<uint64_t>(i), 8);
    return p - static_cast<uint64_t>(enderecoBase);
  };
  std::vector<std::string> textos;
  textos.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    uint64_t p = deslocamento(i);
    if (p < fimTabela || p >= s) falha(Format("(2): %d, %d", size, static_cast<int32_t>(i)));
    uint64_t limite = s;
    if (i + 1 < n) limite = std::min(deslocamento(i + 1), s);
    if (p + 1 > limite) falha(Format("(3): %d, %d", size, static_cast<int32_t>(i)));
    const void* zero = std::memchr(buffer + p, 0, static_cast<size_t>(limite - p));
    if (!zero) falha(Format("(4): %d, %d", size, static_cast<int32_t>(i)));
    textos.emplace_back(reinterpret_cast<const char*>(buffer + p), static_cast<const uint8_t*>(zero) - (buffer + p));
  }
  return textos;
}

void* TOmrCaptureModule::Ligar(const char* nome, unsigned bytesArgumentos) {
  void* p = plat::GetSymbol(FHandle, nome);
  if (!p) p = plat::GetSymbol(FHandle, Format("_%s@%u", nome, bytesArgumentos).c_str());
  return p;
}

TOmrCaptureModule::TOmrCaptureModule(const std::string& name, const std::string& path) : TCaptureModule(name, path) {
  bool ok = (FOMR_GetPrefix = reinterpret_cast<TFuncOMR_GetPrefix>(Ligar("OMR_GetPrefix", 0))) &&
            (FOMR_GetDeviceList = reinterpret_cast<TFuncOMR_GetDeviceList>(Ligar("OMR_GetDeviceList", 8))) &&
            (FOMR_OpenDevice = reinterpret_cast<TFuncOMR_OpenDevice>(Ligar("OMR_OpenDevice", 4))) &&
            (FOMR_CloseDevice = reinterpret_cast<TFuncOMR_CloseDevice>(Ligar("OMR_CloseDevice", 4))) &&
            (FOMR_GetMaxSize = reinterpret_cast<TFuncOMR_GetMaxSize>(Ligar("OMR_GetMaxSize", 8))) &&
            (FOMR_GetImage = reinterpret_cast<TFuncOMR_GetImage>(Ligar("OMR_GetImage", 8)));
  if (!ok) {
    Descarregar();
    Trace("oh noes it is failure (%s)", path.c_str());
    throw EOmbrelFP("Invalid module.");
  }
  FOMR_ShutdownDevice = reinterpret_cast<TFuncOMR_CloseDevice>(Ligar("OMR_ShutdownDevice", 4));
  FOMR_SendCommand = reinterpret_cast<TFuncOMR_SendCommand>(Ligar("OMR_SendCommand", 12));
  FOMR_GetResult = reinterpret_cast<TFuncOMR_GetResult>(Ligar("OMR_GetResult", 12));
  const char* prefixo = FOMR_GetPrefix();
  FPrefix = prefixo ? plat::AnsiToUtf8(prefixo) : std::string();
  Trace("it is success (%s), FPrefix=%s", path.c_str(), FPrefix.c_str());
}

int32_t TOmrCaptureModule::DeviceCount() {
  TOmrDeviceList sonda{};
  int32_t size = FOMR_GetDeviceList(&sonda, sizeof sonda);
  Trace("%s: DeviceCount: size=%d", FName.c_str(), size);
  if (size < 4) {
    Trace("%s: DeviceCount: ih deu pau, sizeof(list.NumDevices)=%d", FName.c_str(), 4);
    throw Exception("@@@0");
  }
  if (!ContagemValida(sonda.NumDevices, FName)) return 0;
  Trace("%s: DeviceCount: retornando %d", FName.c_str(), static_cast<int32_t>(sonda.NumDevices));
  return static_cast<int32_t>(sonda.NumDevices);
}

int32_t TOmrCaptureModule::GetDeviceList(std::vector<std::string>& lista) {
  TOmrDeviceList sonda{};
  int32_t size = FOMR_GetDeviceList(&sonda, sizeof sonda);
  if (size < 4) throw Exception(FName + ": GDL: Size error" + Format("(0): %d", size));
  if (sonda.NumDevices == 0 || !ContagemValida(sonda.NumDevices, FName)) return 0;
  // Eight-byte aligned storage: the plug-in may write its pointers with plain stores.
  std::vector<uint64_t> memoria((static_cast<size_t>(size) + 7) / 8, 0);
  auto* buffer = reinterpret_cast<uint8_t*>(memoria.data());
  FOMR_GetDeviceList(reinterpret_cast<TOmrDeviceList*>(buffer), size);
  std::vector<std::string> textos =
      ValidarListaDispositivos(buffer, size, reinterpret_cast<uintptr_t>(buffer), FName);
  if (!ContagemValida(static_cast<int64_t>(textos.size()), FName)) return 0;
  for (const auto& t : textos) lista.push_back(FormarNumeroSerie(FPrefix, plat::AnsiToUtf8(t)));
  return static_cast<int32_t>(textos.size());
}

TOmCaptureDevice* TOmrCaptureModule::OpenDevice(const std::string& serialNumber) {
  std::string ansi = plat::Utf8ToAnsi(serialNumber);
  TOmrCaptureHandle h = FOMR_OpenDevice(ansi.c_str());
  if (!h) throw Exception(Format("Could not open device %s\\%s", FPrefix.c_str(), serialNumber.c_str()));
  return new TOmrCaptureDeviceImpl(this, h);
}

bool TOmrCaptureModule::CloseDevice(TOmrCaptureHandle handle) { return FOMR_CloseDevice(handle) != 0; }

bool TOmrCaptureModule::ShutdownDevice(TOmrCaptureHandle handle) {
  if (!FOMR_ShutdownDevice) return true;
  return FOMR_ShutdownDevice(handle) != 0;
}

bool TOmrCaptureModule::GetMaxImageSize(TOmrCaptureHandle handle, TOmrImageSize& size) {
  return FOMR_GetMaxSize(handle, &size) != 0;
}

bool TOmrCaptureModule::GetImage(TOmrCaptureHandle handle, TOmrImage* image) {
  return FOMR_GetImage(handle, image) != 0;
}

std::vector<uint8_t> TOmrCaptureModule::SendCommandBytes(TOmrCaptureHandle handle, const std::string& command,
                                                         const std::string& args) {
  if (!FOMR_SendCommand || !FOMR_GetResult) throw Exception("Send command not available.");
  std::string comando = plat::Utf8ToAnsi(command);
  int32_t r = FOMR_SendCommand(handle, comando.c_str(), args.c_str());
  if (r < 0) throw Exception(Format("Send command error %d.", r));
  std::vector<uint8_t> resultado(static_cast<size_t>(r));
  if (r > 0 && FOMR_GetResult(handle, resultado.data(), r) < r) throw Exception("Error getting command result.");
  return resultado;
}

std::string TOmrCaptureModule::SendCommandStr(TOmrCaptureHandle handle, const std::string& command,
                                              const std::string& args) {
  std::vector<uint8_t> bytes = SendCommandBytes(handle, command, plat::Utf8ToAnsi(args));
  return plat::AnsiToUtf8(std::string(bytes.begin(), bytes.end()));
}

namespace {

// The delivery in progress on this thread, innermost first: a handler asking
// its device for the buffer gets the one it was handed.
struct TEntregaAtual {
  const TOmCaptureDevice* dispositivo;
  TOmrImage* buffer;
  TEntregaAtual* anterior;
};
thread_local TEntregaAtual* tEntrega = nullptr;

TEntregaAtual* EntregaDe(const TOmCaptureDevice* d) {
  for (TEntregaAtual* e = tEntrega; e; e = e->anterior)
    if (e->dispositivo == d) return e;
  return nullptr;
}

}  // namespace

// FPSmm

namespace {

std::u16string CopiarTextoLargo(const char16_t* s) {
  std::u16string r;
  if (s)
    while (*s) r.push_back(*s++);
  return r;
}

// The FPSmm devices that may receive callbacks, by the context their plug-in
// was given. A plug-in may call back after StopCapture returned or failed, so
// a context is looked up here on every call and never names a device that is
// gone, nor (numbers are never reused) a later one.
struct TDispositivoVivo {
  TOmCaptureDevice* dispositivo;
  int emEntrega = 0;  // callbacks inside the device right now
};
struct TDispositivosVivos {
  std::mutex trava;
  std::condition_variable fimEntrega;
  std::map<uintptr_t, TDispositivoVivo> tabela;
  uintptr_t ultimo = 0;
};
// Never destroyed: a plug-in's thread may call back while the process ends.
TDispositivosVivos& Vivos() {
  static auto* v = new TDispositivosVivos();
  return *v;
}

uintptr_t RegistrarVivo(TOmCaptureDevice* d) {
  TDispositivosVivos& v = Vivos();
  std::lock_guard<std::mutex> g(v.trava);
  v.tabela.emplace(++v.ultimo, TDispositivoVivo{d});
  return v.ultimo;
}

// Waits for the callbacks inside the device (but not for the one this thread
// may be handling: a handler that closes its own device), then forgets it.
void RemoverVivo(uintptr_t contexto, const TOmCaptureDevice* d) {
  if (!contexto) return;
  TDispositivosVivos& v = Vivos();
  std::unique_lock<std::mutex> g(v.trava);
  const bool nestaThread = EntregaDe(d) != nullptr;
  v.fimEntrega.wait(g, [&] {
    auto it = v.tabela.find(contexto);
    return it == v.tabela.end() || it->second.emEntrega == 0 || nestaThread;
  });
  v.tabela.erase(contexto);
}

void DL_STDCALL CallbackImagemFPSmm(void* context, int32_t width, int32_t height, const uint8_t* pixels) {
  const auto contexto = reinterpret_cast<uintptr_t>(context);
  TDispositivosVivos& v = Vivos();
  TOmCaptureDevice* d;
  {
    std::lock_guard<std::mutex> g(v.trava);
    auto it = v.tabela.find(contexto);
    if (it == v.tabela.end()) return;
    ++it->second.emEntrega;
    d = it->second.dispositivo;
  }
  // Runs on the plug-in's thread: nothing may escape into the plug-in.
  try {
    d->StoreImage(width, height, pixels);
  } catch (...) {
  }
  std::lock_guard<std::mutex> g(v.trava);
  auto it = v.tabela.find(contexto);
  if (it != v.tabela.end()) --it->second.emEntrega;
  v.fimEntrega.notify_all();
}

void DL_STDCALL CallbackVazioFPSmm(void*, int32_t) {}

}  // namespace

TFPSmmCaptureModule::TFPSmmCaptureModule(const std::string& name, const std::string& path)
    : TCaptureModule(name, path) {
  bool ok = (FProcInit = reinterpret_cast<TProcInit>(plat::GetSymbol(FHandle, "_Init"))) && FProcInit() >= 0 &&
            (FProcGetDeviceCount = reinterpret_cast<TProcGetDeviceCount>(plat::GetSymbol(FHandle, "_GetDeviceCount"))) &&
            (FProcEnumDeviceIDs = reinterpret_cast<TProcEnumDeviceIDs>(plat::GetSymbol(FHandle, "_EnumDeviceIDs"))) &&
            (FProcCreateScannerImpl =
                 reinterpret_cast<TProcCreateScannerImpl>(plat::GetSymbol(FHandle, "_CreateScannerImpl")));
  if (!ok) {
    Descarregar();
    Trace("oh noes it is failure (%s)", path.c_str());
    throw EOmbrelFP(Format("Invalid module '%s' (%s).", name.c_str(), path.c_str()));
  }
  FPrefix = FName;
}

int32_t TFPSmmCaptureModule::DeviceCount() {
  int32_t c = 0;
  ChecarErro(FProcGetDeviceCount(&c));
  if (c <= 0 || !ContagemValida(c, FName)) {
    FIds.clear();
    return 0;
  }
  std::vector<char16_t*> ids(static_cast<size_t>(c), nullptr);
  int32_t m = 0;
  ChecarErro(FProcEnumDeviceIDs(c, ids.data(), &m));
  // Never trust the written count beyond the array the plug-in was given.
  m = std::clamp(m, 0, c);
  FIds.clear();
  for (int32_t i = 0; i < m; ++i) FIds.push_back(CopiarTextoLargo(ids[static_cast<size_t>(i)]));
  return c;
}

int32_t TFPSmmCaptureModule::GetDeviceList(std::vector<std::string>& lista) {
  if (FIds.empty()) DeviceCount();
  for (const auto& id : FIds) lista.push_back(Utf16ParaUtf8(id));
  return static_cast<int32_t>(FIds.size());
}

TOmCaptureDevice* TFPSmmCaptureModule::OpenDevice(const std::string& serialNumber) {
  PFPSmmScannerImpl impl = nullptr;
  ChecarErro(FProcCreateScannerImpl(&impl));
  if (!impl || !impl->pVMT) throw Exception(Format("Could not open device %s", serialNumber.c_str()));
  std::u16string t = Utf8ParaUtf16(serialNumber.empty() ? FPrefix : FPrefix + "\\" + serialNumber);
  TFPSmmScannerVMT* vmt = impl->pVMT;
  if (!vmt->SetCallbacks || !vmt->StartCapture || !vmt->StopCapture)
    throw Exception(Format("Could not open device %s", serialNumber.c_str()));
  int32_t status = vmt->SetSomething ? vmt->SetSomething(impl, 1) : -1;
  if (status == 0) status = vmt->InitScanner ? vmt->InitScanner(impl, t.c_str()) : -1;
  if (status < 0) throw Exception(Format("Could not open device %s", serialNumber.c_str()));
  auto* disp = new TFPsmmCaptureDeviceImpl(this, impl);
  try {
    disp->BeginCapture();
  } catch (...) {
    delete disp;
    throw;
  }
  return disp;
}

// ---------------------------------------------------------------- devices


TOmCaptureDevice::~TOmCaptureDevice() = default;

std::shared_ptr<TOmrImage> TOmCaptureDevice::BufferCompartilhado() const {
  std::lock_guard<std::mutex> g(FTravaBuffer);
  return FImageBuffer;
}

TOmrImage* TOmCaptureDevice::Buffer() const { return BufferCompartilhado().get(); }

uint8_t* TOmCaptureDevice::ImageBuffer() const {
  const TEntregaAtual* e = EntregaDe(this);
  TOmrImage* b = e ? e->buffer : Buffer();
  return b ? reinterpret_cast<uint8_t*>(b) + sizeof(TOmrImage) : nullptr;
}

std::shared_ptr<TOmrImage> TOmCaptureDevice::TrocarBuffer(int64_t bytes) {
  void* p = ::operator new(static_cast<size_t>(bytes) + sizeof(TOmrImage));
  std::memset(p, 0, sizeof(TOmrImage));
  std::shared_ptr<TOmrImage> novo(static_cast<TOmrImage*>(p), [](TOmrImage* b) { ::operator delete(b); });
  std::lock_guard<std::mutex> g(FTravaBuffer);
  FImageBuffer = novo;
  return novo;
}

void TOmCaptureDevice::LiberarBuffer() {
  std::shared_ptr<TOmrImage> antigo;
  std::lock_guard<std::mutex> g(FTravaBuffer);
  FImageBuffer.swap(antigo);
}

void TOmCaptureDevice::DoImage() { Entregar(BufferCompartilhado()); }

void TOmCaptureDevice::Entregar(const std::shared_ptr<TOmrImage>& buffer) {
  TEventoImagem::Funcao manipulador = OnImage.Copia();
  if (!manipulador) return;
  TEntregaAtual atual{this, buffer.get(), tEntrega};
  tEntrega = &atual;
  struct Restaurar {
    TEntregaAtual& a;
    ~Restaurar() { tEntrega = a.anterior; }
  } restaurar{atual};
  manipulador(this);
}

void TOmCaptureDevice::StoreImage(int32_t width, int32_t height, const uint8_t* pixels) {
  if (width <= 0 || height <= 0 || !pixels) return;
  // An image pushed from inside a handler would overwrite what that handler reads.
  if (EntregaDe(this)) return;
  std::lock_guard<std::mutex> entrega(FEntrega);
  const int64_t bytes = static_cast<int64_t>(width) * height;
  std::shared_ptr<TOmrImage> b = BufferCompartilhado();
  if (width != FImageWidth || height != FImageHeight || !b) {
    b = TrocarBuffer(bytes);
    FImageWidth = width;
    FImageHeight = height;
  }
  std::memcpy(reinterpret_cast<uint8_t*>(b.get()) + sizeof(TOmrImage), pixels, static_cast<size_t>(bytes));
  b->Size.Width = width;
  b->Size.Height = height;
  b->Size.ByteSize = static_cast<int32_t>(bytes);
  Entregar(b);
}

// OMR device

TOmrCaptureDeviceImpl::TOmrCaptureDeviceImpl(TOmrCaptureModule* modulo, TOmrCaptureHandle handle)
    : FModulo(modulo), FHandle(handle) {
  FActive = true;
  FUseThread = true;
}

TOmrCaptureDeviceImpl::~TOmrCaptureDeviceImpl() { Close(); }

void TOmrCaptureDeviceImpl::Allocate() {
  std::lock_guard<std::mutex> g(FBloqueio);
  TOmrImageSize size{};
  TOmrCaptureHandle h = FHandle.load();
  if (!h || !FModulo->GetMaxImageSize(h, size) || size.ByteSize < 0) throw Exception("@@@4");
  FImageWidth = size.Width;
  FImageHeight = size.Height;
  TrocarBuffer(size.ByteSize)->Size = size;
  FBytesAlocados = size.ByteSize;
}

bool TOmrCaptureDeviceImpl::WaitImage() {
  std::lock_guard<std::mutex> g(FBloqueio);
  TOmrCaptureHandle h = FHandle.load();
  // Close releases the buffer only under FBloqueio, which is held here.
  TOmrImage* b = Buffer();
  if (!h || !b) return false;
  if (!FModulo->GetImage(h, b)) return false;
  const TOmrImageSize s = b->Size;
  // An answer larger than the buffer the plug-in asked for would make every
  // reader of the image run past its end: no image.
  if (s.Width < 0 || s.Height < 0 || static_cast<int64_t>(s.Width) * s.Height > FBytesAlocados) return false;
  FImageWidth = s.Width;
  FImageHeight = s.Height;
  return true;
}

void TOmrCaptureDeviceImpl::Close() {
  FActive = false;
  TOmrCaptureHandle h = FHandle.load();
  if (h) FModulo->ShutdownDevice(h);  // lets a pending OMR_GetImage return before we take the lock
  std::lock_guard<std::mutex> g(FBloqueio);
  h = FHandle.exchange(nullptr);
  if (h) FModulo->CloseDevice(h);
  LiberarBuffer();
  FBytesAlocados = 0;
}

std::string TOmrCaptureDeviceImpl::SendCommandStr(const std::string& command, const std::string& args,
                                                  bool noHandle) {
  return FModulo->SendCommandStr(noHandle ? nullptr : FHandle.load(), command, args);
}

// FPSmm device

TFPsmmCaptureDeviceImpl::TFPsmmCaptureDeviceImpl(TFPSmmCaptureModule* modulo, PFPSmmScannerImpl impl)
    : FModulo(modulo), FImpl(impl) {}

TFPsmmCaptureDeviceImpl::~TFPsmmCaptureDeviceImpl() {
  try {
    Close();
  } catch (...) {
  }
  RemoverVivo(FContexto, this);
}

void TFPsmmCaptureDeviceImpl::BeginCapture() {
  std::lock_guard<std::mutex> g(FBloqueio);
  if (FIsCapturing) return;
  FContexto = RegistrarVivo(this);
  int32_t status = FImpl->pVMT->SetCallbacks(FImpl, reinterpret_cast<void*>(FContexto), &CallbackImagemFPSmm,
                                             &CallbackVazioFPSmm, &CallbackVazioFPSmm);
  if (status >= 0) status = FImpl->pVMT->StartCapture(FImpl);
  if (status < 0) {
    RemoverVivo(FContexto, this);
    FContexto = 0;
    ChecarErro(status);
  }
  FIsCapturing = true;
}

void TFPsmmCaptureDeviceImpl::EndCapture() {
  std::lock_guard<std::mutex> g(FBloqueio);
  if (!FIsCapturing) return;
  FIsCapturing = false;
  const int32_t status = FImpl->pVMT->StopCapture(FImpl);
  // Whatever the plug-in answered or still does, its callbacks reach this
  // device no more.
  RemoverVivo(FContexto, this);
  FContexto = 0;
  ChecarErro(status);
}

void TFPsmmCaptureDeviceImpl::Allocate() {
  std::lock_guard<std::mutex> entrega(FEntrega);
  int32_t w = static_cast<int32_t>(std::min<uint32_t>(FImpl->maxWidth, INT32_MAX));
  int32_t h = static_cast<int32_t>(std::min<uint32_t>(FImpl->maxHeight, INT32_MAX));
  TrocarBuffer(static_cast<int64_t>(w) * h);
  FImageWidth = w;
  FImageHeight = h;
}

void TFPsmmCaptureDeviceImpl::Close() { EndCapture(); }
