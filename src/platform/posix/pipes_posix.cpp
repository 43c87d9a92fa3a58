#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/errors.h"
#include "platform/pipes.h"
#include "platform/posix/handles_posix.h"
#include "platform/posix/posix_internal.h"

namespace plat {

namespace {
bool StartsWithNoCase(const std::string& s, size_t pos, const char* word) {
  size_t n = std::strlen(word);
  if (s.size() < pos + n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = s[pos + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != word[i]) return false;
  }
  return true;
}

std::string Sanitize(std::string s) {
  for (char& c : s) {
    if (c == '\\' || c == '/') c = '#';
  }
  return s;
}
}  // namespace

std::string PipeNameToPath(const std::string& pipeName) {
  // \\machine\PIPE\name
  if (pipeName.size() < 3 || pipeName[0] != '\\' || pipeName[1] != '\\') return {};
  size_t sep = pipeName.find('\\', 2);
  if (sep == std::string::npos || sep == 2) return {};
  std::string machine = pipeName.substr(2, sep - 2);
  if (!StartsWithNoCase(pipeName, sep + 1, "PIPE\\")) return {};
  std::string name = pipeName.substr(sep + 6);
  if (name.empty()) return {};
  std::string dir = RuntimeFolder();
  if (machine != ".") {
    dir += "/" + Sanitize(machine);
    mkdir(dir.c_str(), 0700);
  }
  return dir + "/" + Sanitize(name);
}

OsHandle OpenPipe(const std::string& name, bool shareAll, bool overlapped) {
  std::string path = PipeNameToPath(name);
  if (path.empty()) {
    SetLastError(kErrorInvalidParameter);
    return InvalidOsHandle();
  }
  int fd = ConnectSocket(path);
  if (fd < 0) return InvalidOsHandle();
  auto* p = new PosixHandle;
  p->kind = overlapped ? HandleKind::Device : HandleKind::Stream;
  p->fd = fd;
  p->isSocket = true;
  return ToHandle(p);
}

bool WaitPipe(const std::string& name, uint32_t timeoutMs) {
  // A socket cannot be asked whether its queue has room without taking that
  // room, so the wait lasts its whole time unless the pipe disappears.
  std::string path = PipeNameToPath(name);
  uint64_t end = TickCountMs() + timeoutMs;
  for (;;) {
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
      SetLastError(kErrorFileNotFound);
      return false;
    }
    uint64_t now = TickCountMs();
    if (now >= end) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint64_t>(20, end - now)));
  }
  SetLastError(kErrorSemTimeout);
  return false;
}

// The listening socket of a name, shared by every instance this process
// creates for it: each instance accepts its own client from it.
struct PipeListener {
  std::string path;
  int fd = -1;
  uint32_t maxInstances = 1;
  uint32_t instances = 0;
};

struct PipeServer {
  std::string path;
  PipeListener* listener = nullptr;
  int listenFd = -1;
  int clientFd = -1;
  int receiveWaitMs = 0;  // the client socket's SO_RCVTIMEO, 0 none
};

namespace {
std::mutex gListenersLock;
std::map<std::string, PipeListener*>& Listeners() {
  static auto* listeners = new std::map<std::string, PipeListener*>;
  return *listeners;
}

// Binds and listens on `path`; -1 with the last error set on failure.
int Listen(const std::string& path, uint32_t maxInstances) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    SetLastError(kErrorInvalidParameter);
    return -1;
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  // Non-blocking: instances that wait on the same socket race for each
  // client, and the losers must not block in accept.
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return -1;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (errno != EADDRINUSE) {
      SetLastErrorFromErrno(errno);
      close(fd);
      return -1;
    }
    // A live server keeps the name; a stale socket file is replaced.
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool alive = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 || errno == EAGAIN;
    close(probe);
    if (alive || unlink(path.c_str()) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      SetLastError(kErrorAccessDenied);
      close(fd);
      return -1;
    }
  }
  // Backlog: a pipe of one instance lets one client wait while it serves,
  // and the next is busy. With more instances, clients that come together
  // must not be told busy before an idle instance has taken the first.
  if (listen(fd, static_cast<int>(maxInstances - 1)) != 0) {
    SetLastErrorFromErrno(errno);
    close(fd);
    unlink(path.c_str());
    return -1;
  }
  return fd;
}
}  // namespace

PipeServer* CreatePipeServer(const std::string& name, uint32_t maxInstances) {
  std::string path = PipeNameToPath(name);
  if (maxInstances == 0) maxInstances = 1;
  std::lock_guard<std::mutex> g(gListenersLock);
  PipeListener*& l = Listeners()[path];
  if (l) {
    if (l->instances >= l->maxInstances) {
      SetLastError(kErrorPipeBusy);
      return nullptr;
    }
  } else {
    int fd = Listen(path, maxInstances);
    if (fd < 0) {
      Listeners().erase(path);
      return nullptr;
    }
    l = new PipeListener{path, fd, maxInstances, 0};
  }
  ++l->instances;
  auto* s = new PipeServer;
  s->path = path;
  s->listener = l;
  s->listenFd = l->fd;
  return s;
}

int AcceptPipeClient(PipeServer* server, uint32_t timeoutMs) {
  if (!server) return -1;
  if (server->clientFd >= 0) return 1;
  pollfd pfd{server->listenFd, POLLIN, 0};
  int r = poll(&pfd, 1, timeoutMs == 0xFFFFFFFFu ? -1 : static_cast<int>(timeoutMs));
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (r == 0) return 0;
  int c = accept4(server->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (c < 0) return errno == EINTR || errno == EAGAIN || errno == ECONNABORTED ? 0 : -1;
  server->clientFd = c;
  server->receiveWaitMs = 0;
  return 1;
}

void DisconnectPipeClient(PipeServer* server) {
  if (server && server->clientFd >= 0) {
    close(server->clientFd);
    server->clientFd = -1;
  }
}

int ServerRead(PipeServer* server, void* buffer, uint32_t length, uint32_t* done, uint32_t timeoutMs) {
  *done = 0;
  if (!server || server->clientFd < 0) return -1;
  // The receive waits itself, bounded by the socket's receive limit: one
  // system call when the data is there, as the rest of a request is.
  ssize_t n;
  if (timeoutMs == 0) {
    n = recv(server->clientFd, buffer, length, MSG_DONTWAIT);
  } else {
    int wait = timeoutMs == 0xFFFFFFFFu ? 0 : static_cast<int>(std::min<uint32_t>(timeoutMs, INT32_MAX));
    if (!SetReceiveWait(server->clientFd, server->receiveWaitMs, wait)) return -1;
    n = recv(server->clientFd, buffer, length, 0);
  }
  if (n < 0) return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  if (n == 0) return -1;
  *done = static_cast<uint32_t>(n);
  return 1;
}

bool ServerWrite(PipeServer* server, const void* data, uint32_t length) {
  if (!server || server->clientFd < 0) return false;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  uint32_t sent = 0;
  while (sent < length) {
    ssize_t n = send(server->clientFd, bytes + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<uint32_t>(n);
  }
  return true;
}

void DestroyPipeServer(PipeServer* server) {
  if (!server) return;
  DisconnectPipeClient(server);
  {
    std::lock_guard<std::mutex> g(gListenersLock);
    PipeListener* l = server->listener;
    if (--l->instances == 0) {
      close(l->fd);
      unlink(l->path.c_str());
      Listeners().erase(l->path);
      delete l;
    }
  }
  delete server;
}

}  // namespace plat
