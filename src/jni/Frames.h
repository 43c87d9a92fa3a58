// The fixed frames of the exported JNI functions. Each export runs its body
// inside exactly one frame; nothing C++ ever leaves a frame. Failures become
// Java exceptions:
//   - monitor, locked and converting frames (ScannerMan, Scanner):
//       ardivex.scanners.ScanManException with the failure's message;
//   - image frame (loadBMP): java.lang.Exception "Wrong file format";
//   - plain and extraction frames (NImage.saveBMP, NFRecord, NFExtractor):
//       java.lang.Exception with the failure's message;
//   - own frames (ardivex.matching, FingerMinutiaeRecord): the class's own
//       exception with the failure's message.
// A member lookup's NoSuchFieldError or NoSuchMethodError is cleared where the
// body reports the missing member in its own words. Any other Java exception
// still pending when the body fails (one thrown by Java code the body called)
// is kept: an Error goes on unchanged, anything else becomes the cause of the
// frame's exception, which keeps its class and the library's message.
#pragma once
#include <jni.h>

#include <exception>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "jni/Travas.h"
#include "jni/udBibJNI.h"

constexpr const char* kClasseScanManException = "ardivex/scanners/ScanManException";
constexpr const char* kClasseException = "java/lang/Exception";

// Throws a new instance of `classe` with a UTF-8 message (sent as modified
// UTF-8). A pending Error is rethrown instead; any other pending exception
// becomes the new one's cause.
void LancarExcecaoJava(TJNIEnv& env, const char* classe, const std::string& mensagem);
// The message of the exception being handled (call inside a catch block).
std::string MensagemDaFalha(std::exception_ptr falha);

namespace frames {

template <class R>
R Vazio() {
  if constexpr (std::is_void_v<R>) return;
  else return R{};
}

// Runs body(env) and turns every failure into a Java exception of `classe`
// (or, when fixedMessage is set, with that message).
template <class Body>
auto Converter(TJNIEnv& env, const char* classe, const char* fixedMessage, Body&& body) -> decltype(body(env)) {
  using R = decltype(body(env));
  try {
    return body(env);
  } catch (...) {
    LancarExcecaoJava(env, classe, fixedMessage ? std::string(fixedMessage) : MensagemDaFalha(std::current_exception()));
  }
  return Vazio<R>();
}

// innerGetScannerCount, innerGetScanner.
template <class Body>
auto Monitor(JNIEnv* jenv, jobject receiver, Body&& body) -> decltype(body(std::declval<TJNIEnv&>())) {
  using R = decltype(body(std::declval<TJNIEnv&>()));
  try {
    TJNIEnv env(jenv);
    if (env.MonitorEnter(receiver) != 0) {
      LancarExcecaoJava(env, kClasseScanManException, "Threading error");
      return Vazio<R>();
    }
    struct Saida {
      TJNIEnv& env;
      jobject receiver;
      ~Saida() { env.MonitorExit(receiver); }
    } saida{env, receiver};
    std::lock_guard<std::recursive_mutex> trava(TravaScanners());
    return Converter(env, kClasseScanManException, nullptr, body);
  } catch (...) {
    return Vazio<R>();
  }
}

// uninitialize, innerGetID (locked); innerStartCapturing, innerStopCapturing (converting).
template <class Body>
auto Locked(JNIEnv* jenv, Body&& body) -> decltype(body(std::declval<TJNIEnv&>())) {
  using R = decltype(body(std::declval<TJNIEnv&>()));
  try {
    TJNIEnv env(jenv);
    std::lock_guard<std::recursive_mutex> trava(TravaScanners());
    return Converter(env, kClasseScanManException, nullptr, body);
  } catch (...) {
    return Vazio<R>();
  }
}

template <class Body>
auto Converting(JNIEnv* jenv, Body&& body) -> decltype(body(std::declval<TJNIEnv&>())) {
  return Locked(jenv, std::forward<Body>(body));
}

// innerIsCapturing: no wrapper, no JNI call.
template <class Body>
auto BareLocked(Body&& body) -> decltype(body()) {
  using R = decltype(body());
  try {
    std::lock_guard<std::recursive_mutex> trava(TravaScanners());
    return body();
  } catch (...) {
    return Vazio<R>();
  }
}

// loadBMP: every failure is "Wrong file format".
template <class Body>
auto Image(JNIEnv* jenv, Body&& body) -> decltype(body(std::declval<TJNIEnv&>())) {
  using R = decltype(body(std::declval<TJNIEnv&>()));
  try {
    TJNIEnv env(jenv);
    return Converter(env, kClasseException, "Wrong file format", body);
  } catch (...) {
    return Vazio<R>();
  }
}

// saveBMP, innerGetItemCount, innerFillItems.
template <class Body>
auto Plain(JNIEnv* jenv, Body&& body) -> decltype(body(std::declval<TJNIEnv&>())) {
  using R = decltype(body(std::declval<TJNIEnv&>()));
  try {
    TJNIEnv env(jenv);
    return Converter(env, kClasseException, nullptr, body);
  } catch (...) {
    return Vazio<R>();
  }
}

// Natives of classes with an exception class of their own (ardivex.matching,
// FingerMinutiaeRecord): every failure becomes an exception of `classe`.
template <class Body>
auto Own(JNIEnv* jenv, const char* classe, Body&& body) -> decltype(body(std::declval<TJNIEnv&>())) {
  using R = decltype(body(std::declval<TJNIEnv&>()));
  try {
    TJNIEnv env(jenv);
    return Converter(env, classe, nullptr, body);
  } catch (...) {
    return Vazio<R>();
  }
}

// innerCreateExtractor, innerExtract.
template <class Body>
auto Extraction(JNIEnv* jenv, Body&& body) -> decltype(body(std::declval<TJNIEnv&>())) {
  using R = decltype(body(std::declval<TJNIEnv&>()));
  try {
    TJNIEnv env(jenv);
    std::lock_guard<std::recursive_mutex> trava(TravaExtracao());
    return Converter(env, kClasseException, nullptr, body);
  } catch (...) {
    return Vazio<R>();
  }
}

}  // namespace frames
