#include "support/udBibThreads.h"

#include <exception>

TThread::TThread() = default;

TThread::~TThread() {
  Terminate();
  if (FThread.joinable() && IsCurrentThread()) {
    FEstado->destroyed.store(true);
    FThread.detach();
    return;
  }
  WaitFor();
}

void TThread::Start() {
  if (FThread.joinable() || Finished()) return;
  // Once the gate opens, a FreeOnTerminate thread may delete this object:
  // from then on only the local copy of the shared state is used.
  std::shared_ptr<Estado> estado = FEstado;
  FThread = std::thread(&TThread::Run, this, estado);
  {
    std::lock_guard<std::mutex> lock(estado->startMutex);
    estado->started = true;
  }
  estado->startCond.notify_all();
  // The test hook holds the creator here, where the thread is truly free to
  // run: before the notification a thread already waiting could not wake.
  if (AposLiberarInicio) AposLiberarInicio();
}

bool TThread::IsCurrentThread() const { return FThread.get_id() == std::this_thread::get_id(); }

void TThread::WaitFor() {
  if (!FThread.joinable() || IsCurrentThread()) return;
  FThread.join();
}

void TThread::Run(TThread* self, std::shared_ptr<Estado> estado) {
  {
    std::unique_lock<std::mutex> lock(estado->startMutex);
    estado->startCond.wait(lock, [&] { return estado->started; });
  }
  try {
    self->Execute();
  } catch (const std::exception& e) {
    estado->fatalMessage = e.what();
  } catch (...) {
    estado->fatalMessage = "Unknown failure";
  }
  if (estado->destroyed.load()) return;  // the object is gone; only the shared state is left
  bool liberar = self->FreeOnTerminate;
  estado->finished.store(true);
  if (liberar) {
    estado->destroyed.store(true);
    self->FThread.detach();
    delete self;
  }
}
TThreadGenerica::TThreadGenerica(TMetodoThreadGenerica rotina, bool liberarAuto, void* parametro)
    : FRotina(std::move(rotina)), FParametro(parametro) {
  FreeOnTerminate = liberarAuto;
  Start();
}

TThreadGenerica::~TThreadGenerica() {
  Terminate();
  WaitFor();
}

void TThreadGenerica::Execute() {
  if (FRotina) FRotina(*this);
}
