// Natives of ardivex.jnitest.Natives: each one drives one JNI helper inside the
// plain frame, so that helper failures reach Java as java.lang.Exception.
#include <jni.h>

#include <memory>
#include <string>
#include <vector>

#include "jni/Frames.h"
#include "jni/ModifiedUtf8.h"
#include "jni/udBibRotinasJni.h"

namespace {
std::string Texto(TJNIEnv& env, jstring s) { return env.JStringToString(s); }
}  // namespace

#define DL_NATIVE(ret, name) extern "C" JNIEXPORT ret JNICALL Java_ardivex_jnitest_Natives_##name

DL_NATIVE(void, defField)(JNIEnv* e, jclass, jobject target, jstring field, jobject value, jstring cls) {
  frames::Plain(e, [&](TJNIEnv& env) {
    TAcessoJNI a(&env, target);
    a.DefCampoObjeto(Texto(env, field), value, Texto(env, cls));
  });
}

DL_NATIVE(jobject, getField)(JNIEnv* e, jclass, jobject target, jstring field, jstring cls) {
  return frames::Plain(e, [&](TJNIEnv& env) {
    TAcessoJNI a(&env, target);
    return a.PegCampoObjeto(Texto(env, field), Texto(env, cls));
  });
}

DL_NATIVE(jint, getInt)(JNIEnv* e, jclass, jobject target, jstring field) {
  return frames::Plain(e, [&](TJNIEnv& env) { return TAcessoJNI(&env, target).GetCampoInt(Texto(env, field)); });
}

DL_NATIVE(void, setInt)(JNIEnv* e, jclass, jobject target, jstring field, jint v) {
  frames::Plain(e, [&](TJNIEnv& env) { TAcessoJNI(&env, target).SetCampoInt(Texto(env, field), v); });
}

DL_NATIVE(jlong, getLong)(JNIEnv* e, jclass, jobject target, jstring field) {
  return frames::Plain(e, [&](TJNIEnv& env) { return TAcessoJNI(&env, target).GetCampoLong(Texto(env, field)); });
}

DL_NATIVE(jobject, newWithInts)(JNIEnv* e, jclass, jclass cls, jint a, jint b) {
  return frames::Plain(e, [&](TJNIEnv& env) {
    return TAcessoJNI::Liberar(CriarObjetoJava(&env, cls, "II", {int32_t{a}, int32_t{b}}));
  });
}

DL_NATIVE(jobject, newWithDouble)(JNIEnv* e, jclass, jclass cls, jdouble d) {
  return frames::Plain(e, [&](TJNIEnv& env) { return TAcessoJNI::Liberar(CriarObjetoJava(&env, cls, "D", {d})); });
}

// Every argument kind in one call of allKinds(int, boolean, double, long,
// Object, char, String, String).
DL_NATIVE(void, callAllKinds)(JNIEnv* e, jclass, jobject target, jobject ref, jstring text8, jstring text16) {
  frames::Plain(e, [&](TJNIEnv& env) {
    TArgs args{int32_t{-7},
               true,
               2.5,
               int64_t{1} << 40,
               ref,
               char16_t{u'\u00E7'},
               TArgTexto8{Texto(env, text8)},
               Utf8ParaUtf16(Texto(env, text16))};
    ChamarMetodoVoid(&env, target, "allKinds", "IZDJLjava/lang/Object;CLjava/lang/String;Ljava/lang/String;", args);
  });
}

DL_NATIVE(void, callVoid)(JNIEnv* e, jclass, jobject target, jstring method) {
  frames::Plain(e, [&](TJNIEnv& env) { ChamarMetodoVoid(&env, target, Texto(env, method), "", {}); });
}

DL_NATIVE(void, accessorCallVoid)(JNIEnv* e, jclass, jobject target, jstring method, jint v) {
  frames::Plain(e, [&](TJNIEnv& env) { TAcessoJNI(&env, target).ChamarVoid(Texto(env, method), "I", {int32_t{v}}); });
}

