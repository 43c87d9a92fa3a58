// Window messages and event handles handed to vendor libraries.
//
// On Windows a MessageWindow is a real hidden message-only window and an
// EventoSinal a real unnamed auto-reset event; their handles are the HWND and
// the HANDLE, so a vendor library posts with PostMessage and signals with
// SetEvent.
//
// On POSIX there are no such system objects. A handle given to a library is
// then the address of a record whose first field is a function the library
// calls instead (a C ABI, see posix_handles.h):
//   window: struct { void (*Post)(void* window, uint32_t msg, uintptr_t wParam, intptr_t lParam); ... }
//   event:  struct { void (*Signal)(void* event); ... }
// Posting queues the message for the window; the thread that created the
// window takes it off with DispatchPending, as with a Windows message queue.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

namespace plat {

using WindowHandle = void*;

class MessageWindow {
 public:
  // Receives every message dispatched to the window; returns the message's result.
  using Procedure = std::function<intptr_t(uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

  // Creates the window on the calling thread, which must be the one that
  // dispatches its messages. Null when the system refuses.
  static std::unique_ptr<MessageWindow> Create(Procedure proc);
  virtual ~MessageWindow() = default;

  virtual WindowHandle Handle() const = 0;
  // Removes every message waiting for this window and dispatches it to the procedure.
  virtual void DispatchPending() = 0;
  // The system's default handling of a message the procedure does not want.
  virtual intptr_t DefaultProcedure(uint32_t msg, uintptr_t wParam, intptr_t lParam) = 0;
};

// Posts a message to a window handle (PostMessage); false when it is refused.
bool PostToWindow(WindowHandle window, uint32_t msg, uintptr_t wParam, intptr_t lParam);

// Unnamed auto-reset event whose handle may be given to a library that signals it.
class EventoSinal {
 public:
  static std::unique_ptr<EventoSinal> Create();  // initially not signalled; null on failure
  virtual ~EventoSinal() = default;
  virtual void* Handle() const = 0;
  virtual void Signal() = 0;
  // Waits without limit; the event resets as the wait returns.
  virtual void Wait() = 0;
};

}  // namespace plat
