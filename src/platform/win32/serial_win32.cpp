#include <windows.h>

#include <cstring>

#include "platform/serial.h"
#include "platform/win32/win32_internal.h"

namespace plat {

static_assert(sizeof(DCB) <= sizeof(SerialState::raw));

OsHandle OpenSerialPort(const std::string& name) {
  HANDLE h = CreateFileW(Widen(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  return h == INVALID_HANDLE_VALUE ? InvalidOsHandle() : static_cast<OsHandle>(h);
}

bool GetSerialState(OsHandle port, SerialState& state) {
  std::memset(&state, 0, sizeof(state));
  DCB* dcb = reinterpret_cast<DCB*>(state.raw);
  dcb->DCBlength = sizeof(DCB);
  return GetCommState(static_cast<HANDLE>(port), dcb) != FALSE;
}

void SetSerialLine(SerialState& state, uint32_t baudRate) {
  DCB* dcb = reinterpret_cast<DCB*>(state.raw);
  dcb->BaudRate = baudRate;
  dcb->fBinary = 1;
  dcb->fParity = 0;
  dcb->fOutxCtsFlow = 0;
  dcb->fOutxDsrFlow = 0;
  dcb->fDtrControl = DTR_CONTROL_DISABLE;
  dcb->fDsrSensitivity = 0;
  dcb->fOutX = 0;
  dcb->fInX = 0;
  dcb->fNull = 0;
  dcb->fRtsControl = RTS_CONTROL_DISABLE;
  dcb->fAbortOnError = 0;
  dcb->ByteSize = 8;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
}

bool SetSerialState(OsHandle port, const SerialState& state) {
  DCB dcb;
  std::memcpy(&dcb, state.raw, sizeof(DCB));
  return SetCommState(static_cast<HANDLE>(port), &dcb) != FALSE;
}

bool SetSerialTimeouts(OsHandle port, const SerialTimeouts& t) {
  COMMTIMEOUTS ct{};
  ct.ReadIntervalTimeout = t.readInterval;
  ct.ReadTotalTimeoutMultiplier = t.readTotalMultiplier;
  ct.ReadTotalTimeoutConstant = t.readTotalConstant;
  ct.WriteTotalTimeoutMultiplier = t.writeTotalMultiplier;
  ct.WriteTotalTimeoutConstant = t.writeTotalConstant;
  return SetCommTimeouts(static_cast<HANDLE>(port), &ct) != FALSE;
}

}  // namespace plat
