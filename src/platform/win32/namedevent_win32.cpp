#include "platform/namedevent.h"

#include "platform/win32/win32_internal.h"

namespace plat {

NamedEventHandle CreateOrOpenNamedEvent(const std::string& name) {
  HANDLE h = CreateEventW(nullptr, FALSE, TRUE, Widen(name).c_str());
  return h;  // null on failure; GetLastError tells why
}

bool WaitNamedEvent(NamedEventHandle h, unsigned milliseconds) {
  if (!h) return false;
  return WaitForSingleObject(static_cast<HANDLE>(h), milliseconds) == WAIT_OBJECT_0;
}

void SetNamedEvent(NamedEventHandle h) {
  if (h) SetEvent(static_cast<HANDLE>(h));
}

void CloseNamedEvent(NamedEventHandle h) {
  if (h) CloseHandle(static_cast<HANDLE>(h));
}

}  // namespace plat
