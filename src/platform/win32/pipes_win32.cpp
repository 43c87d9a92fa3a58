#include <windows.h>

#include "platform/pipes.h"
#include "platform/win32/win32_internal.h"

namespace plat {

std::string PipeNameToPath(const std::string& pipeName) { return pipeName; }

OsHandle OpenPipe(const std::string& name, bool shareAll, bool overlapped) {
  DWORD share = shareAll ? (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) : 0;
  HANDLE h = CreateFileW(Widen(name).c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                         // Identification only: whoever serves the name cannot act as this user.
                         (overlapped ? FILE_FLAG_OVERLAPPED : 0) | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                         nullptr);
  return h == INVALID_HANDLE_VALUE ? InvalidOsHandle() : static_cast<OsHandle>(h);
}

bool WaitPipe(const std::string& name, uint32_t timeoutMs) {
  return WaitNamedPipeW(Widen(name).c_str(), timeoutMs) != FALSE;
}

struct PipeServer {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED ov{};
  bool connected = false;
};

namespace {
// Waits for the overlapped operation begun on the server; on time-out it is
// cancelled and its end awaited, so the buffer is free when this returns.
// 1 done (n bytes), 0 timed out, -1 failed.
int Finish(PipeServer* s, BOOL started, DWORD timeoutMs, DWORD* n) {
  *n = 0;
  if (!started && GetLastError() != ERROR_IO_PENDING) return -1;
  DWORD w = WaitForSingleObject(s->event, timeoutMs);
  if (w != WAIT_OBJECT_0) CancelIo(s->pipe);
  if (GetOverlappedResult(s->pipe, &s->ov, n, TRUE)) return 1;
  DWORD e = GetLastError();
  if (e == ERROR_OPERATION_ABORTED) return 0;
  return -1;
}
}  // namespace

PipeServer* CreatePipeServer(const std::string& name, uint32_t maxInstances) {
  HANDLE h = CreateNamedPipeW(Widen(name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                              PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                              maxInstances >= 255 ? PIPE_UNLIMITED_INSTANCES : maxInstances, 1 << 20, 1 << 20, 0,
                              nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  auto* s = new PipeServer;
  s->pipe = h;
  s->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  s->ov.hEvent = s->event;
  return s;
}

int AcceptPipeClient(PipeServer* s, uint32_t timeoutMs) {
  if (!s) return -1;
  if (s->connected) return 1;
  ResetEvent(s->event);
  BOOL ok = ConnectNamedPipe(s->pipe, &s->ov);
  if (!ok && GetLastError() == ERROR_PIPE_CONNECTED) {
    s->connected = true;
    return 1;
  }
  DWORD n = 0;
  int r = Finish(s, ok, timeoutMs, &n);
  if (r == 1) s->connected = true;
  if (r == -1 && GetLastError() == ERROR_NO_DATA) {  // came and went already
    DisconnectNamedPipe(s->pipe);
    return 0;
  }
  return r;
}

void DisconnectPipeClient(PipeServer* s) {
  if (s && s->connected) {
    DisconnectNamedPipe(s->pipe);
    s->connected = false;
  }
}

int ServerRead(PipeServer* s, void* buffer, uint32_t length, uint32_t* done, uint32_t timeoutMs) {
  *done = 0;
  if (!s || !s->connected) return -1;
  ResetEvent(s->event);
  DWORD n = 0;
  BOOL ok = ReadFile(s->pipe, buffer, length, nullptr, &s->ov);
  int r = Finish(s, ok, timeoutMs, &n);
  if (r == 1 && n == 0) return 0;
  *done = n;
  return r;
}

bool ServerWrite(PipeServer* s, const void* data, uint32_t length) {
  if (!s || !s->connected) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint32_t sent = 0;
  while (sent < length) {
    ResetEvent(s->event);
    DWORD n = 0;
    BOOL ok = WriteFile(s->pipe, bytes + sent, length - sent, nullptr, &s->ov);
    if (Finish(s, ok, 30000, &n) != 1 || n == 0) return false;
    sent += n;
  }
  return true;
}

// Only the handle is closed: DisconnectNamedPipe would discard what the
// client has not read yet, while a closed instance leaves those bytes
// readable, as a closed socket does.
void DestroyPipeServer(PipeServer* s) {
  if (!s) return;
  CloseHandle(s->pipe);
  CloseHandle(s->event);
  delete s;
}

}  // namespace plat
