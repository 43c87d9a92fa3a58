#include <windows.h>
#include <setupapi.h>

#include <cstring>
#include <vector>

#include "platform/pipes.h"
#include "platform/usb.h"
#include "platform/usb_internal.h"
#include "platform/win32/win32_internal.h"

namespace plat {

namespace {
GUID ToGuid(const Guid& g) {
  GUID r;
  r.Data1 = g.data1;
  r.Data2 = g.data2;
  r.Data3 = g.data3;
  std::memcpy(r.Data4, g.data4, 8);
  return r;
}
}  // namespace

int CountDeviceInterfaces(const Guid& interfaceClass) {
  if (auto* s = DeviceInterfaceStandIns()) return static_cast<int>(s->size());
  GUID guid = ToGuid(interfaceClass);
  HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  for (;;) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, static_cast<DWORD>(count), &data)) break;
    ++count;
  }
  DWORD e = GetLastError();
  SetupDiDestroyDeviceInfoList(set);
  return e == ERROR_NO_MORE_ITEMS ? count : -1;
}

bool DeviceInterfacePath(const Guid& interfaceClass, uint32_t index, std::string& path) {
  if (auto* s = DeviceInterfaceStandIns()) {
    if (index >= s->size()) {
      ::SetLastError(ERROR_NO_MORE_ITEMS);
      return false;
    }
    path = (*s)[index].substr(0, 260);
    return true;
  }
  GUID guid = ToGuid(interfaceClass);
  HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;
  bool ok = false;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  if (SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
    if (size != 0) {
      std::vector<unsigned char> buf(size + 32, 0);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr)) {
        std::wstring p(detail->DevicePath);
        if (p.size() > 260) p.resize(260);
        path = Narrow(p);
        ok = true;
      }
    }
  }
  DWORD e = GetLastError();
  SetupDiDestroyDeviceInfoList(set);
  ::SetLastError(e);
  return ok;
}

OsHandle OpenDevicePipe(const std::string& path) {
  const bool served = DeviceInterfaceStandIns() != nullptr;
  std::string target = served ? StandInPipeName(path) : path;
  std::wstring wide = Widen(target);
  // A served pipe instance answers busy until its server has let the previous
  // client go; real bulk pipes never do.
  const int attempts = served ? 10 : 1;
  for (int attempt = 0;; ++attempt) {
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED | (served ? SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION : 0),
                           nullptr);
    if (h != INVALID_HANDLE_VALUE) return static_cast<OsHandle>(h);
    if (GetLastError() != ERROR_PIPE_BUSY || attempt + 1 >= attempts) return InvalidOsHandle();
    WaitNamedPipeW(wide.c_str(), 200);
  }
}

struct UsbIo {
  DWORD overlappedMode = 1;
  HANDLE events[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  OVERLAPPED ov[2]{};
};

UsbIo* CreateUsbIo() { return new UsbIo; }

void DestroyUsbIo(UsbIo* io) {
  if (!io) return;
  for (HANDLE e : io->events) {
    if (e != INVALID_HANDLE_VALUE && e != nullptr) CloseHandle(e);
  }
  delete io;
}

bool ResetUsbEvent(UsbIo* io, IoDirection dir) {
  int d = static_cast<int>(dir);
  if (io->events[d] != INVALID_HANDLE_VALUE && io->events[d] != nullptr) CloseHandle(io->events[d]);
  io->events[d] = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  std::memset(&io->ov[d], 0, sizeof(OVERLAPPED));
  io->ov[d].hEvent = io->events[d];
  return io->events[d] != nullptr;
}

PieceResult TransferPiece(UsbIo* io, IoDirection dir, OsHandle pipe, void* buffer, uint32_t length,
                          uint32_t waitMs, uint32_t* done, bool (*abandon)()) {
  *done = 0;
  int d = static_cast<int>(dir);
  HANDLE h = static_cast<HANDLE>(pipe);
  if (!io || io->events[d] == INVALID_HANDLE_VALUE || io->events[d] == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return PieceResult::Failed;
  }
  OVERLAPPED* ov = &io->ov[d];
  ov->Offset = ov->OffsetHigh = 0;
  ov->Internal = ov->InternalHigh = 0;
  BOOL ok = dir == IoDirection::Read ? ReadFile(h, buffer, length, nullptr, ov)
                                     : WriteFile(h, buffer, length, nullptr, ov);
  if (!ok && GetLastError() != ERROR_IO_PENDING) return PieceResult::Failed;
  DWORD w;
  bool abandoned = false;
  if (!abandon) {
    w = WaitForSingleObject(io->events[d], waitMs);
  } else {
    // In slices, so that another thread can make the caller give up.
    const ULONGLONG end = GetTickCount64() + waitMs;
    for (;;) {
      ULONGLONG now = GetTickCount64();
      DWORD slice = now >= end ? 0 : static_cast<DWORD>(end - now < 20 ? end - now : 20);
      w = WaitForSingleObject(io->events[d], slice);
      if (w != WAIT_TIMEOUT || GetTickCount64() >= end) break;
      if (abandon()) {
        abandoned = true;
        break;
      }
    }
  }
  DWORD n = 0;
  if (w == WAIT_OBJECT_0 && GetOverlappedResult(h, ov, &n, FALSE)) {
    *done = n;
    return PieceResult::Done;
  }
  DWORD e = GetLastError();
  // Cancel and let the cancellation finish, so that the system no longer
  // writes into the buffer once this returns.
  CancelIo(h);
  if (GetOverlappedResult(h, ov, &n, TRUE)) {  // it completed after all
    *done = n;
    return PieceResult::Done;
  }
  ::SetLastError(w == WAIT_OBJECT_0 ? e : abandoned ? ERROR_OPERATION_ABORTED : ERROR_SEM_TIMEOUT);
  return w == WAIT_OBJECT_0 ? PieceResult::Failed : PieceResult::WaitFailed;
}

}  // namespace plat
