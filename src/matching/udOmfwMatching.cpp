// JNI exports of ardivex.matching: NFMatcher and the native gallery behind
// FingerprintBase. Every failure becomes an ardivex.matching.MatchingException.
#include <jni.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "jni/Frames.h"
#include "jni/udBibRotinasJni.h"
#include "matching/Gallery.h"
#include "matching/Matcher.h"
#include "support/Formatar.h"

namespace {

constexpr const char* kClasseMatchingException = "ardivex/matching/MatchingException";

template <class Body>
auto Matching(JNIEnv* jenv, Body&& body) -> decltype(body(std::declval<TJNIEnv&>())) {
  return frames::Own(jenv, kClasseMatchingException, std::forward<Body>(body));
}

// A copy of a Java byte array: the comparison runs without holding the array.
std::vector<uint8_t> Bytes(TJNIEnv& env, jbyteArray array, const char* what) {
  if (!array) throw matching::EMatching(Format("The %s template is null", what));
  try {
    return CopiarArrayBytes(&env, array);
  } catch (const EJNIError&) {
    throw matching::EMatching(Format("Cannot read the %s template", what));
  }
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
    matching::CheckTemplate(a.data(), a.size(), "The probe");
    matching::CheckTemplate(b.data(), b.size(), "The candidate");
    return matching::Compare(a.data(), a.size(), b.data(), b.size());
  });
}

// The minutia count of a template; MatchingException naming the fault of bytes that are not one.
extern "C" JNIEXPORT jint JNICALL Java_ardivex_matching_NFMatcher_innerCheck(JNIEnv* jenv, jclass, jbyteArray record) {
  return Matching(jenv, [&](TJNIEnv& env) -> jint {
    const auto a = Bytes(env, record, "checked");
    return matching::CheckTemplate(a.data(), a.size());
  });
}

extern "C" JNIEXPORT jint JNICALL Java_ardivex_matching_NFMatcher_innerThreshold(JNIEnv*, jclass, jdouble rate) {
  return matching::Threshold(rate);
}

// The prepared block of a template to enroll, refused when it has fewer than
// `least` minutiae.
extern "C" JNIEXPORT jbyteArray JNICALL Java_ardivex_matching_FingerprintBase_innerPrepare(JNIEnv* jenv, jclass,
                                                                                          jbyteArray record,
                                                                                          jint least) {
  return Matching(jenv, [&](TJNIEnv& env) -> jbyteArray {
    const auto a = Bytes(env, record, "enrolled");
    matching::CheckTemplate(a.data(), a.size(), "The template to enroll");
    std::vector<uint8_t> block;
    matching::PrepareTemplate(a.data(), a.size(), block);
    const int count = reinterpret_cast<const matching::TBlockHeader*>(block.data())->Count;
    if (count < least)
      throw matching::EMatching(Format("The template has %d %s: the matcher needs at least %d to find a fingerprint", count,
                                       count == 1 ? "minutia" : "minutiae", static_cast<int>(least)));
    jbyteArray out = env.Env()->NewByteArray(static_cast<jsize>(block.size()));
    if (!out || env.ExceptionCheck()) throw matching::EMatching("Out of Java memory for the prepared template");
    env.Env()->SetByteArrayRegion(out, 0, static_cast<jsize>(block.size()), reinterpret_cast<const jbyte*>(block.data()));
    if (env.ExceptionCheck()) throw matching::EMatching("Cannot return the prepared template");
    return out;
  });
}

extern "C" JNIEXPORT jint JNICALL Java_ardivex_matching_FingerprintBase_innerLeastMinutiae(JNIEnv*, jclass) {
  return matching::LeastUsableMinutiae();
}

extern "C" JNIEXPORT jlong JNICALL Java_ardivex_matching_FingerprintBase_innerCreate(JNIEnv* jenv, jclass) {
  return Matching(jenv, [&](TJNIEnv&) -> jlong {
    return static_cast<jlong>(reinterpret_cast<intptr_t>(new matching::TGallery()));
  });
}

extern "C" JNIEXPORT void JNICALL Java_ardivex_matching_FingerprintBase_innerDestroy(JNIEnv* jenv, jclass, jlong handle) {
  Matching(jenv, [&](TJNIEnv&) { delete reinterpret_cast<matching::TGallery*>(static_cast<intptr_t>(handle)); });
}

// Templates whose filter key the gallery still makes; 0 for a gallery too
// small to be filtered (searched in full by design).
extern "C" JNIEXPORT jlong JNICALL Java_ardivex_matching_FingerprintBase_innerKeysPending(JNIEnv* jenv, jclass,
                                                                                         jlong handle) {
  return Matching(jenv, [&](TJNIEnv&) -> jlong {
    const matching::TGallery& g = Gallery(handle);
    return g.Count() >= matching::SearchTuning().FilterFrom ? static_cast<jlong>(g.KeysPending()) : 0;
  });
}

