#include <windows.h>

#include "platform/messagewindow.h"

namespace plat {

namespace {

const wchar_t kClasse[] = L"DactylinkMessageWindow";

class MessageWindowWin32 final : public MessageWindow {
 public:
  explicit MessageWindowWin32(Procedure proc) : FProc(std::move(proc)) {}
  ~MessageWindowWin32() override {
    if (FHwnd) DestroyWindow(FHwnd);
  }
  bool Criar();
  WindowHandle Handle() const override { return FHwnd; }
  void DispatchPending() override {
    MSG m;
    while (PeekMessageW(&m, FHwnd, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
  }
  intptr_t DefaultProcedure(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
    return DefWindowProcW(FHwnd, msg, wParam, lParam);
  }

  static LRESULT CALLBACK Procedimento(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<MessageWindowWin32*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self || !self->FProc) return DefWindowProcW(hwnd, msg, wParam, lParam);
    return self->FProc(msg, wParam, lParam);
  }

 private:
  Procedure FProc;
  HWND FHwnd = nullptr;
};

// The class belongs to the module that holds this code (the library, not the
// host program): classes are registered per instance.
HINSTANCE InstanciaPropria() {
  static const HINSTANCE h = [] {
    HMODULE m = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&InstanciaPropria), &m);
    return static_cast<HINSTANCE>(m);
  }();
  return h;
}

bool RegistrarClasse() {
  static const bool ok = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &DefWindowProcW;
    wc.hInstance = InstanciaPropria();
    wc.lpszClassName = kClasse;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return ok;
}

bool MessageWindowWin32::Criar() {
  if (!RegistrarClasse()) return false;
  FHwnd = CreateWindowExW(0, kClasse, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, InstanciaPropria(), nullptr);
  if (!FHwnd) return false;
  // The procedure is switched in only once the object is reachable from the window.
  SetWindowLongPtrW(FHwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrW(FHwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Procedimento));
  return true;
}

class EventoSinalWin32 final : public EventoSinal {
 public:
  explicit EventoSinalWin32(HANDLE h) : FH(h) {}
  ~EventoSinalWin32() override { CloseHandle(FH); }
  void* Handle() const override { return FH; }
  void Signal() override { SetEvent(FH); }
  void Wait() override { WaitForSingleObject(FH, INFINITE); }

 private:
  HANDLE FH;
};

}  // namespace

std::unique_ptr<MessageWindow> MessageWindow::Create(Procedure proc) {
  auto w = std::make_unique<MessageWindowWin32>(std::move(proc));
  if (!w->Criar()) return nullptr;
  return w;
}

bool PostToWindow(WindowHandle window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  return PostMessageW(static_cast<HWND>(window), msg, wParam, lParam) != 0;
}

std::unique_ptr<EventoSinal> EventoSinal::Create() {
  HANDLE h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!h) return nullptr;
  return std::make_unique<EventoSinalWin32>(h);
}

}  // namespace plat
