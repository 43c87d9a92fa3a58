#include "platform/namedevent.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/posix/posix_internal.h"

namespace plat {
namespace {

struct Evento {
  int fd = -1;
  bool tomado = false;
};

// Every process of a user finds the user's claims in one place, whatever its
// TMPDIR, as a Windows named event is one per logon: the user's runtime
// folder, else a folder of the user's own below /tmp. DACTYLINK_CLAIM_DIR
// names another place (tests keep parallel runs apart with it).
std::string PastaEventos() {
  if (const char* d = std::getenv("DACTYLINK_CLAIM_DIR"); d && *d) {
    std::string pasta = d;
    while (pasta.size() > 1 && pasta.back() == '/') pasta.pop_back();  // "link/" would be followed
    return pasta;
  }
  if (const char* r = std::getenv("XDG_RUNTIME_DIR"); r && r[0] == '/') return std::string(r) + "/dactylink-claims";
  return "/tmp/dactylink-claims-" + std::to_string(static_cast<unsigned long>(getuid()));
}

// The folder must be a real folder (not a link), the user's own and closed to
// everyone else, or someone could hold or plant claims in it.
bool PrepararPasta(const std::string& pasta) {
  if (mkdir(pasta.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (lstat(pasta.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077) != 0) {
    errno = EACCES;
    return false;
  }
  return true;
}

// Names may hold any byte; '/' and '%' are escaped so that one name is one file.
std::string NomeArquivo(const std::string& nome) {
  std::string r;
  for (unsigned char c : nome) {
    if (c == '/' || c == '%' || c < 0x20) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      r += buf;
    } else {
      r += static_cast<char>(c);
    }
  }
  if (r == "." || r == "..") r = "%2E" + r.substr(1);
  return r;
}

}  // namespace

NamedEventHandle CreateOrOpenNamedEvent(const std::string& name) {
  std::string pasta = PastaEventos();
  if (!PrepararPasta(pasta)) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  std::string caminho = pasta + "/" + NomeArquivo(name);
  int fd = open(caminho.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  auto* e = new Evento;
  e->fd = fd;
  return e;
}

bool WaitNamedEvent(NamedEventHandle h, unsigned milliseconds) {
  auto* e = static_cast<Evento*>(h);
  if (!e) return false;
  if (e->tomado) return false;  // auto-reset: taken once until set again
  auto fim = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (flock(e->fd, LOCK_EX | LOCK_NB) == 0) {
      e->tomado = true;
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    if (std::chrono::steady_clock::now() >= fim) {
      SetLastError(kErrorTimeout);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void SetNamedEvent(NamedEventHandle h) {
  auto* e = static_cast<Evento*>(h);
  if (!e || !e->tomado) return;
  flock(e->fd, LOCK_UN);
  e->tomado = false;
}

void CloseNamedEvent(NamedEventHandle h) {
  auto* e = static_cast<Evento*>(h);
  if (!e) return;
  // Closing the only descriptor of the description drops a held lock; the
  // file stays, so a name never goes away under a waiting opener.
  close(e->fd);
  delete e;
}

}  // namespace plat
