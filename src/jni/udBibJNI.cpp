#include "jni/udBibJNI.h"

#include "jni/ModifiedUtf8.h"

TJNIEnv::TJNIEnv(JNIEnv* AEnv) : FEnv(AEnv) {
  FVersion = FEnv->GetVersion();
  FMajorVersion = static_cast<int32_t>(static_cast<uint32_t>(FVersion) >> 16);
  FMinorVersion = FVersion & 0xFFFF;
}

// After a call that may throw, ask the JVM whether it did; callers look at
// the result or at ExceptionCheck() themselves.
#define DL_CHECKED(expr) \
  auto r_ = (expr);      \
  FEnv->ExceptionCheck(); \
  return r_

jclass TJNIEnv::FindClass(const char* name) { DL_CHECKED(FEnv->FindClass(name)); }
jint TJNIEnv::ThrowNew(jclass clazz, const char* message) { return FEnv->ThrowNew(clazz, message); }
jint TJNIEnv::Throw(jthrowable obj) { return FEnv->Throw(obj); }
jthrowable TJNIEnv::ExceptionOccurred() { return FEnv->ExceptionOccurred(); }
void TJNIEnv::ExceptionDescribe() { FEnv->ExceptionDescribe(); }
bool TJNIEnv::ExceptionCheck() { return FEnv->ExceptionCheck() == JNI_TRUE; }
void TJNIEnv::ExceptionClear() { FEnv->ExceptionClear(); }
jobject TJNIEnv::NewGlobalRef(jobject obj) { DL_CHECKED(FEnv->NewGlobalRef(obj)); }
void TJNIEnv::DeleteGlobalRef(jobject obj) { FEnv->DeleteGlobalRef(obj); }
void TJNIEnv::DeleteLocalRef(jobject obj) { FEnv->DeleteLocalRef(obj); }
jclass TJNIEnv::GetObjectClass(jobject obj) { DL_CHECKED(FEnv->GetObjectClass(obj)); }
bool TJNIEnv::IsInstanceOf(jobject o, jclass c) { return FEnv->IsInstanceOf(o, c) == JNI_TRUE; }
bool TJNIEnv::IsAssignableFrom(jclass sub, jclass sup) { return FEnv->IsAssignableFrom(sub, sup) == JNI_TRUE; }
jmethodID TJNIEnv::GetMethodID(jclass c, const char* n, const char* s) { DL_CHECKED(FEnv->GetMethodID(c, n, s)); }
jfieldID TJNIEnv::GetFieldID(jclass c, const char* n, const char* s) { DL_CHECKED(FEnv->GetFieldID(c, n, s)); }
jobject TJNIEnv::GetObjectField(jobject o, jfieldID id) { DL_CHECKED(FEnv->GetObjectField(o, id)); }
jint TJNIEnv::GetIntField(jobject o, jfieldID id) { DL_CHECKED(FEnv->GetIntField(o, id)); }
jlong TJNIEnv::GetLongField(jobject o, jfieldID id) { DL_CHECKED(FEnv->GetLongField(o, id)); }
void TJNIEnv::SetObjectField(jobject o, jfieldID id, jobject v) {
  FEnv->SetObjectField(o, id, v);
  FEnv->ExceptionCheck();
}
void TJNIEnv::SetIntField(jobject o, jfieldID id, jint v) {
  FEnv->SetIntField(o, id, v);
  FEnv->ExceptionCheck();
}
jmethodID TJNIEnv::GetStaticMethodID(jclass c, const char* n, const char* s) {
  DL_CHECKED(FEnv->GetStaticMethodID(c, n, s));
}
jfieldID TJNIEnv::GetStaticFieldID(jclass c, const char* n, const char* s) {
  DL_CHECKED(FEnv->GetStaticFieldID(c, n, s));
}
jobject TJNIEnv::GetStaticObjectField(jclass c, jfieldID id) { DL_CHECKED(FEnv->GetStaticObjectField(c, id)); }
jsize TJNIEnv::GetArrayLength(jarray a) { DL_CHECKED(FEnv->GetArrayLength(a)); }
jobject TJNIEnv::GetObjectArrayElement(jobjectArray a, jsize i) { DL_CHECKED(FEnv->GetObjectArrayElement(a, i)); }
jbyteArray TJNIEnv::NewByteArray(jsize n) { DL_CHECKED(FEnv->NewByteArray(n)); }
jbyte* TJNIEnv::GetByteArrayElements(jbyteArray a, jboolean* c) { DL_CHECKED(FEnv->GetByteArrayElements(a, c)); }
void TJNIEnv::ReleaseByteArrayElements(jbyteArray a, jbyte* e, jint mode) { FEnv->ReleaseByteArrayElements(a, e, mode); }
void TJNIEnv::SetByteArrayRegion(jbyteArray a, jsize start, jsize len, const jbyte* buf) {
  FEnv->SetByteArrayRegion(a, start, len, buf);
  FEnv->ExceptionCheck();
}
jint TJNIEnv::MonitorEnter(jobject o) { DL_CHECKED(FEnv->MonitorEnter(o)); }
jint TJNIEnv::MonitorExit(jobject o) { DL_CHECKED(FEnv->MonitorExit(o)); }
jint TJNIEnv::GetVersion() { return FEnv->GetVersion(); }
jint TJNIEnv::PushLocalFrame(jint capacity) { DL_CHECKED(FEnv->PushLocalFrame(capacity)); }
jobject TJNIEnv::PopLocalFrame(jobject result) { return FEnv->PopLocalFrame(result); }

