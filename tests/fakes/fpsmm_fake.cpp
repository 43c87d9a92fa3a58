// A configurable FPSmm plug-in for tests (see README.md): its scanner object
// pushes images of the configured sizes from its own thread.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "fake_comum.h"

typedef void(FAKE_CALL* CallbackImagem)(void* ctx, int32_t w, int32_t h, const uint8_t* px);
typedef void(FAKE_CALL* CallbackOutro)(void* ctx, int32_t v);

struct Scanner;
typedef int32_t(FAKE_CALL* FnSimples)(Scanner*);
struct Vmt {
  FnSimples Destroy;
  void* f04;
  void* f08;
  FnSimples StartCapture;
  FnSimples StopCapture;
  void* f14;
  void* f18;
  void* f1c;
  void* f20;
  int32_t(FAKE_CALL* InitScanner)(Scanner*, const char16_t*);
  int32_t(FAKE_CALL* SetCallbacks)(Scanner*, void*, CallbackImagem, CallbackOutro, CallbackOutro);
  int32_t(FAKE_CALL* SetSomething)(Scanner*, int32_t);
};
static_assert(sizeof(Vmt) == 96);

#pragma pack(push, 1)
struct Cabecalho {
  Vmt* pVMT;
  uint32_t something;
  uint32_t maxWidth;
  uint32_t maxHeight;
};
#pragma pack(pop)
static_assert(sizeof(Cabecalho) == 20);

struct Scanner {
  Cabecalho cab;
  Vmt vmt;  // its own copy, so that slots can be left empty per scanner
  void* ctx = nullptr;
  CallbackImagem cb = nullptr;
  std::thread thread;
  std::atomic<bool> parar{false};
};

namespace {
std::mutex g_trava;
std::map<std::string, int> g_chamadas;
std::string g_ultimoInit;
std::vector<std::u16string> g_ids;
// Hosts never destroy the scanner objects; the plug-in keeps every one it made
// and frees them when it is unloaded.
std::vector<Scanner*> g_scanners;
struct Liberar {
  ~Liberar() {
    for (Scanner* s : g_scanners) {
      s->parar = true;
      if (s->thread.joinable()) s->thread.join();
      delete s;
    }
  }
} g_liberar;
void Contar(const char* n) {
  std::lock_guard<std::mutex> g(g_trava);
  ++g_chamadas[n];
}
std::vector<std::pair<int, int>> Tamanhos(const std::string& s) {
  std::vector<std::pair<int, int>> r;
  for (auto& item : fake::Lista(s)) {
    int w = 0, h = 0;
    if (std::sscanf(item.c_str(), "%dx%d", &w, &h) == 2) r.push_back({w, h});
  }
  if (r.empty()) r.push_back({160, 200});
  return r;
}

int32_t FAKE_CALL Destroy(Scanner* s) {
  std::lock_guard<std::mutex> g(g_trava);
  g_scanners.erase(std::remove(g_scanners.begin(), g_scanners.end(), s), g_scanners.end());
  delete s;
  return 0;
}

void Entregar(Scanner* s) {
  auto cfg = fake::LerConfiguracao();
  auto tamanhos = Tamanhos(fake::Texto(cfg, "sizes", "160x200"));
  long limite = fake::Numero(cfg, "images", -1);
  long intervalo = fake::Numero(cfg, "interval_ms", 5);
  std::vector<uint8_t> px;
  long tardio = fake::Numero(cfg, "late_ms", 0);
  for (int k = 0; limite < 0 || k < limite; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(intervalo));
    const bool atrasada = s->parar;
    if (atrasada) {
      // A plug-in whose delivery thread outlives StopCapture: one more image, late.
      if (tardio <= 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(tardio));
      tardio = 0;
      limite = k + 1;
    }
    auto [w, h] = tamanhos[static_cast<size_t>(k) % tamanhos.size()];
    px.assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) px[static_cast<size_t>(y) * w + x] = fake::Pixel(x, y, k, 0);
    Contar("Push");
    s->cb(s->ctx, w, h, px.data());
    if (atrasada) Contar("Late");
  }
}

int32_t FAKE_CALL StartCapture(Scanner* s) {
  Contar("StartCapture");
  if (fake::Numero(fake::LerConfiguracao(), "start_fails", 0)) return -9;
  if (s->thread.joinable() && s->parar) s->thread.join();  // a late pusher of the last capture
  if (!s->cb || s->thread.joinable()) return -1;
  s->parar = false;
  s->thread = std::thread(Entregar, s);
  return 0;
}

