// Load and unload of the library. Units that own process-wide state register
// what must happen at unload with a TFinalizacao object of static storage;
// the hooks run in reverse order of registration.
#pragma once
#include <functional>

enum class TMomentoFinalizacao {
  JvmDescarregando,  // JNI_OnUnload: the JVM drops the library; threads may still be stopped
  Processo           // process detach / library destructor: release storage only
};

struct TFinalizacao {
  TFinalizacao(TMomentoFinalizacao momento, std::function<void()> acao);
};

void ExecutarFinalizacoes(TMomentoFinalizacao momento);
