#pragma once
#include <cstdint>

namespace plat {

// An operating-system object (pipe end, serial port, named mutex). On Windows
// it is the HANDLE itself; on POSIX the layer's own record behind a pointer.
using OsHandle = void*;

// The "no handle" value that failed opens return (INVALID_HANDLE_VALUE).
inline OsHandle InvalidOsHandle() { return reinterpret_cast<OsHandle>(static_cast<intptr_t>(-1)); }
inline bool IsValidOsHandle(OsHandle h) { return h != nullptr && h != InvalidOsHandle(); }

// Closes any handle of this layer; null and invalid handles are ignored.
void CloseOsHandle(OsHandle h);

// Blocking transfers on a pipe end or port that was opened without overlapped
// I/O. Each is one system call: `done` may be less than `length`.
bool WriteOsHandle(OsHandle h, const void* data, uint32_t length, uint32_t* done);
bool ReadOsHandle(OsHandle h, void* buffer, uint32_t length, uint32_t* done);

}  // namespace plat
