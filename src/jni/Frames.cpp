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

namespace {
bool EhErro(TJNIEnv& env, jthrowable t) {
  jclass erro = env.FindClass("java/lang/Error");
  if (!erro) {
    env.ExceptionClear();
    return false;
  }
  bool r = env.IsInstanceOf(t, erro);
  env.DeleteLocalRef(erro);
  return r;
}
}  // namespace

void LancarExcecaoJava(TJNIEnv& env, const char* classe, const std::string& mensagem) {
  jthrowable pendente = env.ExceptionOccurred();
  if (!pendente) {
    jclass c = env.FindClass(classe);
    if (!c) return;  // NoClassDefFoundError stays pending and tells Java what is missing
    env.ThrowNew(c, Utf8ParaUtf8Modificado(mensagem).c_str());
    env.DeleteLocalRef(c);
    return;
  }
  env.ExceptionClear();
  // An Error thrown by Java code the body called (OutOfMemoryError,
  // StackOverflowError) is no failure of the library: it goes on unchanged.
  // Any other pending exception becomes the cause of the library's own.
  jthrowable nova = nullptr;
  if (!EhErro(env, pendente)) {
    jclass c = env.FindClass(classe);
    jmethodID criar = c ? env.GetMethodID(c, "<init>", "(Ljava/lang/String;)V") : nullptr;
    jstring texto = criar ? env.StringToJString(mensagem) : nullptr;
    nova = texto ? static_cast<jthrowable>(env.NewObject(c, criar, {static_cast<jobject>(texto)})) : nullptr;
    jclass lancavel = nova ? env.FindClass("java/lang/Throwable") : nullptr;
    jmethodID causa =
        lancavel ? env.GetMethodID(lancavel, "initCause", "(Ljava/lang/Throwable;)Ljava/lang/Throwable;") : nullptr;
    jobject r = causa ? env.CallObjectMethod(nova, causa, {static_cast<jobject>(pendente)}) : nullptr;
    if (env.ExceptionCheck()) {
      // Out of memory on the way: what is pending now says more than a half-built exception.
      if (nova) env.DeleteLocalRef(nova);
      nova = nullptr;
    }
    for (jobject o : {static_cast<jobject>(c), static_cast<jobject>(texto), static_cast<jobject>(lancavel), r})
      if (o) env.DeleteLocalRef(o);
  }
  if (env.ExceptionCheck()) {
    env.DeleteLocalRef(pendente);
    if (nova) env.DeleteLocalRef(nova);
    return;
  }
  env.Throw(nova ? nova : pendente);
  env.DeleteLocalRef(pendente);
  if (nova) env.DeleteLocalRef(nova);
}