// Adds stored templates (a base's opening) under their ids, prepared on every
// core; returns for each whether it is in: false for bytes that are not a
// template (null among them) and for an id already present.
extern "C" JNIEXPORT jbooleanArray JNICALL Java_ardivex_matching_FingerprintBase_innerAddAll(JNIEnv* jenv, jclass,
                                                                                           jlong handle, jlongArray ids,
                                                                                           jobjectArray templates) {
  return Matching(jenv, [&](TJNIEnv& env) -> jbooleanArray {
    if (!ids || !templates) throw matching::EMatching("The templates are null");
    const jsize n = env.GetArrayLength(ids);
    if (env.ExceptionCheck() || env.GetArrayLength(templates) != n) throw matching::EMatching("The templates do not agree");
    matching::TGallery& gallery = Gallery(handle);
    std::vector<jlong> id(static_cast<size_t>(n));
    if (n > 0) env.Env()->GetLongArrayRegion(ids, 0, n, id.data());
    if (env.ExceptionCheck()) throw matching::EMatching("Cannot read the ids");
    std::vector<std::vector<uint8_t>> copies(static_cast<size_t>(n));
    std::vector<matching::TGallery::TStored> stored(static_cast<size_t>(n));
    for (jsize k = 0; k < n; ++k) {
      jbyteArray t = static_cast<jbyteArray>(env.Env()->GetObjectArrayElement(templates, k));
      if (env.ExceptionCheck()) throw matching::EMatching("Cannot read the templates");
      if (t) {
        copies[k] = Bytes(env, t, "stored");
        env.Env()->DeleteLocalRef(t);
      }
      // A null template is as an empty one: not a template, left out.
      stored[k] = {id[k], copies[k].data(), copies[k].size()};
    }
    std::vector<uint8_t> added;
    gallery.AddAll(stored.data(), stored.size(), added);
    static_assert(sizeof(jboolean) == sizeof(uint8_t), "the flags are handed to Java as they are");
    jbooleanArray result = env.Env()->NewBooleanArray(n);
    if (!result || env.ExceptionCheck()) throw matching::EMatching("Out of Java memory for the added templates");
    if (n > 0) env.Env()->SetBooleanArrayRegion(result, 0, n, reinterpret_cast<const jboolean*>(added.data()));
    if (env.ExceptionCheck()) throw matching::EMatching("Cannot return the added templates");
    return result;
  });
}

// Applies changes ids[progress[0]..] in their order: blocks[k] (from
// innerPrepare) is added under ids[k], or ids[k] removed when blocks[k] is
// null. progress[0] then receives the index of the first change not made:
// ids.length, or the change whose failure is thrown.
extern "C" JNIEXPORT void JNICALL Java_ardivex_matching_FingerprintBase_innerApply(JNIEnv* jenv, jclass, jlong handle,
                                                                                  jlongArray ids, jobjectArray blocks,
                                                                                  jintArray progress) {
  Matching(jenv, [&](TJNIEnv& env) {
    if (!ids || !blocks || !progress) throw matching::EMatching("The changes are null");
    const jsize n = env.GetArrayLength(ids);
    jint from = -1;
    if (env.GetArrayLength(progress) >= 1) env.Env()->GetIntArrayRegion(progress, 0, 1, &from);
    if (env.ExceptionCheck() || env.GetArrayLength(blocks) != n || from < 0 || from > n)
      throw matching::EMatching("The changes do not agree");
    jint next = from;
    struct TReport {
      TJNIEnv& Env;
      jintArray Progress;
      const jint& Next;
      ~TReport() {
        if (!Env.ExceptionCheck()) Env.Env()->SetIntArrayRegion(Progress, 0, 1, &Next);
      }
    } report{env, progress, next};
    matching::TGallery& gallery = Gallery(handle);
    std::vector<jlong> id(static_cast<size_t>(n));
    if (n > 0) env.Env()->GetLongArrayRegion(ids, 0, n, id.data());
    if (env.ExceptionCheck()) throw matching::EMatching("Cannot read the changes");
    // Copied out of Java first: the gallery is held exclusively only while it
    // changes. A block that is not one of innerPrepare's ends the batch there.
    std::vector<std::vector<uint8_t>> copies(static_cast<size_t>(n));
    std::vector<matching::TChange> changes;
    changes.reserve(static_cast<size_t>(n - from));
    jsize bad = n;
    std::string why;
    for (jsize k = from; k < n && bad == n; ++k) {
      jbyteArray block = static_cast<jbyteArray>(env.Env()->GetObjectArrayElement(blocks, k));
      if (env.ExceptionCheck()) throw matching::EMatching("Cannot read the changes");
      const uint8_t* data = nullptr;
      if (block) {
        try {
          copies[k] = Bytes(env, block, "prepared");
          matching::CheckBlock(copies[k].data(), copies[k].size());
          data = copies[k].data();
        } catch (const std::exception& e) {
          bad = k;
          why = e.what();
        }
        env.Env()->DeleteLocalRef(block);
        if (bad != n) break;
      }
      changes.push_back(matching::TChange{id[k], data});
    }
    size_t applied = 0;
    try {
      gallery.Apply(changes.data(), changes.size(), applied);
    } catch (...) {
      next = static_cast<jint>(from + applied);
      throw;
    }
    if (bad != n) {
      next = bad;
      throw matching::EMatching(why);
    }
    next = n;
  });
}

// The candidates as (id, score) pairs, best first.
extern "C" JNIEXPORT jlongArray JNICALL Java_ardivex_matching_FingerprintBase_innerIdentify(JNIEnv* jenv, jclass,
                                                                                           jlong handle,
                                                                                           jbyteArray record, jint max,
                                                                                           jint least) {
  return Matching(jenv, [&](TJNIEnv& env) -> jlongArray {
    const auto a = Bytes(env, record, "probe");
    matching::CheckTemplate(a.data(), a.size(), "The probe");
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
