// The library's version, so that the Java classes can tell whether the
// native library they loaded is the one they were built with.
#include <jni.h>

#include "dl_version.h"
#include "jni/Frames.h"

extern "C" JNIEXPORT jstring JNICALL Java_ardivex_NativeLibrary_innerGetVersion(JNIEnv* jenv, jclass) {
  return frames::Plain(jenv, [](TJNIEnv& e) -> jstring { return e.StringToJString(DL_VERSION_TEXT); });
}
