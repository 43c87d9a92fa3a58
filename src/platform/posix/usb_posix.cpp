#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"
#include "platform/pipes.h"
#include "platform/posix/handles_posix.h"
#include "platform/posix/posix_internal.h"
#include "platform/usb.h"
#include "platform/usb_internal.h"

namespace plat {

// No sensor driver exists on POSIX: the system enumeration finds nothing.
int CountDeviceInterfaces(const Guid&) {
  if (auto* s = DeviceInterfaceStandIns()) return static_cast<int>(s->size());
  return 0;
}

bool DeviceInterfacePath(const Guid&, uint32_t index, std::string& path) {
  auto* s = DeviceInterfaceStandIns();
  if (!s || index >= s->size()) {
    SetLastError(kErrorNoMoreItems);
    return false;
  }
  path = (*s)[index].substr(0, 260);
  return true;
}

OsHandle OpenDevicePipe(const std::string& path) {
  if (DeviceInterfaceStandIns()) {
    // A served instance is busy until its server let the previous client go.
    std::string name = StandInPipeName(path);
    for (int attempt = 0;; ++attempt) {
      OsHandle h = OpenPipe(name, true, true);
      if (IsValidOsHandle(h) || LastError() != kErrorPipeBusy || attempt + 1 >= 10) return h;
      WaitPipe(name, 200);
    }
  }
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return InvalidOsHandle();
  }
  auto* p = new PosixHandle;
  p->kind = HandleKind::Device;
  p->fd = fd;
  return ToHandle(p);
}

// How often a wait that may be abandoned looks at its condition.
constexpr int kAbandonSliceMs = 20;

struct UsbIo {
  uint32_t overlappedMode = 1;
  bool events[2] = {false, false};
};

UsbIo* CreateUsbIo() { return new UsbIo; }
void DestroyUsbIo(UsbIo* io) { delete io; }

bool ResetUsbEvent(UsbIo* io, IoDirection dir) {
  if (!io) return false;
  io->events[static_cast<int>(dir)] = true;
  return true;
}

PieceResult TransferPiece(UsbIo* io, IoDirection dir, OsHandle pipe, void* buffer, uint32_t length,
                          uint32_t waitMs, uint32_t* done, bool (*abandon)()) {
  *done = 0;
  PosixHandle* p = AsPosix(pipe);
  if (!io || !p || p->fd < 0) {
    SetLastError(kErrorInvalidHandle);
    return PieceResult::Failed;
  }
  if (length == 0) return PieceResult::Done;
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  uint64_t end = TickCountMs() + waitMs;
  const short ev = dir == IoDirection::Read ? POLLIN : POLLOUT;
  for (;;) {
    uint64_t now = TickCountMs();
    int wait = now >= end ? 0 : static_cast<int>(end - now);
    if (abandon && wait > kAbandonSliceMs) wait = kAbandonSliceMs;
    pollfd pfd{p->fd, ev, 0};
    int r = poll(&pfd, 1, wait);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      SetLastErrorFromErrno(errno);
      return PieceResult::Failed;
    }
    if (r == 0) {
      if (abandon && abandon()) {
        SetLastError(kErrorOperationAborted);
        return PieceResult::WaitFailed;
      }
      if (TickCountMs() < end) continue;
      SetLastError(kErrorSemTimeout);
      return PieceResult::WaitFailed;
    }
    ssize_t n;
    if (dir == IoDirection::Read) {
      n = p->isSocket ? recv(p->fd, bytes, length, MSG_DONTWAIT) : read(p->fd, bytes, length);
      if (n == 0) {
        SetLastError(kErrorBrokenPipe);
        return PieceResult::Failed;
      }
    } else {
      n = p->isSocket ? send(p->fd, bytes + *done, length - *done, MSG_DONTWAIT | MSG_NOSIGNAL)
                      : write(p->fd, bytes + *done, length - *done);
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      SetLastError(errno == EPIPE || errno == ECONNRESET ? kErrorBrokenPipe : ErrnoToError(errno));
      return PieceResult::Failed;
    }
    *done += static_cast<uint32_t>(n);
    // A read completes with what one transfer delivered, as a bulk read does.
    if (dir == IoDirection::Read || *done == length) return PieceResult::Done;
  }
}

}  // namespace plat
