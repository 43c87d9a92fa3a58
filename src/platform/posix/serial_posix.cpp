#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/errors.h"
#include "platform/posix/handles_posix.h"
#include "platform/posix/posix_internal.h"
#include "platform/serial.h"

namespace plat {

namespace {
struct PosixSerialState {
  termios tio;
  uint32_t badBaud;
};
static_assert(sizeof(PosixSerialState) <= sizeof(SerialState::raw));

std::string MapPortName(const std::string& name) {
  std::string rest = name.rfind("//./", 0) == 0 || name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
  if (rest.size() > 3 && (rest.rfind("COM", 0) == 0 || rest.rfind("com", 0) == 0) &&
      rest.find_first_not_of("0123456789", 3) == std::string::npos) {
    std::string var = "DACTYLINK_COM" + rest.substr(3);
    if (const char* env = std::getenv(var.c_str()); env && *env) return env;
    return "/dev/ttyS" + std::to_string(std::atoi(rest.c_str() + 3) - 1);
  }
  return rest;
}

speed_t BaudToSpeed(uint32_t baud, bool& ok) {
  ok = true;
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: ok = false; return B0;
  }
}
}  // namespace

OsHandle OpenSerialPort(const std::string& name) {
  std::string path = MapPortName(name);
  // Non-blocking: every read and write waits with poll, within the port's limits.
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return InvalidOsHandle();
  }
  // Not shared, as the Windows port is opened.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    SetLastError(kErrorAccessDenied);
    return InvalidOsHandle();
  }
  auto* p = new PosixHandle;
  p->kind = HandleKind::Serial;
  p->fd = fd;
  return ToHandle(p);
}

bool GetSerialState(OsHandle port, SerialState& state) {
  PosixHandle* p = AsPosix(port);
  if (!p || p->kind != HandleKind::Serial) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  std::memset(&state, 0, sizeof(state));
  auto* s = reinterpret_cast<PosixSerialState*>(state.raw);
  if (tcgetattr(p->fd, &s->tio) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

void SetSerialLine(SerialState& state, uint32_t baudRate) {
  auto* s = reinterpret_cast<PosixSerialState*>(state.raw);
  termios& t = s->tio;
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                      IXANY | INPCK);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;  // reads are bounded with poll
  t.c_cc[VTIME] = 0;
  bool ok = false;
  speed_t sp = BaudToSpeed(baudRate, ok);
  s->badBaud = ok ? 0 : 1;
  if (ok) {
    cfsetispeed(&t, sp);
    cfsetospeed(&t, sp);
  }
}

bool SetSerialState(OsHandle port, const SerialState& state) {
  PosixHandle* p = AsPosix(port);
  if (!p || p->kind != HandleKind::Serial) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  const auto* s = reinterpret_cast<const PosixSerialState*>(state.raw);
  if (s->badBaud) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (tcsetattr(p->fd, TCSANOW, &s->tio) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  int bits = TIOCM_DTR | TIOCM_RTS;
  ioctl(p->fd, TIOCMBIC, &bits);  // DTR and RTS off; a pseudo-terminal has none
  return true;
}

bool SetSerialTimeouts(OsHandle port, const SerialTimeouts& timeouts) {
  PosixHandle* p = AsPosix(port);
  if (!p || p->kind != HandleKind::Serial) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  p->timeouts = timeouts;
  return true;
}

}  // namespace plat
