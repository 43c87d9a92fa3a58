#include "platform/messagewindow.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/posix_handles.h"

namespace plat {

namespace {

struct Mensagem {
  uint32_t msg;
  uintptr_t wParam;
  intptr_t lParam;
};

// The record must start with the C header so that the handle is usable from C.
struct JanelaPosix {
  DlPosixWindow cabecalho;
  std::mutex trava;
  std::deque<Mensagem> fila;
};

void PostarNaJanela(void* janela, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  auto* j = static_cast<JanelaPosix*>(janela);
  std::lock_guard<std::mutex> g(j->trava);
  j->fila.push_back({msg, wParam, lParam});
}

class MessageWindowPosix final : public MessageWindow {
 public:
  explicit MessageWindowPosix(Procedure proc) : FProc(std::move(proc)) { FJanela.cabecalho.Post = &PostarNaJanela; }
  WindowHandle Handle() const override { return const_cast<JanelaPosix*>(&FJanela); }
  void DispatchPending() override {
    // Only what is waiting now: a sender posting faster than the handler runs
    // must not keep this thread from ever coming back to its caller.
    std::deque<Mensagem> agora;
    {
      std::lock_guard<std::mutex> g(FJanela.trava);
      agora.swap(FJanela.fila);
    }
    for (const Mensagem& m : agora)
      if (FProc) FProc(m.msg, m.wParam, m.lParam);
  }
  intptr_t DefaultProcedure(uint32_t, uintptr_t, intptr_t) override { return 0; }

 private:
  Procedure FProc;
  JanelaPosix FJanela;
};

struct EventoPosix {
  DlPosixEvent cabecalho;
  std::mutex trava;
  std::condition_variable cv;
  bool sinalizado = false;
};

void SinalizarEvento(void* evento) {
  auto* e = static_cast<EventoPosix*>(evento);
  {
    std::lock_guard<std::mutex> g(e->trava);
    e->sinalizado = true;
  }
  e->cv.notify_one();
}

class EventoSinalPosix final : public EventoSinal {
 public:
  EventoSinalPosix() { FEvento.cabecalho.Signal = &SinalizarEvento; }
  void* Handle() const override { return const_cast<EventoPosix*>(&FEvento); }
  void Signal() override { SinalizarEvento(&FEvento); }
  void Wait() override {
    std::unique_lock<std::mutex> g(FEvento.trava);
    FEvento.cv.wait(g, [this] { return FEvento.sinalizado; });
    FEvento.sinalizado = false;
  }

 private:
  EventoPosix FEvento;
};

}  // namespace

std::unique_ptr<MessageWindow> MessageWindow::Create(Procedure proc) {
  return std::make_unique<MessageWindowPosix>(std::move(proc));
}

bool PostToWindow(WindowHandle window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  if (!window) return false;
  static_cast<DlPosixWindow*>(window)->Post(window, msg, wParam, lParam);
  return true;
}

std::unique_ptr<EventoSinal> EventoSinal::Create() { return std::make_unique<EventoSinalPosix>(); }

}  // namespace plat
