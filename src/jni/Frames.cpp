#include "jni/Frames.h"

#include "jni/ModifiedUtf8.h"

std::string MensagemDaFalha(std::exception_ptr falha) {
  try {
    std::rethrow_exception(falha);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown native failure";
  }
}

void LancarExcecaoJava(TJNIEnv& env, const char* classe, const std::string& mensagem) {
  if (env.ExceptionCheck()) env.ExceptionClear();
  jclass c = env.FindClass(classe);
  if (!c) return;  // NoClassDefFoundError stays pending and tells Java what is missing
  env.ThrowNew(c, Utf8ParaUtf8Modificado(mensagem).c_str());
  env.DeleteLocalRef(c);
}
