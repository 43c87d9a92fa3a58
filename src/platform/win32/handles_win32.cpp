#include <windows.h>

#include "platform/handles.h"

namespace plat {

void CloseOsHandle(OsHandle h) {
  if (IsValidOsHandle(h)) CloseHandle(static_cast<HANDLE>(h));
}

bool WriteOsHandle(OsHandle h, const void* data, uint32_t length, uint32_t* done) {
  DWORD n = 0;
  BOOL ok = WriteFile(static_cast<HANDLE>(h), data, length, &n, nullptr);
  if (done) *done = n;
  return ok != FALSE;
}

bool ReadOsHandle(OsHandle h, void* buffer, uint32_t length, uint32_t* done) {
  DWORD n = 0;
  BOOL ok = ReadFile(static_cast<HANDLE>(h), buffer, length, &n, nullptr);
  if (done) *done = n;
  return ok != FALSE;
}

}  // namespace plat