int32_t FAKE_CALL StopCapture(Scanner* s) {
  Contar("StopCapture");
  auto cfg = fake::LerConfiguracao();
  const long status = fake::Numero(cfg, "stop_status", 0);
  s->parar = true;
  // stop_fails: the stop fails after its thread has ended; stop_status: a
  // failing or careless plug-in returns without waiting for its thread.
  const bool fails = fake::Numero(cfg, "stop_fails", 0) != 0;
  if (fails) {
    if (s->thread.joinable()) s->thread.join();
    return -5;
  }
  if (status == 0 && fake::Numero(cfg, "late_ms", 0) <= 0 && s->thread.joinable()) s->thread.join();
  return static_cast<int32_t>(status);
}

int32_t FAKE_CALL InitScanner(Scanner* s, const char16_t* id) {
  Contar("InitScanner");
  std::string t;
  for (; id && *id; ++id) t += static_cast<char>(*id);
  std::lock_guard<std::mutex> g(g_trava);
  g_ultimoInit = t;
  return fake::Numero(fake::LerConfiguracao(), "initscanner_fails", 0) ? -3 : 0;
}

int32_t FAKE_CALL SetCallbacks(Scanner* s, void* ctx, CallbackImagem cb, CallbackOutro, CallbackOutro) {
  Contar("SetCallbacks");
  s->ctx = ctx;
  s->cb = cb;
  return 0;
}

int32_t FAKE_CALL SetSomething(Scanner* s, int32_t v) {
  Contar("SetSomething");
  return static_cast<int32_t>(fake::Numero(fake::LerConfiguracao(), "setsomething", 0));
}

Vmt g_vmt{Destroy, nullptr, nullptr, StartCapture, StopCapture, nullptr, nullptr, nullptr, nullptr,
          InitScanner, SetCallbacks, SetSomething};
}  // namespace

#ifndef FAKE_SEM_INIT
FAKE_EXPORT int32_t FAKE_CALL _Init() {
  Contar("Init");
  return fake::Numero(fake::LerConfiguracao(), "init_fails", 0) ? -1 : 0;
}
#endif

FAKE_EXPORT int32_t FAKE_CALL _GetDeviceCount(int32_t* count) {
  Contar("GetDeviceCount");
  auto cfg = fake::LerConfiguracao();
  auto ids = fake::Lista(fake::Texto(cfg, "ids", "SCN1"));
  *count = static_cast<int32_t>(fake::Numero(cfg, "count", static_cast<long>(ids.size())));
  return static_cast<int32_t>(fake::Numero(cfg, "count_status", 0));
}

FAKE_EXPORT int32_t FAKE_CALL _EnumDeviceIDs(int32_t count, char16_t** ids, int32_t* written) {
  Contar("EnumDeviceIDs");
  auto cfg = fake::LerConfiguracao();
  auto lista = fake::Lista(fake::Texto(cfg, "ids", "SCN1"));
  std::lock_guard<std::mutex> g(g_trava);
  g_ids.clear();
  for (auto& s : lista) g_ids.emplace_back(s.begin(), s.end());
  int32_t n = std::min<int32_t>(count, static_cast<int32_t>(g_ids.size()));
  n = static_cast<int32_t>(fake::Numero(cfg, "written", n));
  for (int32_t i = 0; i < n && i < count && i < static_cast<int32_t>(g_ids.size()); ++i)
    ids[i] = const_cast<char16_t*>(g_ids[static_cast<size_t>(i)].c_str());
  *written = n;
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL _CreateScannerImpl(Scanner** out) {
  Contar("CreateScannerImpl");
  auto cfg = fake::LerConfiguracao();
  auto* s = new Scanner();
  s->vmt = g_vmt;
  for (auto& vaga : fake::Lista(fake::Texto(cfg, "null_slots", ""))) {
    if (vaga == "SetCallbacks") s->vmt.SetCallbacks = nullptr;
    if (vaga == "StartCapture") s->vmt.StartCapture = nullptr;
    if (vaga == "StopCapture") s->vmt.StopCapture = nullptr;
  }
  s->cab.pVMT = &s->vmt;
  s->cab.maxWidth = static_cast<uint32_t>(fake::Numero(cfg, "max_width", 400));
  s->cab.maxHeight = static_cast<uint32_t>(fake::Numero(cfg, "max_height", 500));
  {
    std::lock_guard<std::mutex> g(g_trava);
    g_scanners.push_back(s);
  }
  *out = s;
  return 0;
}

FAKE_EXPORT int32_t FakeFpsmm_Calls(const char* nome) {
  std::lock_guard<std::mutex> g(g_trava);
  return g_chamadas[nome];
}

FAKE_EXPORT const char* FakeFpsmm_LastInit() {
  std::lock_guard<std::mutex> g(g_trava);
  static std::string copia;
  copia = g_ultimoInit;
  return copia.c_str();
}