DL_NATIVE(jstring, callString)(JNIEnv* e, jclass, jobject target, jstring method, jstring arg) {
  return frames::Plain(e, [&](TJNIEnv& env) {
    std::string r = ChamarMetodoString(&env, target, Texto(env, method), "Ljava/lang/String;",
                                       {TArgTexto8{Texto(env, arg)}});
    return env.StringToJString(r);
  });
}

DL_NATIVE(jint, ordinal)(JNIEnv* e, jclass, jobject value) {
  return frames::Plain(e, [&](TJNIEnv& env) { return PegOrdinal(&env, value); });
}

DL_NATIVE(jobject, enumValue)(JNIEnv* e, jclass, jclass cls, jstring name) {
  return frames::Plain(e, [&](TJNIEnv& env) { return PegValorEnum(&env, cls, Texto(env, name)); });
}

DL_NATIVE(jbyteArray, bytes)(JNIEnv* e, jclass, jint n) {
  return frames::Plain(e, [&](TJNIEnv& env) {
    std::vector<uint8_t> b(static_cast<size_t>(n > 0 ? n : 0));
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 3);
    return CriarArrayBytes(&env, b.data(), n);
  });
}

// The library's own UTF-8 bytes of a Java string, and back.
DL_NATIVE(jbyteArray, utf8Of)(JNIEnv* e, jclass, jstring s) {
  return frames::Plain(e, [&](TJNIEnv& env) {
    std::string t = Texto(env, s);
    return CriarArrayBytes(&env, t.data(), static_cast<int32_t>(t.size()));
  });
}

DL_NATIVE(jstring, fromUtf8)(JNIEnv* e, jclass, jbyteArray b) {
  return frames::Plain(e, [&](TJNIEnv& env) {
    jsize n = env.GetArrayLength(b);
    std::string t(static_cast<size_t>(n), '\0');
    jbyte* p = env.GetByteArrayElements(b, nullptr);
    if (!p) throw EJNIError("no bytes");
    std::copy(p, p + n, t.begin());
    env.ReleaseByteArrayElements(b, p, JNI_ABORT);
    return env.StringToJString(t);
  });
}

DL_NATIVE(jstring, fromUtf16)(JNIEnv* e, jclass, jstring s) {
  return frames::Plain(e, [&](TJNIEnv& env) { return env.StringToUnicodeJString(Utf8ParaUtf16(Texto(env, s))); });
}

DL_NATIVE(jstring, fromNullString)(JNIEnv* e, jclass) {
  return frames::Plain(e, [&](TJNIEnv& env) { return env.StringToJString("[" + env.JStringToString(nullptr) + "]"); });
}

DL_NATIVE(void, fail)(JNIEnv* e, jclass, jstring message) {
  frames::Plain(e, [&](TJNIEnv& env) { throw EJNIError(Texto(env, message)); });
}

// ArgsToJValues: an unsupported kind fails after converting what precedes it,
// and last index -1 gives an empty array. Returns the value converted before
// the failure when both hold.
DL_NATIVE(jint, convertBeforeUnsupported)(JNIEnv* e, jclass) {
  return frames::Plain(e, [&](TJNIEnv& env) -> jint {
    TArgs args{int32_t{41}, TArgSemSuporte{}};
    try {
      env.ArgsToJValues(args, 1);
    } catch (const EJNIError& err) {
      if (std::string(err.what()) != "Unsupported variant argument") throw;
      jint first = env.ConvertedArgs()[0].i;
      jvalue* none = env.ArgsToJValues({}, -1);
      return static_cast<jint>(env.ConvertedArgs().size()) * 1000 + first + (none ? 100000 : 0);
    }
    return -1;
  });
}

DL_NATIVE(void, unsupportedArgument)(JNIEnv* e, jclass, jobject target) {
  frames::Plain(e, [&](TJNIEnv& env) { ChamarMetodoVoid(&env, target, "takesInt", "I", {TArgSemSuporte{}}); });
}

DL_NATIVE(jint, version)(JNIEnv* e, jclass) {
  return frames::Plain(e, [&](TJNIEnv& env) -> jint {
    if (env.MajorVersion() != (env.Version() >> 16) || env.MinorVersion() != (env.Version() & 0xFFFF)) return -1;
    return env.Version();
  });
}