jobject TJNIEnv::NewObject(jclass c, jmethodID id, const TArgs& args) {
  jvalue* v = ArgsToJValues(args, static_cast<int>(args.size()) - 1);
  DL_CHECKED(FEnv->NewObjectA(c, id, v));
}
jobject TJNIEnv::CallObjectMethod(jobject o, jmethodID id, const TArgs& args) {
  jvalue* v = ArgsToJValues(args, static_cast<int>(args.size()) - 1);
  DL_CHECKED(FEnv->CallObjectMethodA(o, id, v));
}
jint TJNIEnv::CallIntMethod(jobject o, jmethodID id, const TArgs& args) {
  jvalue* v = ArgsToJValues(args, static_cast<int>(args.size()) - 1);
  DL_CHECKED(FEnv->CallIntMethodA(o, id, v));
}
void TJNIEnv::CallVoidMethod(jobject o, jmethodID id, const TArgs& args) {
  jvalue* v = ArgsToJValues(args, static_cast<int>(args.size()) - 1);
  FEnv->CallVoidMethodA(o, id, v);
  FEnv->ExceptionCheck();
}
jobject TJNIEnv::CallStaticObjectMethod(jclass c, jmethodID id, const TArgs& args) {
  jvalue* v = ArgsToJValues(args, static_cast<int>(args.size()) - 1);
  DL_CHECKED(FEnv->CallStaticObjectMethodA(c, id, v));
}
void TJNIEnv::CallStaticVoidMethod(jclass c, jmethodID id, const TArgs& args) {
  jvalue* v = ArgsToJValues(args, static_cast<int>(args.size()) - 1);
  FEnv->CallStaticVoidMethodA(c, id, v);
  FEnv->ExceptionCheck();
}
#undef DL_CHECKED

void TJNIEnv::ClearLookupFailure() {
  jthrowable pendente = FEnv->ExceptionOccurred();
  if (!pendente) return;
  FEnv->ExceptionClear();
  // Both NoSuchFieldError and NoSuchMethodError derive from it.
  jclass busca = FEnv->FindClass("java/lang/IncompatibleClassChangeError");
  if (!busca) {
    FEnv->ExceptionClear();
    FEnv->Throw(pendente);
  } else {
    if (FEnv->IsInstanceOf(pendente, busca) != JNI_TRUE) FEnv->Throw(pendente);
    FEnv->DeleteLocalRef(busca);
  }
  FEnv->DeleteLocalRef(pendente);
}

jstring TJNIEnv::StringToJString(const std::string& texto) {
  jstring s = FEnv->NewStringUTF(Utf8ParaUtf8Modificado(texto).c_str());
  FEnv->ExceptionCheck();
  return s;
}

jstring TJNIEnv::StringToUnicodeJString(const std::u16string& texto) {
  jstring s = FEnv->NewString(reinterpret_cast<const jchar*>(texto.c_str()), static_cast<jsize>(std::char_traits<char16_t>::length(texto.c_str())));
  FEnv->ExceptionCheck();
  return s;
}

std::string TJNIEnv::JStringToString(jstring JStr) {
  if (!JStr) return {};
  const char* chars = FEnv->GetStringUTFChars(JStr, nullptr);
  FEnv->ExceptionCheck();
  if (!chars) return {};
  std::string r = Utf8ModificadoParaUtf8(chars);
  FEnv->ReleaseStringUTFChars(JStr, chars);
  return r;
}

jvalue* TJNIEnv::ArgsToJValues(const TArgs& args, int lastIndex) {
  size_t n = lastIndex < 0 ? 0 : static_cast<size_t>(lastIndex) + 1;
  if (FConvertedArgs.size() != n) FConvertedArgs.resize(n);
  for (size_t i = 0; i < n && i < args.size(); ++i) {
    jvalue& v = FConvertedArgs[i];
    std::visit(
        [&](const auto& a) {
          using T = std::decay_t<decltype(a)>;
          if constexpr (std::is_same_v<T, int32_t>) v.i = a;
          else if constexpr (std::is_same_v<T, bool>) v.z = a ? JNI_TRUE : JNI_FALSE;
          else if constexpr (std::is_same_v<T, double>) v.d = a;
          else if constexpr (std::is_same_v<T, int64_t>) v.j = a;
          else if constexpr (std::is_same_v<T, jobject>) v.l = a;
          else if constexpr (std::is_same_v<T, char16_t>) v.c = a;
          else if constexpr (std::is_same_v<T, TArgTexto8>) v.l = StringToJString(a.texto);
          else if constexpr (std::is_same_v<T, std::u16string>) v.l = StringToUnicodeJString(a);
          else throw EJNIError("Unsupported variant argument");
        },
        args[i]);
  }
  return FConvertedArgs.empty() ? nullptr : FConvertedArgs.data();
}
