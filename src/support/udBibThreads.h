// Worker threads. TThread mirrors the general thread class that the rest of
// the library relies on: a Terminated flag, FreeOnTerminate, and destruction
// that first sets Terminated and then waits for Execute to return.
#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class TThread {
 public:
  TThread();
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts Execute on a new thread (once).
  void Start();
  void Terminate() { FEstado->terminated.store(true); }
  bool Terminated() const { return FEstado->terminated.load(); }
  // Waits until Execute has returned (no-op when called from the thread itself
  // or when the thread never started).
  void WaitFor();
  bool Finished() const { return FEstado->finished.load(); }

  bool FreeOnTerminate = false;
  // Called by Start on the creator's thread right after the thread may run,
  // so that a test can hold the creator there (as a pre-empting scheduler
  // would) while a self-deleting thread ends. Null outside tests.
  static inline void (*AposLiberarInicio)() = nullptr;
  // Message of a failure that escaped Execute; nothing else reports it.
  const std::string& FatalException() const { return FEstado->fatalMessage; }
  bool IsCurrentThread() const;

 protected:
  virtual void Execute() = 0;

 private:
  // Shared with the running thread, so that a thread object destroyed from
  // inside its own Execute (a listener stopping its own scanner) is never
  // touched again by the thread that is still unwinding.
  struct Estado {
    // Gate for Run: set once FThread holds the thread. A mutex and a condition
    // variable, not an atomic wait: some C++ libraries lose that wake-up.
    std::mutex startMutex;
    std::condition_variable startCond;
    bool started = false;
    std::atomic<bool> terminated{false};
    std::atomic<bool> finished{false};
    std::atomic<bool> destroyed{false};
    std::string fatalMessage;
  };
  static void Run(TThread* self, std::shared_ptr<Estado> estado);
  std::thread FThread;
  std::shared_ptr<Estado> FEstado = std::make_shared<Estado>();
};

class TThreadGenerica;
// The routine run by a TThreadGenerica: a method of some object taking the thread.
using TMetodoThreadGenerica = std::function<void(TThreadGenerica& thread)>;

class TThreadGenerica : public TThread {
 public:
  // Starts at once; with liberarAuto the object deletes itself when the routine returns.
  TThreadGenerica(TMetodoThreadGenerica rotina, bool liberarAuto, void* parametro);
  // Waits here, while the object is still whole: a thread that has not yet
  // entered Execute must not find only the base class left.
  ~TThreadGenerica() override;
  void* Parametro() const { return FParametro; }

 protected:
  void Execute() override;

 private:
  TMetodoThreadGenerica FRotina;
  void* FParametro;
};
