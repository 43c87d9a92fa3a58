// A configurable OMR reader plug-in for tests (see README.md).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "fake_comum.h"

#ifdef FAKE_COM_DEPENDENCIA
extern "C" int fake_dependencia_valor();
#endif

#pragma pack(push, 1)
struct ListaDispositivos {
  uint32_t NumDevices;
  char* SerialNumbers[1];
};
struct TamanhoImagem {
  int32_t Width, Height, ByteSize;
};
struct Imagem {
  TamanhoImagem Size;
  int32_t Format, Resolution;
};
#pragma pack(pop)

namespace {

struct Dispositivo {
  uint64_t assinatura = 0x4641'4B45'4F4D'5231ull;
  int leitor = 0;
  int imagens = 0;
  std::mutex trava;
  std::condition_variable cv;
  bool parar = false;
};

std::mutex g_trava;
std::map<std::string, int> g_chamadas;
std::string g_prefixo;
std::string g_resultado;

void Contar(const char* nome) {
  std::lock_guard<std::mutex> g(g_trava);
  ++g_chamadas[nome];
}

bool Valido(void* h) { return h && static_cast<Dispositivo*>(h)->assinatura == 0x4641'4B45'4F4D'5231ull; }

}  // namespace

// Names the host binds: plain by default, only the decorated 32-bit names with FAKE_DECORADO.
#ifdef FAKE_DECORADO
#define OMR_FN(tipo, nome, decorado, params) \
  FAKE_EXPORT tipo FAKE_CALL nome params __asm__(decorado); \
  FAKE_EXPORT tipo FAKE_CALL nome params
#else
#define OMR_FN(tipo, nome, decorado, params) FAKE_EXPORT tipo FAKE_CALL nome params
#endif

OMR_FN(const char*, OMR_GetPrefix, "_OMR_GetPrefix@0", ()) {
  Contar("GetPrefix");
  std::lock_guard<std::mutex> g(g_trava);
  g_prefixo = fake::Texto(fake::LerConfiguracao(), "prefix", "Fake");
#ifdef FAKE_COM_DEPENDENCIA
  g_prefixo += std::to_string(fake_dependencia_valor());
#endif
  return g_prefixo.c_str();
}

OMR_FN(int32_t, OMR_GetDeviceList, "_OMR_GetDeviceList@8", (ListaDispositivos* buffer, int32_t size)) {
  Contar("GetDeviceList");
  auto cfg = fake::LerConfiguracao();
  std::vector<std::string> leitores = fake::Lista(fake::Texto(cfg, "readers", "0001"));
  std::string modo = fake::Texto(cfg, "list", "ok");
  if (modo == "short") return static_cast<int32_t>(fake::Numero(cfg, "short_size", 3));
  const uint32_t n = static_cast<uint32_t>(leitores.size());
  int32_t necessario = 4 + 8 * static_cast<int32_t>(n);
  for (auto& l : leitores) necessario += static_cast<int32_t>(l.size()) + 1;
  if (modo == "noterminator" && n > 0) necessario -= 1;  // the last string loses its zero
  if (size >= 4) buffer->NumDevices = n;
  if (size < necessario || !buffer) return necessario;
  auto* base = reinterpret_cast<uint8_t*>(buffer);
  uint8_t* texto = base + 4 + 8 * n;
  for (uint32_t i = 0; i < n; ++i) {
    char* p = reinterpret_cast<char*>(texto);
    std::memcpy(base + 4 + 8 * i, &p, 8);
    size_t len = leitores[i].size() + ((modo == "noterminator" && i + 1 == n) ? 0 : 1);
    std::memcpy(texto, leitores[i].c_str(), len);
    texto += len;
  }
  if (modo == "badtable") buffer->NumDevices = n + 1000;
  if (modo == "badpointer" && n > 1) {
    char* p = reinterpret_cast<char*>(base + size + 100);  // second pointer past the buffer
    std::memcpy(base + 12, &p, 8);
  }
  if (modo == "tablepointer") {
    char* p = reinterpret_cast<char*>(base + 4);  // first pointer into the pointer table
    std::memcpy(base + 4, &p, 8);
  }
  if (modo == "overlap" && n > 1) std::memcpy(base + 12, base + 4, 8);  // second string starts at the first
  return necessario;
}

OMR_FN(void*, OMR_OpenDevice, "_OMR_OpenDevice@4", (const char* serial)) {
  Contar("OpenDevice");
  auto cfg = fake::LerConfiguracao();
  if (fake::Numero(cfg, "open_fails", 0)) return nullptr;
  std::vector<std::string> leitores = fake::Lista(fake::Texto(cfg, "readers", "0001"));
  for (size_t i = 0; i < leitores.size(); ++i) {
    if (leitores[i] == (serial ? serial : "")) {
      auto* d = new Dispositivo();
      d->leitor = static_cast<int>(i);
      return d;
    }
  }
  return nullptr;
}

OMR_FN(uint8_t, OMR_CloseDevice, "_OMR_CloseDevice@4", (void* h)) {
  Contar("CloseDevice");
  if (!Valido(h)) return 0;
  static_cast<Dispositivo*>(h)->assinatura = 0;
  delete static_cast<Dispositivo*>(h);
  return 1;
}

OMR_FN(uint8_t, OMR_GetMaxSize, "_OMR_GetMaxSize@8", (void* h, TamanhoImagem* s)) {
  Contar("GetMaxSize");
  if (!Valido(h) || !s) return 0;
  auto cfg = fake::LerConfiguracao();
  if (fake::Numero(cfg, "maxsize_fails", 0)) return 0;
  s->Width = static_cast<int32_t>(fake::Numero(cfg, "width", 200));
  s->Height = static_cast<int32_t>(fake::Numero(cfg, "height", 250));
  s->ByteSize = s->Width * s->Height;
  return 1;
}

#ifndef FAKE_SEM_GETIMAGE
OMR_FN(uint8_t, OMR_GetImage, "_OMR_GetImage@8", (void* h, Imagem* img)) {
  Contar("GetImage");
  if (!Valido(h) || !img) return 0;
  auto* d = static_cast<Dispositivo*>(h);
  auto cfg = fake::LerConfiguracao();
  long limite = fake::Numero(cfg, "images", -1);
  long intervalo = fake::Numero(cfg, "interval_ms", 10);
  {
    std::unique_lock<std::mutex> g(d->trava);
    d->cv.wait_for(g, std::chrono::milliseconds(intervalo), [d] { return d->parar; });
    if (d->parar) return 0;
  }
  if (limite >= 0 && d->imagens >= limite) return 0;
  int w = static_cast<int>(fake::Numero(cfg, "width", 200)), hh = static_cast<int>(fake::Numero(cfg, "height", 250));
  img->Size = {w, hh, w * hh};
  if (fake::Numero(cfg, "oversize", 0)) img->Size.Height = hh + 1;  // claims more than it wrote
  img->Format = 0;
  img->Resolution = 500;
  auto* px = reinterpret_cast<uint8_t*>(img) + sizeof(Imagem);
  for (int y = 0; y < hh; ++y)
    for (int x = 0; x < w; ++x) px[y * w + x] = fake::Pixel(x, y, d->imagens, d->leitor);
  ++d->imagens;
  return 1;
}
#endif

#ifndef FAKE_SEM_OPCIONAIS
OMR_FN(uint8_t, OMR_ShutdownDevice, "_OMR_ShutdownDevice@4", (void* h)) {
  Contar("ShutdownDevice");
  if (!Valido(h)) return 0;
  auto* d = static_cast<Dispositivo*>(h);
  {
    std::lock_guard<std::mutex> g(d->trava);
    d->parar = true;
  }
  d->cv.notify_all();
  return 1;
}

OMR_FN(int32_t, OMR_SendCommand, "_OMR_SendCommand@12", (void* h, const char* cmd, const void* args)) {
  Contar("SendCommand");
  std::string c = cmd ? cmd : "";
  std::lock_guard<std::mutex> g(g_trava);
  if (c == "fail") return -7;
  if (c == "empty") return 0;
  if (c == "handle") g_resultado = h ? "device" : "none";
  else if (c == "short") g_resultado = "abcdef";
  else if (c == "echo") g_resultado = args ? static_cast<const char*>(args) : "";
  else return -1;
  return static_cast<int32_t>(g_resultado.size());
}

OMR_FN(int32_t, OMR_GetResult, "_OMR_GetResult@12", (void* h, void* buffer, int32_t size)) {
  Contar("GetResult");
  std::lock_guard<std::mutex> g(g_trava);
  int32_t n = std::min<int32_t>(size, static_cast<int32_t>(g_resultado.size()));
  if (g_resultado == "abcdef") n = 3;
  std::memcpy(buffer, g_resultado.data(), static_cast<size_t>(n));
  return n;
}
#endif

// For tests: how often an export was called since load.
FAKE_EXPORT int32_t FakeOmr_Calls(const char* nome) {
  std::lock_guard<std::mutex> g(g_trava);
  return g_chamadas[nome];
}
