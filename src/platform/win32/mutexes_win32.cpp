#include <windows.h>

#include "platform/mutexes.h"
#include "platform/win32/win32_internal.h"

namespace plat {

OsHandle CreateNamedMutex(const std::string& name) {
  HANDLE h = CreateMutexW(nullptr, FALSE, Widen(name).c_str());
  return h ? static_cast<OsHandle>(h) : InvalidOsHandle();
}

WaitResult WaitNamedMutex(OsHandle mutex, uint32_t timeoutMs) {
  switch (WaitForSingleObject(static_cast<HANDLE>(mutex), timeoutMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // the former owner died; the mutex is ours now
      return WaitResult::Acquired;
    case WAIT_TIMEOUT:
      return WaitResult::TimedOut;
    default:
      return WaitResult::Failed;
  }
}

bool ReleaseNamedMutex(OsHandle mutex) { return ReleaseMutex(static_cast<HANDLE>(mutex)) != FALSE; }

}  // namespace plat
