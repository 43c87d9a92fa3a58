// The record behind an OsHandle on POSIX.
#pragma once
#include <string>

#include "platform/handles.h"
#include "platform/serial.h"

namespace plat {

struct MutexRecord;

enum class HandleKind { Stream, Serial, Device, Mutex };

struct PosixHandle {
  HandleKind kind = HandleKind::Stream;
  int fd = -1;
  bool isSocket = false;
  // The receive limit (SO_RCVTIMEO) set on the socket by bounded transfers, in
  // ms; 0 while blocking reads wait without limit.
  int receiveWaitMs = 0;
  SerialTimeouts timeouts{};
  MutexRecord* mutex = nullptr;
};

inline PosixHandle* AsPosix(OsHandle h) { return IsValidOsHandle(h) ? static_cast<PosixHandle*>(h) : nullptr; }
inline OsHandle ToHandle(PosixHandle* p) { return static_cast<OsHandle>(p); }

// The folder of pipe sockets and lock files (created on demand).
std::string RuntimeFolder();
// Connects a stream socket to `path`: the fd, or -1 with LastError set
// (kErrorFileNotFound: nobody listens; kErrorPipeBusy: the queue is full).
int ConnectSocket(const std::string& path);
void CloseMutexRecord(MutexRecord* m);
// Sets the socket's receive limit (0: none) unless it is set already; false
// when the system refuses it. `current` is the value set before.
bool SetReceiveWait(int fd, int& current, int ms);

}  // namespace plat
