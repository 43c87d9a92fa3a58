// Calls a native method through its function pointer with the C types its
// signature gives, as a JVM's call stub does: every reference travels as a
// jobject, whatever narrower type (jclass, jbyteArray...) the library declares.
// This file is built without the sanitizer's function-type check, which would
// object to exactly that.
#include <utility>

#include "FakeJvm.h"

namespace jnihost {
namespace {

constexpr size_t kMaxParams = 4;

template <class T>
T Pick(const jvalue& v) {
  if constexpr (std::is_same_v<T, jint>) return v.i;
  else if constexpr (std::is_same_v<T, jlong>) return v.j;
  else if constexpr (std::is_same_v<T, jboolean>) return v.z;
  else if constexpr (std::is_same_v<T, jdouble>) return v.d;
  else return v.l;
}

template <class R, class... A, size_t... I>
void Invoke(void* fn, JNIEnv* env, jobject recv, const jvalue* args, jvalue& out, std::index_sequence<I...>) {
  using Fn = R(JNICALL*)(JNIEnv*, jobject, A...);
  auto f = reinterpret_cast<Fn>(fn);
  if constexpr (std::is_void_v<R>) {
    f(env, recv, Pick<A>(args[I])...);
  } else {
    R r = f(env, recv, Pick<A>(args[I])...);
    if constexpr (std::is_same_v<R, jint>) out.i = r;
    else if constexpr (std::is_same_v<R, jlong>) out.j = r;
    else if constexpr (std::is_same_v<R, jboolean>) out.z = r;
    else out.l = r;
  }
}

// Builds the parameter list one descriptor at a time.
template <class R, class... A>
bool Dispatch(const std::vector<std::string>& params, size_t i, void* fn, JNIEnv* env, jobject recv,
              const jvalue* args, jvalue& out) {
  if (i == params.size()) {
    Invoke<R, A...>(fn, env, recv, args, out, std::index_sequence_for<A...>{});
    return true;
  }
  if constexpr (sizeof...(A) < kMaxParams) {
    switch (params[i][0]) {
      case 'I': return Dispatch<R, A..., jint>(params, i + 1, fn, env, recv, args, out);
      case 'J': return Dispatch<R, A..., jlong>(params, i + 1, fn, env, recv, args, out);
      case 'D': return Dispatch<R, A..., jdouble>(params, i + 1, fn, env, recv, args, out);
      case 'L': case '[': return Dispatch<R, A..., jobject>(params, i + 1, fn, env, recv, args, out);
      default: return false;
    }
  }
  return false;
}

}  // namespace

bool InvokeNative(void* fn, JNIEnv* env, jobject receiver, const Method& m, const jvalue* args, jvalue& result) {
  switch (m.ret[0]) {
    case 'V': return Dispatch<void>(m.params, 0, fn, env, receiver, args, result);
    case 'I': return Dispatch<jint>(m.params, 0, fn, env, receiver, args, result);
    case 'J': return Dispatch<jlong>(m.params, 0, fn, env, receiver, args, result);
    case 'Z': return Dispatch<jboolean>(m.params, 0, fn, env, receiver, args, result);
    case 'L': case '[': return Dispatch<jobject>(m.params, 0, fn, env, receiver, args, result);
    default: return false;
  }
}

}  // namespace jnihost
