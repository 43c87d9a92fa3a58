// A shared lock that lets no new reader in while a writer waits, so that a
// write waits at most for the reads already under way. std::shared_mutex
// gives no such promise (glibc's lets readers in ahead of a waiting writer:
// with searches running back to back, a write could wait forever).
//
// Readers wait while any writer waits or writes; the gallery's writes are
// short (a search never runs inside one), so readers are held up briefly.
// Meets the Lockable and SharedLockable requirements used by std::unique_lock
// and std::shared_lock.
#pragma once

#include <condition_variable>
#include <mutex>

namespace matching {

class TWriterFirstLock {
 public:
  void lock() {
    std::unique_lock<std::mutex> guard(FMutex);
    ++FWaitingWriters;
    FWriterTurn.wait(guard, [this] { return !FWriting && FReaders == 0; });
    --FWaitingWriters;
    FWriting = true;
  }

  void unlock() {
    std::lock_guard<std::mutex> guard(FMutex);
    FWriting = false;
    if (FWaitingWriters > 0)
      FWriterTurn.notify_one();
    else
      FReaderTurn.notify_all();
  }

  void lock_shared() {
    std::unique_lock<std::mutex> guard(FMutex);
    FReaderTurn.wait(guard, [this] { return !FWriting && FWaitingWriters == 0; });
    ++FReaders;
  }

  void unlock_shared() {
    std::lock_guard<std::mutex> guard(FMutex);
    if (--FReaders == 0 && FWaitingWriters > 0) FWriterTurn.notify_one();
  }

  // Whether a writer waits or writes: a reader that asks for the lock after
  // this was true gets it only after that writer is done.
  bool WriterPending() {
    std::lock_guard<std::mutex> guard(FMutex);
    return FWriting || FWaitingWriters > 0;
  }

 private:
  std::mutex FMutex;
  std::condition_variable FWriterTurn;
  std::condition_variable FReaderTurn;
  long FReaders = 0;
  long FWaitingWriters = 0;
  bool FWriting = false;
};

}  // namespace matching
