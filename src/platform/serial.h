#pragma once
#include <cstdint>
#include <string>

#include "platform/handles.h"

// Serial ports.
//
// Port names are given as on Windows, "//./COM3". On POSIX "//./COMn" maps to
// the device path in the environment variable DACTYLINK_COMn when that is set
// (tests point it at a pseudo-terminal) and to "/dev/ttyS<n-1>" otherwise; any
// other name after "//./" is taken as a device path.
namespace plat {

// The port's control settings as the system keeps them (DCB / termios),
// opaque here; SetSerialLine changes only the fields named there.
struct SerialState {
  alignas(8) unsigned char raw[128];
};

struct SerialTimeouts {
  uint32_t readInterval = 0;
  uint32_t readTotalMultiplier = 0;
  uint32_t readTotalConstant = 0;
  uint32_t writeTotalMultiplier = 0;
  uint32_t writeTotalConstant = 0;
};

// Opens for reading and writing, not shared, existing only, no overlapped I/O.
OsHandle OpenSerialPort(const std::string& name);
bool GetSerialState(OsHandle port, SerialState& state);
// Raw 8N1 at `baudRate`: binary, no parity check, no CTS/DSR/XON flow control,
// no DSR sensitivity, no NUL stripping, no abort on error, DTR and RTS
// disabled. XOFF continue and the error character stay as they were.
void SetSerialLine(SerialState& state, uint32_t baudRate);
bool SetSerialState(OsHandle port, const SerialState& state);
// COMMTIMEOUTS. On POSIX the read limits are applied with poll: the first
// byte of a read may take multiplier * length + constant ms, each further
// byte the interval.
bool SetSerialTimeouts(OsHandle port, const SerialTimeouts& timeouts);
// Reads and writes on a port go through ReadOsHandle / WriteOsHandle; a read
// that times out succeeds with done == 0.

}  // namespace plat
