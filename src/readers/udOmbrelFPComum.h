// Types shared by the reader layer: the grey image handed from a reader to its
// owner, the reader component's operation modes, and a small event object.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

// An 8-bit grey image: Height rows of Width bytes, row 0 at the top,
// 0 black to 255 white. Copies are deep (a new grid with the same bytes).
struct TGrayImage {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Resolution = 0;  // pixels per inch
  int32_t TipoLeitor = 0;
  std::vector<uint8_t> Bits;  // Height x Width, row after row

  TGrayImage() = default;
  TGrayImage(int32_t width, int32_t height, int32_t resolution = 0)
      : Width(width < 0 ? 0 : width),
        Height(height < 0 ? 0 : height),
        Resolution(resolution),
        Bits(static_cast<size_t>(Width) * static_cast<size_t>(Height)) {}

  uint8_t* Linha(int32_t r) { return Bits.data() + static_cast<size_t>(r) * static_cast<size_t>(Width); }
  const uint8_t* Linha(int32_t r) const { return Bits.data() + static_cast<size_t>(r) * static_cast<size_t>(Width); }
};

enum TModoOperacao : int32_t {
  moInativo = 0,
  moCadastro = 1,         // enrolment: three captures merged by the base
  moPesquisa = 2,         // identification search in the base
  moDesenvolvimento = 3,  // plain capture: every image is reported
  moVisualizar = 4        // images only update the current image
};

// An in-process event object with automatic or manual reset.
class TEvento {
 public:
  TEvento(bool resetManual, bool sinalizado) : FResetManual(resetManual), FSinalizado(sinalizado) {}
  TEvento(const TEvento&) = delete;
  TEvento& operator=(const TEvento&) = delete;

  void Sinalizar() {
    {
      std::lock_guard<std::mutex> g(FTrava);
      FSinalizado = true;
    }
    if (FResetManual) FCond.notify_all();
    else FCond.notify_one();
  }
  void Resetar() {
    std::lock_guard<std::mutex> g(FTrava);
    FSinalizado = false;
  }
  // Waits without limit.
  void Esperar() {
    std::unique_lock<std::mutex> g(FTrava);
    FCond.wait(g, [this] { return FSinalizado; });
    if (!FResetManual) FSinalizado = false;
  }
  // True when the event was signalled within the time.
  bool Esperar(std::chrono::milliseconds limite) {
    std::unique_lock<std::mutex> g(FTrava);
    if (!FCond.wait_for(g, limite, [this] { return FSinalizado; })) return false;
    if (!FResetManual) FSinalizado = false;
    return true;
  }

 private:
  std::mutex FTrava;
  std::condition_variable FCond;
  bool FResetManual;
  bool FSinalizado;
};
