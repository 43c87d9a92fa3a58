// A configurable "rwFpFns" library for tests (see README.md): a monitored
// device signals the image-ready event it was given.
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "ridgeway_comum.h"

struct DevInfo {
  uint64_t devType;
  int64_t devId;
  char16_t devName[65];
  uint8_t imgType;
  int32_t xDpi, yDpi;
  uint32_t numIntensityLevels;
  int32_t width, height;
  uint8_t imgOrientation;
  uint32_t maxImgSize;
};
static_assert(sizeof(DevInfo) == 176);

struct Eventos {
  void* fingerTouching;
  void* imageReady;
  void* fingerRemoved;
  void* error;
  void* stop;
};

namespace {

std::mutex g_trava;
std::map<std::string, int> g_chamadas;
void Contar(const char* n) {
  std::lock_guard<std::mutex> g(g_trava);
  ++g_chamadas[n];
}

constexpr size_t kCabecalho = 64;

int64_t IdDe(const std::string& s) { return 1000 + fake::Hash(s); }

struct Contexto {
  int64_t devId = 0;
  int leitor = 0;
  int imagens = 0;
  void* evento = nullptr;
  std::thread thread;
  std::atomic<bool> parar{false};
};

void Monitorar(Contexto* c) {
  auto cfg = fake::LerConfiguracao();
  long limite = fake::Numero(cfg, "images", -1);
  long intervalo = fake::Numero(cfg, "interval_ms", 10);
  for (int k = 0; !c->parar && (limite < 0 || k < limite); ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(intervalo));
    if (c->parar) break;
    // An unplugged reader stops signalling.
    auto lista = fake::Lista(fake::Texto(fake::LerConfiguracao(), "devices", "{FT-0001}"));
    bool presente = false;
    for (auto& d : lista) presente = presente || IdDe(d) == c->devId;
    if (!presente) continue;
    fake::SinalizarEvento(c->evento);
    Contar("Signalled");
  }
}

}  // namespace

FAKE_EXPORT int32_t FAKE_CALL FT_init() {
  Contar("init");
  return fake::Numero(fake::LerConfiguracao(), "init_fails", 0) ? 1 : 0;
}

FAKE_EXPORT int32_t FAKE_CALL FT_terminate() {
  Contar("terminate");
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL FT_getNumDevices(int32_t* n) {
  Contar("getNumDevices");
  auto cfg = fake::LerConfiguracao();
  *n = static_cast<int32_t>(fake::Lista(fake::Texto(cfg, "devices", "{FT-0001}")).size());
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL FT_getDeviceList(int32_t n, DevInfo* lista) {
  Contar("getDeviceList");
  auto cfg = fake::LerConfiguracao();
  if (fake::Numero(cfg, "enum_fails", 0)) return -2;
  auto devs = fake::Lista(fake::Texto(cfg, "devices", "{FT-0001}"));
  int w = static_cast<int>(fake::Numero(cfg, "width", 450)), h = static_cast<int>(fake::Numero(cfg, "height", 511));
  int32_t i = 0;
  for (; i < n && i < static_cast<int32_t>(devs.size()); ++i) {
    DevInfo d{};
    d.devId = IdDe(devs[static_cast<size_t>(i)]);
    d.imgType = 1;
    d.xDpi = d.yDpi = 500;
    d.numIntensityLevels = 256;
    d.width = w;
    d.height = h;
    d.maxImgSize = static_cast<uint32_t>(kCabecalho + static_cast<size_t>(w) * static_cast<size_t>(h));
    lista[i] = d;
  }
  return i;
}

FAKE_EXPORT int32_t FAKE_CALL FT_getDeviceInfo(int64_t devId, uint8_t* info) {
  Contar("getDeviceInfo");
  uint32_t tamanho;
  std::memcpy(&tamanho, info, 4);
  if (tamanho != 440) return -5;
  for (auto& d : fake::Lista(fake::Texto(fake::LerConfiguracao(), "devices", "{FT-0001}"))) {
    if (IdDe(d) != devId) continue;
    std::u16string t = fake::Largo(d);
    if (t.size() > 64) t.resize(64);
    std::memcpy(info + 284, t.c_str(), 2 * (t.size() + 1));
    return 0;
  }
  return -1;
}

FAKE_EXPORT int32_t FAKE_CALL FT_createContext(Contexto** c) {
  Contar("createContext");
  if (fake::Numero(fake::LerConfiguracao(), "context_fails", 0)) return 1;
  *c = new Contexto();
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL FT_closeContext(Contexto* c) {
  Contar("closeContext");
  delete c;
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL FT_connectDevice(Contexto* c, int64_t devId, int32_t modo) {
  Contar("connectDevice");
  auto cfg = fake::LerConfiguracao();
  if (fake::Numero(cfg, "connect_fails", 0)) return 1;
  auto devs = fake::Lista(fake::Texto(cfg, "devices", "{FT-0001}"));
  for (size_t i = 0; i < devs.size(); ++i)
    if (IdDe(devs[i]) == devId) c->leitor = static_cast<int>(i);
  c->devId = devId;
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL FT_disconnectDevice(Contexto* c) {
  Contar("disconnectDevice");
  c->parar = true;
  if (c->thread.joinable()) c->thread.join();
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL FT_startMonitoringDevice(Contexto* c, Eventos* e) {
  Contar("startMonitoringDevice");
  if (fake::Numero(fake::LerConfiguracao(), "monitor_fails", 0)) return 1;
  c->evento = e->imageReady;
  c->thread = std::thread(Monitorar, c);
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL FT_setupUIlink(Contexto* c, const uint8_t* link, void* userData) {
  Contar("setupUIlink");
  if (fake::Numero(fake::LerConfiguracao(), "uilink_fails", 0)) return 1;
  int32_t v200;
  std::memcpy(&v200, link + 40, 4);
  typedef int32_t(FAKE_CALL * Cb)(void*, int32_t, void*);
  Cb cb;
  std::memcpy(&cb, link, sizeof cb);
  return (v200 == 200 && cb && cb(userData, 0, nullptr)) ? 0 : 2;
}

FAKE_EXPORT int32_t FAKE_CALL FT_acquireImage(Contexto* c, int32_t modo, uint32_t tamanho, uint8_t* buffer,
                                              uint32_t* a, uint32_t* b) {
  Contar("acquireImage");
  auto cfg = fake::LerConfiguracao();
  int w = static_cast<int>(fake::Numero(cfg, "width", 450)), h = static_cast<int>(fake::Numero(cfg, "height", 511));
  if (tamanho < kCabecalho + static_cast<size_t>(w) * static_cast<size_t>(h)) return 3;
  std::memset(buffer, 0, kCabecalho);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) buffer[kCabecalho + static_cast<size_t>(y) * w + x] = fake::Pixel(x, y, c->imagens, c->leitor);
  ++c->imagens;
  if (a) *a = 0;
  if (b) *b = 0;
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL FT_getImagePixels(const uint8_t* imagem, uint32_t tamanho, uint8_t* pixels) {
  Contar("getImagePixels");
  std::memcpy(pixels, imagem + kCabecalho, tamanho);
  return 0;
}

FAKE_EXPORT int32_t FakeFt_Calls(const char* nome) {
  std::lock_guard<std::mutex> g(g_trava);
  return g_chamadas[nome];
}
