#include "platform/posix/handles_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/errors.h"
#include "platform/pipes.h"
#include "platform/posix/posix_internal.h"

namespace plat {

std::string RuntimeFolder() {
  const char* env = std::getenv("DACTYLINK_PIPE_DIR");
  std::string dir = (env && *env) ? std::string(env) : "/tmp/dactylink-pipes-" + std::to_string(getuid());
  // Parents too, so that a nested folder named in the environment works.
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0700);
  }
  return dir;
}

bool SetReceiveWait(int fd, int& current, int ms) {
  if (current == ms) return true;
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) return false;
  current = ms;
  return true;
}

int ConnectSocket(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    SetLastError(kErrorInvalidParameter);
    return -1;
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return -1;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    int e = errno;
    close(fd);
    if (e == EAGAIN || e == EWOULDBLOCK) {
      SetLastError(kErrorPipeBusy);
    } else if (e == ENOENT || e == ECONNREFUSED || e == ENOTDIR) {
      SetLastError(kErrorFileNotFound);
    } else {
      SetLastErrorFromErrno(e);
    }
    return -1;
  }
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

void CloseOsHandle(OsHandle h) {
  PosixHandle* p = AsPosix(h);
  if (!p) return;
  if (p->kind == HandleKind::Mutex) {
    CloseMutexRecord(p->mutex);
  } else if (p->fd >= 0) {
    close(p->fd);
  }
  delete p;
}

namespace {
// Windows-like read limits of a serial port, with poll.
bool ReadSerial(PosixHandle* p, uint8_t* buffer, uint32_t length, uint32_t* done) {
  const SerialTimeouts& t = p->timeouts;
  bool unbounded = t.readInterval == 0 && t.readTotalMultiplier == 0 && t.readTotalConstant == 0;
  uint64_t start = TickCountMs();
  uint64_t total = uint64_t(t.readTotalMultiplier) * length + t.readTotalConstant;
  while (*done < length) {
    int wait = -1;
    if (!unbounded) {
      uint64_t now = TickCountMs();
      uint64_t left = start + total > now ? start + total - now : 0;
      if (*done > 0 && t.readInterval) left = std::min<uint64_t>(left, t.readInterval);
      if (left == 0) break;
      wait = static_cast<int>(left);
    }
    pollfd pfd{p->fd, POLLIN, 0};
    int r = poll(&pfd, 1, wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return false;
    }
    if (r == 0) break;
    ssize_t n = read(p->fd, buffer + *done, length - *done);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      SetLastErrorFromErrno(errno);
      return false;
    }
    if (n == 0) {
      // The other end of a pseudo-terminal went away: nothing arrives.
      if (pfd.revents & POLLHUP) {
        SetLastError(kErrorBrokenPipe);
        return false;
      }
      break;
    }
    *done += static_cast<uint32_t>(n);
  }
  return true;
}
}  // namespace

bool ReadOsHandle(OsHandle h, void* buffer, uint32_t length, uint32_t* done) {
  uint32_t ignored = 0;
  if (!done) done = &ignored;
  *done = 0;
  PosixHandle* p = AsPosix(h);
  if (!p || p->fd < 0) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (length == 0) return true;
  if (p->kind == HandleKind::Serial) return ReadSerial(p, static_cast<uint8_t*>(buffer), length, done);
  // A blocking read waits as long as it takes, whatever limit a bounded
  // transfer left on the socket.
  if (p->isSocket && !SetReceiveWait(p->fd, p->receiveWaitMs, 0)) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  for (;;) {
    ssize_t n = read(p->fd, buffer, length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    if (n == 0) {  // the writer closed its end, as ERROR_BROKEN_PIPE on Windows
      SetLastError(kErrorBrokenPipe);
      return false;
    }
    *done = static_cast<uint32_t>(n);
    return true;
  }
}

bool WriteOsHandle(OsHandle h, const void* data, uint32_t length, uint32_t* done) {
  uint32_t ignored = 0;
  if (!done) done = &ignored;
  *done = 0;
  PosixHandle* p = AsPosix(h);
  if (!p || p->fd < 0) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (p->kind == HandleKind::Serial) {
    // Bounded like a Windows port: multiplier * length + constant, when set.
    const SerialTimeouts& t = p->timeouts;
    bool bounded = t.writeTotalMultiplier != 0 || t.writeTotalConstant != 0;
    uint64_t end = TickCountMs() + uint64_t(t.writeTotalMultiplier) * length + t.writeTotalConstant;
    while (*done < length) {
      int wait = -1;
      if (bounded) {
        uint64_t now = TickCountMs();
        if (now >= end) {
          SetLastError(kErrorTimeout);
          return true;  // a write time-out reports the bytes written, as WriteFile does
        }
        wait = static_cast<int>(end - now);
      }
      pollfd pfd{p->fd, POLLOUT, 0};
      int r = poll(&pfd, 1, wait);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        SetLastErrorFromErrno(errno);
        return false;
      }
      if (r == 0) continue;
      ssize_t n = write(p->fd, bytes + *done, length - *done);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n < 0) {
        SetLastErrorFromErrno(errno);
        return false;
      }
      *done += static_cast<uint32_t>(n);
    }
    return true;
  }
  while (*done < length) {
    ssize_t n = p->isSocket ? send(p->fd, bytes + *done, length - *done, MSG_NOSIGNAL)
                            : write(p->fd, bytes + *done, length - *done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastError(errno == EPIPE || errno == ECONNRESET ? kErrorBrokenPipe : ErrnoToError(errno));
      return false;
    }
    *done += static_cast<uint32_t>(n);
  }
  return true;
}

}  // namespace plat
