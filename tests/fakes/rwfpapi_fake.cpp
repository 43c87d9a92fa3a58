// A configurable "RWFPApi" library for tests (see README.md): each acquisition
// posts the image-ready message to the window it was given.
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "ridgeway_comum.h"

struct Guid {
  uint32_t d1;
  uint16_t d2, d3;
  uint8_t d4[8];
};

namespace {

std::mutex g_trava;
std::map<std::string, int> g_chamadas;
bool g_iniciado = false;

void Contar(const char* n) {
  std::lock_guard<std::mutex> g(g_trava);
  ++g_chamadas[n];
}

Guid GuidDe(const std::string& id) {
  Guid g{};
  g.d1 = fake::Hash(id);
  g.d2 = 0x5257;
  return g;
}

struct Aquisicao {
  Guid guid{};
  int leitor = 0;
  void* janela = nullptr;
  uint32_t mensagem = 0;
  std::thread thread;
  std::atomic<bool> parar{false};
  // Images stay valid until the acquisition is destroyed; a ring reuses them.
  std::vector<std::unique_ptr<uint8_t[]>> blocos;
  std::vector<std::unique_ptr<uint8_t[]>> descritores;
};

constexpr uint32_t kInicioPixels = 80;

void Postar(Aquisicao* a) {
  auto cfg = fake::LerConfiguracao();
  int w = static_cast<int>(fake::Numero(cfg, "width", 448)), h = static_cast<int>(fake::Numero(cfg, "height", 511));
  long limite = fake::Numero(cfg, "images", -1);
  long intervalo = fake::Numero(cfg, "interval_ms", 10);
  const size_t anel = 16;
  for (size_t i = 0; i < anel; ++i) {
    a->blocos.emplace_back(new uint8_t[kInicioPixels + static_cast<size_t>(w) * static_cast<size_t>(h)]());
    a->descritores.emplace_back(new uint8_t[16]());
  }
  for (int k = 0; !a->parar && (limite < 0 || k < limite); ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(intervalo));
    if (a->parar) break;
    uint8_t* bloco = a->blocos[static_cast<size_t>(k) % anel].get();
    uint8_t* desc = a->descritores[static_cast<size_t>(k) % anel].get();
    uint32_t inicio = kInicioPixels;
    std::memcpy(bloco + 40, &inicio, 4);
    std::memcpy(bloco + 64, &w, 4);
    std::memcpy(bloco + 68, &h, 4);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) bloco[kInicioPixels + static_cast<size_t>(y) * w + x] = fake::Pixel(x, y, k, a->leitor);
    std::memcpy(desc + 8, &bloco, 8);
    // Messages the host must leave alone: another message, and a status with a non-zero first parameter.
    fake::PostarMensagem(a->janela, 0x400, 0, 0);
    fake::PostarMensagem(a->janela, a->mensagem, 1, reinterpret_cast<intptr_t>(desc));
    fake::PostarMensagem(a->janela, a->mensagem, 0, reinterpret_cast<intptr_t>(desc));
    Contar("Posted");
  }
}

}  // namespace

FAKE_EXPORT int32_t FAKE_CALL RWFPInit() {
  Contar("Init");
  if (fake::Numero(fake::LerConfiguracao(), "init_fails", 0)) return 5;
  g_iniciado = true;
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL RWFPTerm() {
  Contar("Term");
  g_iniciado = false;
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL RWFPEnumerateDevices(uint32_t* count, Guid** ids) {
  Contar("EnumerateDevices");
  auto cfg = fake::LerConfiguracao();
  if (fake::Numero(cfg, "enum_fails", 0)) return 3;
  auto lista = fake::Lista(fake::Texto(cfg, "devices", "{RW-0001}"));
  *count = static_cast<uint32_t>(lista.size());
  if (ids) {
    *ids = new Guid[lista.size() + 1];
    for (size_t i = 0; i < lista.size(); ++i) (*ids)[i] = GuidDe(lista[i]);
  }
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL RWFPBufferFree(void* p) {
  Contar("BufferFree");
  delete[] static_cast<Guid*>(p);
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL RWFPGetDeviceInfo(const Guid* id, uint8_t* info) {
  Contar("GetDeviceInfo");
  auto cfg = fake::LerConfiguracao();
  auto lista = fake::Lista(fake::Texto(cfg, "devices", "{RW-0001}"));
  auto produtos = fake::Lista(fake::Texto(cfg, "products", ""));
  for (size_t i = 0; i < lista.size(); ++i) {
    if (GuidDe(lista[i]).d1 != id->d1) continue;
    std::u16string produto = fake::Largo(i < produtos.size() ? produtos[i] : "R.Touch 1000");
    std::u16string ident = fake::Largo(lista[i]);
    std::memcpy(info + 288, produto.c_str(), 2 * (produto.size() + 1));
    std::memcpy(info + 544, ident.c_str(), 2 * (ident.size() + 1));
    return 0;
  }
  return 2;
}

FAKE_EXPORT int32_t FAKE_CALL RWFPCreateAcquisition(int32_t prioridade, const Guid* id, int32_t tipo, void* janela,
                                                    uint32_t mensagem, uintptr_t* operacao) {
  Contar(prioridade == 1 ? "CreateHigh" : "CreateLow");
  auto cfg = fake::LerConfiguracao();
  if (fake::Numero(cfg, "create_fails", 0)) return 1;
  if (prioridade == 1 && fake::Numero(cfg, "create_high_fails", 0)) return 1;
  auto lista = fake::Lista(fake::Texto(cfg, "devices", "{RW-0001}"));
  auto* a = new Aquisicao();
  a->guid = *id;
  for (size_t i = 0; i < lista.size(); ++i)
    if (GuidDe(lista[i]).d1 == id->d1) a->leitor = static_cast<int>(i);
  a->janela = janela;
  a->mensagem = mensagem;
  *operacao = reinterpret_cast<uintptr_t>(a);
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL RWFPStartAcquisition(uintptr_t op) {
  Contar("Start");
  if (fake::Numero(fake::LerConfiguracao(), "start_fails", 0)) return 1;
  auto* a = reinterpret_cast<Aquisicao*>(op);
  a->thread = std::thread(Postar, a);
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL RWFPStopAcquisition(uintptr_t op) {
  Contar("Stop");
  auto* a = reinterpret_cast<Aquisicao*>(op);
  a->parar = true;
  if (a->thread.joinable()) a->thread.join();
  return 0;
}

FAKE_EXPORT int32_t FAKE_CALL RWFPDestroyAcquisition(uintptr_t op) {
  Contar("Destroy");
  auto* a = reinterpret_cast<Aquisicao*>(op);
  a->parar = true;
  if (a->thread.joinable()) a->thread.join();
  delete a;
  return 0;
}

FAKE_EXPORT int32_t FakeRw_Calls(const char* nome) {
  std::lock_guard<std::mutex> g(g_trava);
  return g_chamadas[nome];
}
