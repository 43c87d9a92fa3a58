#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/errors.h"
#include "platform/mutexes.h"
#include "platform/posix/handles_posix.h"
#include "platform/posix/posix_internal.h"

namespace plat {

// One record per name in this process: flock excludes other processes, the
// owner and count give the thread ownership and recursion of Windows mutexes.
struct MutexRecord {
  std::string name;
  int fd = -1;
  int refs = 0;
  std::mutex lock;
  std::condition_variable freed;
  std::thread::id owner{};
  bool owned = false;
  uint32_t count = 0;
};

namespace {
std::mutex g_registryLock;
std::map<std::string, MutexRecord*>& Registry() {
  static auto* r = new std::map<std::string, MutexRecord*>;
  return *r;
}
}  // namespace

OsHandle CreateNamedMutex(const std::string& name) {
  std::lock_guard<std::mutex> g(g_registryLock);
  MutexRecord*& rec = Registry()[name];
  if (!rec) {
    std::string file = name;
    for (char& c : file) {
      if (c == '/' || c == '\\') c = '#';
    }
    std::string path = RuntimeFolder() + "/" + file + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
      SetLastErrorFromErrno(errno);
      Registry().erase(name);
      return InvalidOsHandle();
    }
    rec = new MutexRecord;
    rec->name = name;
    rec->fd = fd;
  }
  ++rec->refs;
  auto* p = new PosixHandle;
  p->kind = HandleKind::Mutex;
  p->mutex = rec;
  return ToHandle(p);
}

void CloseMutexRecord(MutexRecord* m) {
  if (!m) return;
  std::lock_guard<std::mutex> g(g_registryLock);
  if (--m->refs > 0) return;
  Registry().erase(m->name);
  close(m->fd);  // also drops a lock an owner forgot to release
  delete m;
}

WaitResult WaitNamedMutex(OsHandle mutex, uint32_t timeoutMs) {
  PosixHandle* p = AsPosix(mutex);
  if (!p || p->kind != HandleKind::Mutex) {
    SetLastError(kErrorInvalidHandle);
    return WaitResult::Failed;
  }
  MutexRecord* m = p->mutex;
  const auto me = std::this_thread::get_id();
  const bool forever = timeoutMs == kInfinite;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  std::unique_lock<std::mutex> l(m->lock);
  if (m->owned && m->owner == me) {
    ++m->count;
    return WaitResult::Acquired;
  }
  while (m->owned) {
    if (forever) {
      m->freed.wait(l);
    } else if (m->freed.wait_until(l, deadline) == std::cv_status::timeout && m->owned) {
      return WaitResult::TimedOut;
    }
  }
  // This thread now holds the process's claim; other processes next.
  m->owned = true;
  m->owner = me;
  l.unlock();
  for (;;) {
    if (flock(m->fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      SetLastErrorFromErrno(errno);
      l.lock();
      m->owned = false;
      m->freed.notify_one();
      return WaitResult::Failed;
    }
    if (!forever && std::chrono::steady_clock::now() >= deadline) {
      l.lock();
      m->owned = false;
      m->freed.notify_one();
      return WaitResult::TimedOut;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  l.lock();
  m->count = 1;
  return WaitResult::Acquired;
}

bool ReleaseNamedMutex(OsHandle mutex) {
  PosixHandle* p = AsPosix(mutex);
  if (!p || p->kind != HandleKind::Mutex) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  MutexRecord* m = p->mutex;
  std::lock_guard<std::mutex> l(m->lock);
  if (!m->owned || m->owner != std::this_thread::get_id() || m->count == 0) {
    SetLastError(288);  // ERROR_NOT_OWNER
    return false;
  }
  if (--m->count == 0) {
    flock(m->fd, LOCK_UN);
    m->owned = false;
    m->freed.notify_one();
  }
  return true;
}

}  // namespace plat
