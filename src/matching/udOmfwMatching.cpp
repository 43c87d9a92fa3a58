// JNI exports of ardivex.matching: NFMatcher and the native gallery behind
// FingerprintBase. Every failure becomes an ardivex.matching.MatchingException.
#include <jni.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "jni/Frames.h"
#include "matching/Gallery.h"
#include "matching/Matcher.h"
#include "support/Formatar.h"

namespace {

constexpr const char* kClasseMatchingException = "ardivex/matching/MatchingException";

template <class Body>
auto Matching(JNIEnv* jenv, Body&& body) -> decltype(body(std::declval<TJNIEnv&>())) {
  using R = decltype(body(std::declval<TJNIEnv&>()));
  try {
    TJNIEnv env(jenv);
    return frames::Converter(env, kClasseMatchingException, nullptr, body);
  } catch (...) {
    return frames::Vazio<R>();
  }
}

// A copy of a Java byte array: the comparison runs without holding the array.
std::vector<uint8_t> Bytes(TJNIEnv& env, jbyteArray array, const char* what) {
  if (!array) throw matching::EMatching(Format("The %s template is null", what));
  const jsize n = env.GetArrayLength(array);
  std::vector<uint8_t> out(static_cast<size_t>(n));
  if (n > 0) {
    env.Env()->GetByteArrayRegion(array, 0, n, reinterpret_cast<jbyte*>(out.data()));
    if (env.ExceptionCheck()) throw matching::EMatching(Format("Cannot read the %s template", what));
  }
  return out;
}

matching::TGallery& Gallery(jlong handle) {
  if (!handle) throw matching::EMatching("The fingerprint base is closed");
  return *reinterpret_cast<matching::TGallery*>(static_cast<intptr_t>(handle));
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_ardivex_matching_NFMatcher_innerVerify(JNIEnv* jenv, jclass, jbyteArray probe,
                                                                             jbyteArray candidate) {
  return Matching(jenv, [&](TJNIEnv& env) -> jint {
    const auto a = Bytes(env, probe, "probe");
    const auto b = Bytes(env, candidate, "candidate");
    return matching::Compare(a.data(), a.size(), b.data(), b.size());
  });
}

extern "C" JNIEXPORT jint JNICALL Java_ardivex_matching_NFMatcher_innerThreshold(JNIEnv*, jclass, jdouble rate) {
  return matching::Threshold(rate);
}

extern "C" JNIEXPORT void JNICALL Java_ardivex_matching_FingerprintBase_innerCheck(JNIEnv* jenv, jclass,
                                                                                  jbyteArray record) {
  Matching(jenv, [&](TJNIEnv& env) {
    const auto a = Bytes(env, record, "enrolled");
    matching::CheckTemplate(a.data(), a.size());
  });
}

extern "C" JNIEXPORT jlong JNICALL Java_ardivex_matching_FingerprintBase_innerCreate(JNIEnv* jenv, jclass) {
  return Matching(jenv, [&](TJNIEnv&) -> jlong {
    return static_cast<jlong>(reinterpret_cast<intptr_t>(new matching::TGallery()));
  });
}

extern "C" JNIEXPORT void JNICALL Java_ardivex_matching_FingerprintBase_innerDestroy(JNIEnv* jenv, jclass, jlong handle) {
  Matching(jenv, [&](TJNIEnv&) { delete reinterpret_cast<matching::TGallery*>(static_cast<intptr_t>(handle)); });
}

extern "C" JNIEXPORT void JNICALL Java_ardivex_matching_FingerprintBase_innerAdd(JNIEnv* jenv, jclass, jlong handle,
                                                                                jlong id, jbyteArray record) {
  Matching(jenv, [&](TJNIEnv& env) {
    const auto a = Bytes(env, record, "enrolled");
    Gallery(handle).Add(id, a.data(), a.size());
  });
}

extern "C" JNIEXPORT jboolean JNICALL Java_ardivex_matching_FingerprintBase_innerRemove(JNIEnv* jenv, jclass,
                                                                                       jlong handle, jlong id) {
  return Matching(jenv, [&](TJNIEnv&) -> jboolean { return Gallery(handle).Remove(id) ? JNI_TRUE : JNI_FALSE; });
}

// The candidates as (id, score) pairs, best first.
extern "C" JNIEXPORT jlongArray JNICALL Java_ardivex_matching_FingerprintBase_innerIdentify(JNIEnv* jenv, jclass,
                                                                                           jlong handle,
                                                                                           jbyteArray record, jint max,
                                                                                           jint least) {
  return Matching(jenv, [&](TJNIEnv& env) -> jlongArray {
    const auto a = Bytes(env, record, "probe");
    const auto found = Gallery(handle).Identify(a.data(), a.size(), max, least);
    std::vector<jlong> pairs;
    pairs.reserve(found.size() * 2);
    for (const auto& c : found) {
      pairs.push_back(c.Id);
      pairs.push_back(c.Score);
    }
    jlongArray out = env.Env()->NewLongArray(static_cast<jsize>(pairs.size()));
    if (!out || env.ExceptionCheck()) throw matching::EMatching("Out of Java memory for the candidates");
    if (!pairs.empty()) env.Env()->SetLongArrayRegion(out, 0, static_cast<jsize>(pairs.size()), pairs.data());
    if (env.ExceptionCheck()) throw matching::EMatching("Cannot return the candidates");
    return out;
  });
}
