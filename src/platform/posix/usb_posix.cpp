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

namespace {
// One attempt at the transfer on a socket, without a poll before it: a read
// waits up to `wait` ms for data in the receive itself, a write goes out at
// once or waits for room in a poll. Returns what send/recv returned, or -1
// with errno EAGAIN when the wait ran out.
ssize_t SocketAttempt(PosixHandle* p, IoDirection dir, uint8_t* bytes, uint32_t length, int wait) {
  if (dir == IoDirection::Read) {
    if (wait <= 0) return recv(p->fd, bytes, length, MSG_DONTWAIT);
    if (!SetReceiveWait(p->fd, p->receiveWaitMs, wait)) return -1;
    return recv(p->fd, bytes, length, 0);
  }
  ssize_t n = send(p->fd, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n >= 0 || errno != EAGAIN) return n;
  pollfd pfd{p->fd, POLLOUT, 0};
  int r = poll(&pfd, 1, wait);
  if (r > 0) {
    errno = EINTR;  // room now: the caller tries again at once
  } else if (r == 0) {
    errno = EAGAIN;
  }
  return -1;
}
}  // namespace

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
  // The clock is read again only after a wait ran out: a transfer that finds
  // its data or room at once reads it once.
  uint64_t now = TickCountMs();
  const uint64_t end = now + waitMs;
  const short ev = dir == IoDirection::Read ? POLLIN : POLLOUT;
  for (;;) {
    int wait = now >= end ? 0 : static_cast<int>(end - now);
    if (abandon && wait > kAbandonSliceMs) wait = kAbandonSliceMs;
    ssize_t n;
    bool timedOut = false;
    if (p->isSocket) {
      // Sockets wait inside the transfer: one system call when data or room
      // is there, as it is for nearly every transfer of an exchange.
      uint32_t offset = dir == IoDirection::Read ? 0 : *done;
      n = SocketAttempt(p, dir, bytes + offset, length - offset, wait);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) timedOut = true;
    } else {
      pollfd pfd{p->fd, ev, 0};
      int r = poll(&pfd, 1, wait);
      if (r < 0 && errno == EINTR) {
        now = TickCountMs();
        continue;
      }
      if (r < 0) {
        SetLastErrorFromErrno(errno);
        return PieceResult::Failed;
      }
      if (r == 0) {
        timedOut = true;
        n = -1;
      } else {
        n = dir == IoDirection::Read ? read(p->fd, bytes, length) : write(p->fd, bytes + *done, length - *done);
      }
    }
    if (timedOut) {
      if (abandon && abandon()) {
        SetLastError(kErrorOperationAborted);
        return PieceResult::WaitFailed;
      }
      now = TickCountMs();
      if (now < end) continue;
      SetLastError(kErrorSemTimeout);
      return PieceResult::WaitFailed;
    }
    if (dir == IoDirection::Read && n == 0) {
      SetLastError(kErrorBrokenPipe);
      return PieceResult::Failed;
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        now = TickCountMs();
        continue;
      }
      SetLastError(errno == EPIPE || errno == ECONNRESET ? kErrorBrokenPipe : ErrnoToError(errno));
      return PieceResult::Failed;
    }
    *done += static_cast<uint32_t>(n);
    // A read completes with what one transfer delivered, as a bulk read does.
    if (dir == IoDirection::Read || *done == length) return PieceResult::Done;
    now = TickCountMs();
  }
}

}  // namespace plat
