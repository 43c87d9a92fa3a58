// TJNIEnv: a thin wrapper around one thread's JNIEnv. It calls the JNI
// function table, converts strings, and turns typed argument lists into jvalue
// arrays. Every call that may raise a Java exception is followed by an
// exception check, so that the JVM's checked mode sees no unchecked call.
#pragma once
#include <jni.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "support/Excecoes.h"

class EJNIError : public Exception {
 public:
  using Exception::Exception;
};

// An 8-bit (UTF-8) text argument, passed to Java as a new String.
struct TArgTexto8 {
  std::string texto;
};
// An argument kind that has no JNI conversion (raises "Unsupported variant argument").
struct TArgSemSuporte {};

using TValorArg =
    std::variant<int32_t, bool, double, int64_t, jobject, char16_t, TArgTexto8, std::u16string, TArgSemSuporte>;
using TArgs = std::vector<TValorArg>;

class TJNIEnv {
 public:
  explicit TJNIEnv(JNIEnv* AEnv);
  TJNIEnv(const TJNIEnv&) = delete;
  TJNIEnv& operator=(const TJNIEnv&) = delete;

  JNIEnv* Env() const { return FEnv; }
  int32_t MajorVersion() const { return FMajorVersion; }
  int32_t MinorVersion() const { return FMinorVersion; }
  int32_t Version() const { return FVersion; }

  jclass FindClass(const char* name);
  jint ThrowNew(jclass clazz, const char* message);
  jint Throw(jthrowable obj);
  // The pending exception (a new local reference), or null.
  jthrowable ExceptionOccurred();
  void ExceptionDescribe();
  bool ExceptionCheck();
  void ExceptionClear();
  jobject NewGlobalRef(jobject obj);
  void DeleteGlobalRef(jobject obj);
  void DeleteLocalRef(jobject obj);
  jclass GetObjectClass(jobject obj);
  bool IsInstanceOf(jobject obj, jclass clazz);
  bool IsAssignableFrom(jclass sub, jclass sup);
  jmethodID GetMethodID(jclass clazz, const char* name, const char* sig);
  jfieldID GetFieldID(jclass clazz, const char* name, const char* sig);
  jobject GetObjectField(jobject obj, jfieldID id);
  jint GetIntField(jobject obj, jfieldID id);
  jlong GetLongField(jobject obj, jfieldID id);
  void SetObjectField(jobject obj, jfieldID id, jobject value);
  void SetIntField(jobject obj, jfieldID id, jint value);
  jmethodID GetStaticMethodID(jclass clazz, const char* name, const char* sig);
  jfieldID GetStaticFieldID(jclass clazz, const char* name, const char* sig);
  jobject GetStaticObjectField(jclass clazz, jfieldID id);
  jsize GetArrayLength(jarray array);
  jobject GetObjectArrayElement(jobjectArray array, jsize index);
  jbyteArray NewByteArray(jsize length);
  jbyte* GetByteArrayElements(jbyteArray array, jboolean* isCopy);
  void ReleaseByteArrayElements(jbyteArray array, jbyte* elems, jint mode);
  void SetByteArrayRegion(jbyteArray array, jsize start, jsize len, const jbyte* buf);
  jint MonitorEnter(jobject obj);
  jint MonitorExit(jobject obj);
  jint GetVersion();
  jint PushLocalFrame(jint capacity);
  jobject PopLocalFrame(jobject result);

  jobject NewObject(jclass clazz, jmethodID id, const TArgs& args);
  jobject CallObjectMethod(jobject obj, jmethodID id, const TArgs& args);
  jint CallIntMethod(jobject obj, jmethodID id, const TArgs& args);
  void CallVoidMethod(jobject obj, jmethodID id, const TArgs& args);
  jobject CallStaticObjectMethod(jclass clazz, jmethodID id, const TArgs& args);
  void CallStaticVoidMethod(jclass clazz, jmethodID id, const TArgs& args);

  // After a member lookup that returned null: clears the NoSuchFieldError or
  // NoSuchMethodError it raised, because the caller reports the missing member
  // in its own words. Any other pending exception (an OutOfMemoryError, an
  // initializer that threw) stays pending.
  void ClearLookupFailure();

  // NewStringUTF of a UTF-8 text (converted to modified UTF-8).
  jstring StringToJString(const std::string& texto);
  // NewString of a UTF-16 text.
  jstring StringToUnicodeJString(const std::u16string& texto);
  // "" for a null reference or a null result of GetStringUTFChars.
  std::string JStringToString(jstring JStr);

  // Converts args[0..lastIndex] into FConvertedArgs and returns it.
  jvalue* ArgsToJValues(const TArgs& args, int lastIndex);
  const std::vector<jvalue>& ConvertedArgs() const { return FConvertedArgs; }

 private:
  JNIEnv* FEnv;
  int32_t FMajorVersion = 0;
  int32_t FMinorVersion = 0;
  int32_t FVersion = 0;
  std::vector<jvalue> FConvertedArgs;
};
