// The library's load and unload. The locks exist from load (static objects,
// see jni/Travas.cpp). On JNI_OnLoad the library pins itself in the process,
// so that its code never goes away under threads it started; JNI_OnUnload
// stops what still runs, and the unload hook (a static destructor, which runs
// at process detach on Windows and at unload or exit on POSIX) only releases
// storage.
#include <jni.h>

#include "platform/modules.h"
#include "support/CicloDeVida.h"

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* /*vm*/, void* /*reserved*/) {
  static const int marcador = 0;
  plat::PinModuleOf(&marcador);
  return JNI_VERSION_1_6;
}

extern "C" JNIEXPORT void JNICALL JNI_OnUnload(JavaVM* /*vm*/, void* /*reserved*/) {
  ExecutarFinalizacoes(TMomentoFinalizacao::JvmDescarregando);
}

namespace {
struct Descarga {
  ~Descarga() { ExecutarFinalizacoes(TMomentoFinalizacao::Processo); }
} g_descarga;
}  // namespace
