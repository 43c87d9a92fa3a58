// The JNI function table and the invocation interface of the fake VM. Each
// function checks its environment, its references, IDs and signatures before
// it acts, as the JVM's checked mode does; a misuse is recorded and the
// function then does nothing and returns 0 or null.
//
// Two exception rules are enforced:
//  - with a Java exception pending, only the functions that JNI
//    allows (the exception functions, the Release and Delete functions,
//    MonitorExit, PushLocalFrame, PopLocalFrame) may be called;
//  - after a function whose result cannot tell that an exception was thrown
//    (the Call functions, the region copies, Get/SetObjectArrayElement), the
//    next call other than those allowed ones must be ExceptionCheck or
//    ExceptionOccurred (or ExceptionClear / ExceptionDescribe).
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "FakeJvm.h"

namespace jnihost {
namespace {

enum : unsigned { kAllowPending = 1, kClearsCheck = 2, kSetsCheck = 4, kCritical = 8 };

// The frame of one JNI function: the VM lock, the calling thread, the checks.
struct Scope {
  FakeJvm& jvm;
  std::unique_lock<std::mutex> lock;
  ThreadState* t = nullptr;
  const char* fn;
  unsigned flags;
  bool ok = false;  // false: the call is refused and returns 0 / null

  Scope(JNIEnv* env, const char* name, unsigned fl)
      : jvm(*FakeJvm::Instance()), lock(jvm.mu), fn(name), flags(fl) {
    if (!env || !jvm.envSet.count(env)) {
      V("called with a JNIEnv that this VM never gave out");
      return;
    }
    t = reinterpret_cast<EnvBox*>(env)->thread;
    if (!t->attached) {
      V("called with the JNIEnv of the detached thread " + t->name);
      return;
    }
    if (t->id != std::this_thread::get_id()) {
      V("called with the JNIEnv of thread " + t->name + " on another thread");
      return;
    }
    if (jvm.unloaded) V("called after JNI_OnUnload");
    if (t->criticals && !(fl & kCritical)) V("called inside a Get*Critical region");
    if (!(fl & kAllowPending)) {
      if (t->pending) V("called while the exception " + t->pending->klass->name + " is pending");
      else if (!t->mustCheck.empty()) V("called without checking for an exception after " + t->mustCheck);
      t->mustCheck.clear();
    }
    if (fl & kClearsCheck) t->mustCheck.clear();
    ok = true;
  }
  ~Scope() {
    if (ok && (flags & kSetsCheck)) t->mustCheck = fn;
  }
  void V(const std::string& what) { jvm.Violation(std::string(fn) + ": " + what); }
  // A misuse that makes the call do nothing.
  void Refuse(const std::string& what) {
    V(what);
    ok = false;
  }
};

std::string Dotted(std::string s) {
  for (char& c : s)
    if (c == '/') c = '.';
  return s;
}

bool IsSub(FakeJvm& jvm, Klass* a, Klass* b) {
  if (!a || !b) return false;
  if (a == b) return true;
  if (a->IsArray() && b->IsArray()) {
    char ca = a->component[0], cb = b->component[0];
    if ((ca == 'L' || ca == '[') && (cb == 'L' || cb == '['))
      return IsSub(jvm, jvm.ClassOfDescriptor(a->component), jvm.ClassOfDescriptor(b->component));
    return false;
  }
  for (Klass* k = a->super; k; k = k->super)
    if (k == b) return true;
  return false;
}

Object* Obj(Scope& s, jobject h, const std::string& what, bool allowNull = true) {
  if (!s.ok) return nullptr;
  if (!h) {
    if (!allowNull) s.Refuse(what + " is null");
    return nullptr;
  }
  Ref* r = s.jvm.RefOf(h);
  if (!r) {
    s.Refuse(what + " is not a reference made by this VM");
    return nullptr;
  }
  if (!r->live) {
    s.Refuse(what + " is a deleted reference, or a local reference of a frame that is gone");
    return nullptr;
  }
  if (r->kind == Ref::Local && r->thread != s.t) {
    s.Refuse(what + " is a local reference of thread " + r->thread->name);
    return nullptr;
  }
  return r->obj;
}

Klass* Cls(Scope& s, jclass c, const std::string& what) {
  Object* o = Obj(s, c, what, false);
  if (!o) return nullptr;
  if (!o->mirrorOf) {
    s.Refuse(what + " is a " + o->klass->name + ", not a class object");
    return nullptr;
  }
  return o->mirrorOf;
}

bool TypeMatches(char want, const std::string& desc) {
  return want == 'L' ? (desc[0] == 'L' || desc[0] == '[') : desc[0] == want;
}

bool CheckText(Scope& s, const char* text, const std::string& what, std::u16string* out = nullptr) {
  if (!s.ok) return false;
  if (!text) {
    s.Refuse(what + " is null");
    return false;
  }
  std::u16string tmp;
  if (!DecodeModifiedUtf8(text, out ? *out : tmp)) {
    s.Refuse(what + " is not modified UTF-8");
    return false;
  }
  return true;
}

jvalue Unset() {
  jvalue v;
  std::memset(&v, 0, sizeof v);
  return v;
}

// ---- version ----

jint JNICALL GetVersion(JNIEnv* env) {
  Scope s(env, "GetVersion", 0);
  return s.ok ? JNI_VERSION_10 : 0;
}

// ---- classes ----

jclass JNICALL FindClass(JNIEnv* env, const char* name) {
  Scope s(env, "FindClass", 0);
  if (!CheckText(s, name, "the class name")) return nullptr;
  std::string n = name;
  if (n.find('.') != std::string::npos) {
    s.Refuse("class name '" + n + "' uses '.' where JNI wants '/'");
    return nullptr;
  }
  bool wellFormed = n[0] == '[' ? ValidFieldDescriptor(n) : ValidFieldDescriptor("L" + n + ";");
  if (!wellFormed) {
    s.Refuse("'" + n + "' is not a class name");
    return nullptr;
  }
  Klass* k = s.jvm.FindL(n);
  if (!k) {
    s.jvm.ThrowL(s.t, "java/lang/NoClassDefFoundError", n);
    return nullptr;
  }
  return static_cast<jclass>(s.jvm.NewLocal(s.t, k->mirror, s.fn));
}

jclass JNICALL GetSuperclass(JNIEnv* env, jclass c) {
  Scope s(env, "GetSuperclass", 0);
  Klass* k = Cls(s, c, "the class");
  if (!k || !k->super) return nullptr;
  return static_cast<jclass>(s.jvm.NewLocal(s.t, k->super->mirror, s.fn));
}

jboolean JNICALL IsAssignableFrom(JNIEnv* env, jclass a, jclass b) {
  Scope s(env, "IsAssignableFrom", 0);
  Klass* ka = Cls(s, a, "the first class");
  Klass* kb = Cls(s, b, "the second class");
  return s.ok && IsSub(s.jvm, ka, kb) ? JNI_TRUE : JNI_FALSE;
}

jclass JNICALL GetObjectClass(JNIEnv* env, jobject obj) {
  Scope s(env, "GetObjectClass", 0);
  Object* o = Obj(s, obj, "the object", false);
  if (!o) return nullptr;
  return static_cast<jclass>(s.jvm.NewLocal(s.t, o->klass->mirror, s.fn));
}

jboolean JNICALL IsInstanceOf(JNIEnv* env, jobject obj, jclass c) {
  Scope s(env, "IsInstanceOf", 0);
  Object* o = Obj(s, obj, "the object");
  Klass* k = Cls(s, c, "the class");
  if (!s.ok) return JNI_FALSE;
  return !o || IsSub(s.jvm, o->klass, k) ? JNI_TRUE : JNI_FALSE;
}

// ---- exceptions ----

jint JNICALL Throw(JNIEnv* env, jthrowable obj) {
  Scope s(env, "Throw", 0);
  Object* o = Obj(s, obj, "the exception", false);
  if (!o) return JNI_ERR;
  if (!IsSub(s.jvm, o->klass, s.jvm.FindL("java/lang/Throwable"))) {
    s.Refuse(o->klass->name + " is not a Throwable");
    return JNI_ERR;
  }
  s.t->pending = o;
  return JNI_OK;
}

Value RunJava(Scope& s, Method* m, Object* self, std::vector<Value> args) {
  if (!m->body) {
    s.V("the host has no code for " + m->owner->name + "." + m->name + m->sig);
    return {};
  }
  JavaCall call{s.jvm, *s.t, self, std::move(args)};
  s.lock.unlock();
  Value r = m->body(call);
  s.lock.lock();
  return r;
}

Method* ConstructorOf(Klass* k, const std::string& sig) {
  for (auto& m : k->methods)
    if (m->name == "<init>" && m->sig == sig) return m.get();
  return nullptr;
}

jint JNICALL ThrowNew(JNIEnv* env, jclass c, const char* message) {
  Scope s(env, "ThrowNew", 0);
  Klass* k = Cls(s, c, "the exception class");
  std::u16string text;
  if (message && !CheckText(s, message, "the message", &text)) return JNI_ERR;
  if (!s.ok) return JNI_ERR;
  if (!IsSub(s.jvm, k, s.jvm.FindL("java/lang/Throwable"))) {
    s.Refuse(k->name + " is not a Throwable");
    return JNI_ERR;
  }
  Method* ctor = ConstructorOf(k, "(Ljava/lang/String;)V");
  if (!ctor || k->isAbstract) {
    s.jvm.ThrowL(s.t, "java/lang/NoSuchMethodError", k->name + ".<init>(Ljava/lang/String;)V");
    return JNI_ERR;
  }
  Object* e = s.jvm.Alloc(k);
  RunJava(s, ctor, e, {ObjV(message ? s.jvm.StringL(text) : nullptr)});
  if (!s.t->pending) s.t->pending = e;
  return JNI_OK;
}

jthrowable JNICALL ExceptionOccurred(JNIEnv* env) {
  Scope s(env, "ExceptionOccurred", kAllowPending | kClearsCheck);
  if (!s.ok || !s.t->pending) return nullptr;
  return static_cast<jthrowable>(s.jvm.NewLocal(s.t, s.t->pending, s.fn));
}

void JNICALL ExceptionDescribe(JNIEnv* env) {
  Scope s(env, "ExceptionDescribe", kAllowPending | kClearsCheck);
  if (!s.ok || !s.t->pending) return;
  Object* e = s.t->pending;
  Field* f = s.jvm.FieldNamed(e->klass, "detailMessage", false);
  std::string message = f ? s.jvm.Utf8L(e->fields[f->slot].o) : "";
  s.jvm.described.push_back({s.t->name, Dotted(e->klass->name), message});
  std::fprintf(stderr, "Exception in thread \"%s\" %s: %s\n", s.t->name.c_str(), Dotted(e->klass->name).c_str(),
               message.c_str());
  s.t->pending = nullptr;  // described exceptions are cleared
}

void JNICALL ExceptionClear(JNIEnv* env) {
  Scope s(env, "ExceptionClear", kAllowPending | kClearsCheck);
  if (s.ok) s.t->pending = nullptr;
}

void JNICALL FatalError(JNIEnv* env, const char* msg) {
  {
    Scope s(env, "FatalError", kAllowPending);
    s.V(std::string("the library gave up: ") + (msg ? msg : "(no message)"));
  }
  std::fprintf(stderr, "FATAL ERROR in native method: %s\n", msg ? msg : "");
  std::abort();  // FatalError does not return
}

jboolean JNICALL ExceptionCheck(JNIEnv* env) {
  Scope s(env, "ExceptionCheck", kAllowPending | kClearsCheck);
  return s.ok && s.t->pending ? JNI_TRUE : JNI_FALSE;
}

// ---- references ----

jint JNICALL PushLocalFrame(JNIEnv* env, jint capacity) {
  Scope s(env, "PushLocalFrame", kAllowPending);
  if (!s.ok) return JNI_ERR;
  if (capacity < 0) {
    s.Refuse("negative capacity");
    return JNI_ERR;
  }
  Frame f;
  f.id = s.jvm.nextFrameId++;
  f.capacity = static_cast<size_t>(capacity);
  f.pushed = true;
  f.what = "a PushLocalFrame(" + std::to_string(capacity) + ")";
  s.t->frames.push_back(f);
  return JNI_OK;
}

jobject JNICALL PopLocalFrame(JNIEnv* env, jobject result) {
  Scope s(env, "PopLocalFrame", kAllowPending);
  Object* r = Obj(s, result, "the result");
  if (!s.ok) return nullptr;
  if (s.t->frames.empty() || !s.t->frames.back().pushed) {
    s.Refuse("no PushLocalFrame of this native call to pop");
    return nullptr;
  }
  s.jvm.KillFrame(s.t, s.t->frames.size() - 1);
  return s.jvm.NewLocal(s.t, r, s.fn);
}

jobject JNICALL NewGlobalRef(JNIEnv* env, jobject obj) {
  Scope s(env, "NewGlobalRef", 0);
  Object* o = Obj(s, obj, "the object");
  return s.ok ? s.jvm.NewGlobal(o, Ref::Global) : nullptr;
}

void JNICALL DeleteGlobalRef(JNIEnv* env, jobject ref) {
  Scope s(env, "DeleteGlobalRef", kAllowPending);
  if (!s.ok || !ref) return;
  Ref* r = s.jvm.RefOf(ref);
  if (!r || r->kind != Ref::Global) return s.V("not a global reference");
  if (!r->live) return s.V("the global reference was already deleted");
  r->live = false;
}

void JNICALL DeleteLocalRef(JNIEnv* env, jobject ref) {
  Scope s(env, "DeleteLocalRef", kAllowPending);
  if (!s.ok || !ref) return;
  Ref* r = s.jvm.RefOf(ref);
  if (!r) return s.V("not a reference made by this VM");
  if (r->kind != Ref::Local) return s.V("deletes a global reference as a local one");
  if (r->thread != s.t) return s.V("deletes a local reference of thread " + r->thread->name);
  if (!r->live) return s.V("the local reference was already deleted, or its frame is gone");
  r->live = false;
  for (auto& f : s.t->frames)
    if (f.id == r->frame) --f.live;
}

jboolean JNICALL IsSameObject(JNIEnv* env, jobject a, jobject b) {
  Scope s(env, "IsSameObject", 0);
  Object* oa = Obj(s, a, "the first reference");
  Object* ob = Obj(s, b, "the second reference");
  return s.ok && oa == ob ? JNI_TRUE : JNI_FALSE;
}

jobject JNICALL NewLocalRef(JNIEnv* env, jobject ref) {
  Scope s(env, "NewLocalRef", 0);
  Object* o = Obj(s, ref, "the reference");
  return s.ok ? s.jvm.NewLocal(s.t, o, s.fn) : nullptr;
}

jint JNICALL EnsureLocalCapacity(JNIEnv* env, jint capacity) {
  Scope s(env, "EnsureLocalCapacity", 0);
  if (!s.ok) return JNI_ERR;
  if (capacity < 0) {
    s.Refuse("negative capacity");
    return JNI_ERR;
  }
  Frame& f = s.t->frames.back();
  f.capacity = std::max(f.capacity, f.live + static_cast<size_t>(capacity));
  return JNI_OK;
}

jweak JNICALL NewWeakGlobalRef(JNIEnv* env, jobject obj) {
  Scope s(env, "NewWeakGlobalRef", 0);
  Object* o = Obj(s, obj, "the object");
  return s.ok ? s.jvm.NewGlobal(o, Ref::WeakGlobal) : nullptr;
}

void JNICALL DeleteWeakGlobalRef(JNIEnv* env, jweak ref) {
  Scope s(env, "DeleteWeakGlobalRef", kAllowPending);
  if (!s.ok || !ref) return;
  Ref* r = s.jvm.RefOf(ref);
  if (!r || r->kind != Ref::WeakGlobal) return s.V("not a weak global reference");
  if (!r->live) return s.V("the weak global reference was already deleted");
  r->live = false;
}

jobjectRefType JNICALL GetObjectRefType(JNIEnv* env, jobject ref) {
  Scope s(env, "GetObjectRefType", 0);
  Ref* r = s.ok && ref ? s.jvm.RefOf(ref) : nullptr;
  if (!r || !r->live) return JNIInvalidRefType;
  if (r->kind == Ref::Global) return JNIGlobalRefType;
  if (r->kind == Ref::WeakGlobal) return JNIWeakGlobalRefType;
  return r->thread == s.t ? JNILocalRefType : JNIInvalidRefType;
}

// ---- objects, methods and calls ----

jobject JNICALL AllocObject(JNIEnv* env, jclass c) {
  Scope s(env, "AllocObject", 0);
  Klass* k = Cls(s, c, "the class");
  if (!k) return nullptr;
  if (k->isAbstract || k->IsArray()) {
    s.jvm.ThrowL(s.t, "java/lang/InstantiationException", Dotted(k->name));
    return nullptr;
  }
  return s.jvm.NewLocal(s.t, s.jvm.Alloc(k), s.fn);
}

jmethodID LookupMethod(JNIEnv* env, const char* fn, jclass c, const char* name, const char* sig, bool isStatic) {
  Scope s(env, fn, 0);
  Klass* k = Cls(s, c, "the class");
  if (!CheckText(s, name, "the method name") || !CheckText(s, sig, "the signature")) return nullptr;
  std::vector<std::string> params;
  std::string ret;
  std::string n = name;
  if (!ParseMethodSig(sig, params, ret)) {
    s.V(std::string("'") + sig + "' is not a method signature");
    s.jvm.ThrowL(s.t, "java/lang/NoSuchMethodError", n);
    return nullptr;
  }
  if (n == "<clinit>" || (n == "<init>" && (isStatic || ret != "V"))) {
    s.V("'" + n + sig + "' cannot be looked up with " + fn);
    s.jvm.ThrowL(s.t, "java/lang/NoSuchMethodError", n);
    return nullptr;
  }
  for (Klass* x = k; x; x = x->super) {
    for (auto& m : x->methods)
      if (m->name == n && m->sig == sig && m->isStatic == isStatic) return reinterpret_cast<jmethodID>(m.get());
    if (n == "<init>") break;  // constructors are not inherited
  }
  s.jvm.ThrowL(s.t, "java/lang/NoSuchMethodError", n);
  return nullptr;
}

jmethodID JNICALL GetMethodID(JNIEnv* env, jclass c, const char* name, const char* sig) {
  return LookupMethod(env, "GetMethodID", c, name, sig, false);
}

jmethodID JNICALL GetStaticMethodID(JNIEnv* env, jclass c, const char* name, const char* sig) {
  return LookupMethod(env, "GetStaticMethodID", c, name, sig, true);
}

// Where the arguments of a call come from: an array, or a va_list.
struct ArgSource {
  const jvalue* array = nullptr;
  va_list* list = nullptr;
};

bool TakeArgs(Scope& s, Method* m, ArgSource src, std::vector<Value>& out) {
  out.assign(m->params.size(), Value{});
  if (!m->params.empty() && !src.array && !src.list) {
    s.Refuse("no argument array for a method taking arguments");
    return false;
  }
  for (size_t i = 0; i < m->params.size(); ++i) {
    const std::string& p = m->params[i];
    jvalue v = Unset();
    if (src.array) {
      v = src.array[i];
    } else {
      switch (p[0]) {
        case 'Z': v.z = static_cast<jboolean>(va_arg(*src.list, int)); break;
        case 'B': v.b = static_cast<jbyte>(va_arg(*src.list, int)); break;
        case 'C': v.c = static_cast<jchar>(va_arg(*src.list, int)); break;
        case 'S': v.s = static_cast<jshort>(va_arg(*src.list, int)); break;
        case 'I': v.i = va_arg(*src.list, jint); break;
        case 'J': v.j = va_arg(*src.list, jlong); break;
        case 'F': v.f = static_cast<jfloat>(va_arg(*src.list, double)); break;
        case 'D': v.d = va_arg(*src.list, double); break;
        default: v.l = va_arg(*src.list, jobject); break;
      }
    }
    if (p[0] == 'L' || p[0] == '[') {
      Object* o = Obj(s, v.l, "argument " + std::to_string(i + 1));
      if (!s.ok) return false;
      Klass* want = s.jvm.ClassOfDescriptor(p);
      if (o && !IsSub(s.jvm, o->klass, want)) {
        s.Refuse("argument " + std::to_string(i + 1) + " of " + m->name + " is a " + o->klass->name + ", not a " + p);
        return false;
      }
      out[i].o = o;
    } else {
      if (p[0] == 'Z' && v.z != JNI_TRUE && v.z != JNI_FALSE)
        s.V("boolean argument " + std::to_string(i + 1) + " is neither JNI_TRUE nor JNI_FALSE");
      out[i].p = v;
    }
  }
  return true;
}

enum class CallKind { Virtual, Nonvirtual, Static };

// The common body of every Call<Type>Method[V|A] function.
jvalue DoCall(Scope& s, CallKind kind, char want, jobject target, jclass clazz, jmethodID id, ArgSource src) {
  jvalue result = Unset();
  if (!s.ok) return result;
  Method* m = s.jvm.MethodOf(id);
  if (!m) {
    s.Refuse("not a method ID of this VM");
    return result;
  }
  const std::string who = m->owner->name + "." + m->name + m->sig;
  Object* self = nullptr;
  if (kind == CallKind::Static) {
    Klass* k = Cls(s, static_cast<jclass>(target), "the class");
    if (!s.ok) return result;
    if (!m->isStatic) return s.Refuse(who + " is not static"), result;
    if (!IsSub(s.jvm, k, m->owner)) return s.Refuse(k->name + " has no static method " + who), result;
  } else {
    self = Obj(s, target, "the object", false);
    if (!s.ok) return result;
    if (m->isStatic) return s.Refuse(who + " is static"), result;
    if (!IsSub(s.jvm, self->klass, m->owner)) return s.Refuse("a " + self->klass->name + " has no method " + who), result;
    if (kind == CallKind::Virtual && m->name == "<init>")
      return s.Refuse("constructors are run by NewObject, not by a virtual call"), result;
    if (kind == CallKind::Nonvirtual) {
      Klass* k = Cls(s, clazz, "the class");
      if (!s.ok) return result;
      if (!IsSub(s.jvm, k, m->owner) || !IsSub(s.jvm, self->klass, k))
        return s.Refuse("class " + k->name + " does not fit " + who + " on a " + self->klass->name), result;
    }
  }
  if (!TypeMatches(want, m->ret))
    return s.Refuse("used for " + who + ", whose result is " + m->ret), result;
  std::vector<Value> args;
  if (!TakeArgs(s, m, src, args)) return result;
  Method* target_m = m;
  if (kind == CallKind::Virtual)  // the most derived override
    for (Klass* k = self->klass; k && k != m->owner; k = k->super)
      for (auto& x : k->methods)
        if (x->name == m->name && x->sig == m->sig && !x->isStatic && target_m == m) target_m = x.get();
  if (target_m->isNative) {
    s.V("the host does not run native methods through the Call functions (" + who + ")");
    return result;
  }
  Value r = RunJava(s, target_m, self, std::move(args));
  if (s.t->pending) return result;
  if (want == 'L') result.l = s.jvm.NewLocal(s.t, r.o, s.fn);
  else if (want != 'V') result = r.p;
  return result;
}

jobject DoNewObject(Scope& s, jclass c, jmethodID id, ArgSource src) {
  Klass* k = Cls(s, c, "the class");
  if (!s.ok) return nullptr;
  Method* m = s.jvm.MethodOf(id);
  if (!m) return s.Refuse("not a method ID of this VM"), nullptr;
  if (m->name != "<init>" || m->owner != k) return s.Refuse(m->name + m->sig + " is not a constructor of " + k->name), nullptr;
  if (k->isAbstract || k->IsArray()) {
    s.jvm.ThrowL(s.t, "java/lang/InstantiationException", Dotted(k->name));
    return nullptr;
  }
  std::vector<Value> args;
  if (!TakeArgs(s, m, src, args)) return nullptr;
  Object* o = s.jvm.Alloc(k);
  RunJava(s, m, o, std::move(args));
  if (s.t->pending) return nullptr;
  return s.jvm.NewLocal(s.t, o, s.fn);
}

jobject JNICALL NewObjectA(JNIEnv* env, jclass c, jmethodID id, const jvalue* args) {
  Scope s(env, "NewObjectA", 0);
  return DoNewObject(s, c, id, ArgSource{args, nullptr});
}
jobject JNICALL NewObjectV(JNIEnv* env, jclass c, jmethodID id, va_list ap) {
  Scope s(env, "NewObjectV", 0);
  va_list copy;
  va_copy(copy, ap);
  jobject r = DoNewObject(s, c, id, ArgSource{nullptr, &copy});
  va_end(copy);
  return r;
}
jobject JNICALL NewObject(JNIEnv* env, jclass c, jmethodID id, ...) {
  Scope s(env, "NewObject", 0);
  va_list ap;
  va_start(ap, id);
  jobject r = DoNewObject(s, c, id, ArgSource{nullptr, &ap});
  va_end(ap);
  return r;
}

#define DL_CALLS(Name, jtype, member, code)                                                               \
  jtype JNICALL Call##Name##MethodA(JNIEnv* env, jobject o, jmethodID id, const jvalue* args) {           \
    Scope s(env, "Call" #Name "MethodA", kSetsCheck);                                                     \
    return DoCall(s, CallKind::Virtual, code, o, nullptr, id, ArgSource{args, nullptr}).member;            \
  }                                                                                                       \
  jtype JNICALL Call##Name##MethodV(JNIEnv* env, jobject o, jmethodID id, va_list ap) {                   \
    Scope s(env, "Call" #Name "MethodV", kSetsCheck);                                                     \
    va_list copy;                                                                                         \
    va_copy(copy, ap);                                                                                    \
    jtype r = DoCall(s, CallKind::Virtual, code, o, nullptr, id, ArgSource{nullptr, &copy}).member;        \
    va_end(copy);                                                                                         \
    return r;                                                                                             \
  }                                                                                                       \
  jtype JNICALL Call##Name##Method(JNIEnv* env, jobject o, jmethodID id, ...) {                           \
    Scope s(env, "Call" #Name "Method", kSetsCheck);                                                      \
    va_list ap;                                                                                           \
    va_start(ap, id);                                                                                     \
    jtype r = DoCall(s, CallKind::Virtual, code, o, nullptr, id, ArgSource{nullptr, &ap}).member;          \
    va_end(ap);                                                                                           \
    return r;                                                                                             \
  }                                                                                                       \
  jtype JNICALL CallNonvirtual##Name##MethodA(JNIEnv* env, jobject o, jclass c, jmethodID id,             \
                                              const jvalue* args) {                                       \
    Scope s(env, "CallNonvirtual" #Name "MethodA", kSetsCheck);                                           \
    return DoCall(s, CallKind::Nonvirtual, code, o, c, id, ArgSource{args, nullptr}).member;               \
  }                                                                                                       \
  jtype JNICALL CallNonvirtual##Name##MethodV(JNIEnv* env, jobject o, jclass c, jmethodID id, va_list ap) { \
    Scope s(env, "CallNonvirtual" #Name "MethodV", kSetsCheck);                                           \
    va_list copy;                                                                                         \
    va_copy(copy, ap);                                                                                    \
    jtype r = DoCall(s, CallKind::Nonvirtual, code, o, c, id, ArgSource{nullptr, &copy}).member;           \
    va_end(copy);                                                                                         \
    return r;                                                                                             \
  }                                                                                                       \
  jtype JNICALL CallNonvirtual##Name##Method(JNIEnv* env, jobject o, jclass c, jmethodID id, ...) {       \
    Scope s(env, "CallNonvirtual" #Name "Method", kSetsCheck);                                            \
    va_list ap;                                                                                           \
    va_start(ap, id);                                                                                     \
    jtype r = DoCall(s, CallKind::Nonvirtual, code, o, c, id, ArgSource{nullptr, &ap}).member;             \
    va_end(ap);                                                                                           \
    return r;                                                                                             \
  }                                                                                                       \
  jtype JNICALL CallStatic##Name##MethodA(JNIEnv* env, jclass c, jmethodID id, const jvalue* args) {      \
    Scope s(env, "CallStatic" #Name "MethodA", kSetsCheck);                                               \
    return DoCall(s, CallKind::Static, code, c, nullptr, id, ArgSource{args, nullptr}).member;             \
  }                                                                                                       \
  jtype JNICALL CallStatic##Name##MethodV(JNIEnv* env, jclass c, jmethodID id, va_list ap) {              \
    Scope s(env, "CallStatic" #Name "MethodV", kSetsCheck);                                               \
    va_list copy;                                                                                         \
    va_copy(copy, ap);                                                                                    \
    jtype r = DoCall(s, CallKind::Static, code, c, nullptr, id, ArgSource{nullptr, &copy}).member;         \
    va_end(copy);                                                                                         \
    return r;                                                                                             \
  }                                                                                                       \
  jtype JNICALL CallStatic##Name##Method(JNIEnv* env, jclass c, jmethodID id, ...) {                      \
    Scope s(env, "CallStatic" #Name "Method", kSetsCheck);                                                \
    va_list ap;                                                                                           \
    va_start(ap, id);                                                                                     \
    jtype r = DoCall(s, CallKind::Static, code, c, nullptr, id, ArgSource{nullptr, &ap}).member;           \
    va_end(ap);                                                                                           \
    return r;                                                                                             \
  }

DL_CALLS(Object, jobject, l, 'L')
DL_CALLS(Boolean, jboolean, z, 'Z')
DL_CALLS(Byte, jbyte, b, 'B')
DL_CALLS(Char, jchar, c, 'C')
DL_CALLS(Short, jshort, s, 'S')
DL_CALLS(Int, jint, i, 'I')
DL_CALLS(Long, jlong, j, 'J')
DL_CALLS(Float, jfloat, f, 'F')
DL_CALLS(Double, jdouble, d, 'D')
#undef DL_CALLS

void JNICALL CallVoidMethodA(JNIEnv* env, jobject o, jmethodID id, const jvalue* args) {
  Scope s(env, "CallVoidMethodA", kSetsCheck);
  DoCall(s, CallKind::Virtual, 'V', o, nullptr, id, ArgSource{args, nullptr});
}
void JNICALL CallVoidMethodV(JNIEnv* env, jobject o, jmethodID id, va_list ap) {
  Scope s(env, "CallVoidMethodV", kSetsCheck);
  va_list copy;
  va_copy(copy, ap);
  DoCall(s, CallKind::Virtual, 'V', o, nullptr, id, ArgSource{nullptr, &copy});
  va_end(copy);
}
void JNICALL CallVoidMethod(JNIEnv* env, jobject o, jmethodID id, ...) {
  Scope s(env, "CallVoidMethod", kSetsCheck);
  va_list ap;
  va_start(ap, id);
  DoCall(s, CallKind::Virtual, 'V', o, nullptr, id, ArgSource{nullptr, &ap});
  va_end(ap);
}
void JNICALL CallNonvirtualVoidMethodA(JNIEnv* env, jobject o, jclass c, jmethodID id, const jvalue* args) {
  Scope s(env, "CallNonvirtualVoidMethodA", kSetsCheck);
  DoCall(s, CallKind::Nonvirtual, 'V', o, c, id, ArgSource{args, nullptr});
}
void JNICALL CallNonvirtualVoidMethodV(JNIEnv* env, jobject o, jclass c, jmethodID id, va_list ap) {
  Scope s(env, "CallNonvirtualVoidMethodV", kSetsCheck);
  va_list copy;
  va_copy(copy, ap);
  DoCall(s, CallKind::Nonvirtual, 'V', o, c, id, ArgSource{nullptr, &copy});
  va_end(copy);
}
void JNICALL CallNonvirtualVoidMethod(JNIEnv* env, jobject o, jclass c, jmethodID id, ...) {
  Scope s(env, "CallNonvirtualVoidMethod", kSetsCheck);
  va_list ap;
  va_start(ap, id);
  DoCall(s, CallKind::Nonvirtual, 'V', o, c, id, ArgSource{nullptr, &ap});
  va_end(ap);
}
void JNICALL CallStaticVoidMethodA(JNIEnv* env, jclass c, jmethodID id, const jvalue* args) {
  Scope s(env, "CallStaticVoidMethodA", kSetsCheck);
  DoCall(s, CallKind::Static, 'V', c, nullptr, id, ArgSource{args, nullptr});
}
void JNICALL CallStaticVoidMethodV(JNIEnv* env, jclass c, jmethodID id, va_list ap) {
  Scope s(env, "CallStaticVoidMethodV", kSetsCheck);
  va_list copy;
  va_copy(copy, ap);
  DoCall(s, CallKind::Static, 'V', c, nullptr, id, ArgSource{nullptr, &copy});
  va_end(copy);
}
void JNICALL CallStaticVoidMethod(JNIEnv* env, jclass c, jmethodID id, ...) {
  Scope s(env, "CallStaticVoidMethod", kSetsCheck);
  va_list ap;
  va_start(ap, id);
  DoCall(s, CallKind::Static, 'V', c, nullptr, id, ArgSource{nullptr, &ap});
  va_end(ap);
}

// ---- fields ----

jfieldID LookupField(JNIEnv* env, const char* fn, jclass c, const char* name, const char* sig, bool isStatic) {
  Scope s(env, fn, 0);
  Klass* k = Cls(s, c, "the class");
  if (!CheckText(s, name, "the field name") || !CheckText(s, sig, "the signature")) return nullptr;
  if (!ValidFieldDescriptor(sig)) {
    s.V(std::string("'") + sig + "' is not a field signature");
    s.jvm.ThrowL(s.t, "java/lang/NoSuchFieldError", name);
    return nullptr;
  }
  for (Klass* x = k; x; x = x->super)
    for (auto& f : x->fields)
      if (f->name == name && f->sig == sig && f->isStatic == isStatic) return reinterpret_cast<jfieldID>(f.get());
  s.jvm.ThrowL(s.t, "java/lang/NoSuchFieldError", name);
  return nullptr;
}

jfieldID JNICALL GetFieldID(JNIEnv* env, jclass c, const char* name, const char* sig) {
  return LookupField(env, "GetFieldID", c, name, sig, false);
}

jfieldID JNICALL GetStaticFieldID(JNIEnv* env, jclass c, const char* name, const char* sig) {
  return LookupField(env, "GetStaticFieldID", c, name, sig, true);
}

// The field an ID names, checked against how it is used; null refuses the call.
Field* UseField(Scope& s, jfieldID id, bool isStatic, char want, Klass* holder) {
  if (!s.ok) return nullptr;
  Field* f = s.jvm.FieldOf(id);
  if (!f) return s.Refuse("not a field ID of this VM"), nullptr;
  const std::string who = f->owner->name + "." + f->name + " (" + f->sig + ")";
  if (f->isStatic != isStatic) return s.Refuse(who + (isStatic ? " is an instance field" : " is a static field")), nullptr;
  if (!TypeMatches(want, f->sig)) return s.Refuse("used for " + who), nullptr;
  if (!IsSub(s.jvm, holder, f->owner)) return s.Refuse("a " + holder->name + " has no field " + who), nullptr;
  return f;
}

bool StorableIn(Scope& s, Field* f, Object* v) {
  if (!v || IsSub(s.jvm, v->klass, s.jvm.ClassOfDescriptor(f->sig))) return true;
  s.Refuse("stores a " + v->klass->name + " in " + f->owner->name + "." + f->name + " of type " + f->sig);
  return false;
}

jobject JNICALL GetObjectField(JNIEnv* env, jobject obj, jfieldID id) {
  Scope s(env, "GetObjectField", 0);
  Object* o = Obj(s, obj, "the object", false);
  Field* f = o ? UseField(s, id, false, 'L', o->klass) : nullptr;
  return f ? s.jvm.NewLocal(s.t, o->fields[f->slot].o, s.fn) : nullptr;
}
void JNICALL SetObjectField(JNIEnv* env, jobject obj, jfieldID id, jobject value) {
  Scope s(env, "SetObjectField", 0);
  Object* o = Obj(s, obj, "the object", false);
  Object* v = Obj(s, value, "the value");
  Field* f = o ? UseField(s, id, false, 'L', o->klass) : nullptr;
  if (f && StorableIn(s, f, v)) o->fields[f->slot].o = v;
}
jobject JNICALL GetStaticObjectField(JNIEnv* env, jclass c, jfieldID id) {
  Scope s(env, "GetStaticObjectField", 0);
  Klass* k = Cls(s, c, "the class");
  Field* f = k ? UseField(s, id, true, 'L', k) : nullptr;
  return f ? s.jvm.NewLocal(s.t, f->owner->statics[f->slot].o, s.fn) : nullptr;
}
void JNICALL SetStaticObjectField(JNIEnv* env, jclass c, jfieldID id, jobject value) {
  Scope s(env, "SetStaticObjectField", 0);
  Klass* k = Cls(s, c, "the class");
  Object* v = Obj(s, value, "the value");
  Field* f = k ? UseField(s, id, true, 'L', k) : nullptr;
  if (f && StorableIn(s, f, v)) f->owner->statics[f->slot].o = v;
}

#define DL_FIELDS(Name, jtype, member, code)                                         \
  jtype JNICALL Get##Name##Field(JNIEnv* env, jobject obj, jfieldID id) {            \
    Scope s(env, "Get" #Name "Field", 0);                                            \
    Object* o = Obj(s, obj, "the object", false);                                    \
    Field* f = o ? UseField(s, id, false, code, o->klass) : nullptr;                 \
    return f ? o->fields[f->slot].p.member : jtype{};                                \
  }                                                                                  \
  void JNICALL Set##Name##Field(JNIEnv* env, jobject obj, jfieldID id, jtype v) {    \
    Scope s(env, "Set" #Name "Field", 0);                                            \
    Object* o = Obj(s, obj, "the object", false);                                    \
    Field* f = o ? UseField(s, id, false, code, o->klass) : nullptr;                 \
    if (f) o->fields[f->slot].p.member = v;                                          \
  }                                                                                  \
  jtype JNICALL GetStatic##Name##Field(JNIEnv* env, jclass c, jfieldID id) {         \
    Scope s(env, "GetStatic" #Name "Field", 0);                                      \
    Klass* k = Cls(s, c, "the class");                                               \
    Field* f = k ? UseField(s, id, true, code, k) : nullptr;                         \
    return f ? f->owner->statics[f->slot].p.member : jtype{};                        \
  }                                                                                  \
  void JNICALL SetStatic##Name##Field(JNIEnv* env, jclass c, jfieldID id, jtype v) { \
    Scope s(env, "SetStatic" #Name "Field", 0);                                      \
    Klass* k = Cls(s, c, "the class");                                               \
    Field* f = k ? UseField(s, id, true, code, k) : nullptr;                         \
    if (f) f->owner->statics[f->slot].p.member = v;                                  \
  }

DL_FIELDS(Boolean, jboolean, z, 'Z')
DL_FIELDS(Byte, jbyte, b, 'B')
DL_FIELDS(Char, jchar, c, 'C')
DL_FIELDS(Short, jshort, s, 'S')
DL_FIELDS(Int, jint, i, 'I')
DL_FIELDS(Long, jlong, j, 'J')
DL_FIELDS(Float, jfloat, f, 'F')
DL_FIELDS(Double, jdouble, d, 'D')
#undef DL_FIELDS

// ---- strings ----

Object* Str(Scope& s, jstring str) {
  Object* o = Obj(s, str, "the string", false);
  if (o && o->klass->name != "java/lang/String") return s.Refuse("a " + o->klass->name + " is not a String"), nullptr;
  return o;
}

const void* PinCopy(Scope& s, Object* o, char type, const void* data, size_t bytes, bool critical, bool isString) {
  FakeJvm::Pin p;
  p.obj = o;
  p.thread = s.t;
  p.type = type;
  p.critical = critical;
  p.isString = isString;
  p.serial = ++s.jvm.pinSerial;
  p.bytes = bytes;
  p.storage.resize(bytes + FakeJvm::kGuard, FakeJvm::kGuardByte);
  if (bytes) std::memcpy(p.storage.data(), data, bytes);
  const void* key = p.storage.data();
  s.jvm.pins[key] = std::move(p);
  if (critical) ++s.t->criticals;
  return key;
}

// Takes back a pinned copy; false (and the pin kept) when it does not belong here.
bool Unpin(Scope& s, Object* o, const void* data, char type, bool critical, FakeJvm::Pin& out) {
  auto it = s.jvm.pins.find(data);
  if (it == s.jvm.pins.end()) return s.Refuse("releases a pointer this VM never handed out"), false;
  FakeJvm::Pin& p = it->second;
  if (p.obj != o) return s.Refuse("releases the elements of another array or string"), false;
  if (p.type != type || p.critical != critical) return s.Refuse("does not match the function that got the pointer"), false;
  if (p.thread != s.t) s.V("releases on thread " + s.t->name + " what thread " + p.thread->name + " got");
  for (size_t i = 0; i < FakeJvm::kGuard; ++i)
    if (p.storage[p.bytes + i] != FakeJvm::kGuardByte) {
      s.V("the native code wrote past the end of the buffer it was given");
      break;
    }
  if (critical) --p.thread->criticals;
  out = std::move(p);
  s.jvm.pins.erase(it);
  return true;
}

jstring JNICALL NewString(JNIEnv* env, const jchar* chars, jsize len) {
  Scope s(env, "NewString", 0);
  if (!s.ok) return nullptr;
  if (len < 0 || (len > 0 && !chars)) return s.Refuse("no characters for a length of " + std::to_string(len)), nullptr;
  std::u16string text(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(len));
  return static_cast<jstring>(s.jvm.NewLocal(s.t, s.jvm.StringL(text), s.fn));
}

jsize JNICALL GetStringLength(JNIEnv* env, jstring str) {
  Scope s(env, "GetStringLength", 0);
  Object* o = Str(s, str);
  return o ? static_cast<jsize>(o->text.size()) : 0;
}

const jchar* JNICALL GetStringChars(JNIEnv* env, jstring str, jboolean* isCopy) {
  Scope s(env, "GetStringChars", 0);
  Object* o = Str(s, str);
  if (!o) return nullptr;
  if (isCopy) *isCopy = JNI_TRUE;
  return static_cast<const jchar*>(PinCopy(s, o, 'C', o->text.data(), o->text.size() * 2, false, true));
}

void JNICALL ReleaseStringChars(JNIEnv* env, jstring str, const jchar* chars) {
  Scope s(env, "ReleaseStringChars", kAllowPending);
  Object* o = Str(s, str);
  FakeJvm::Pin p;
  if (o) Unpin(s, o, chars, 'C', false, p);
}

jstring JNICALL NewStringUTF(JNIEnv* env, const char* utf) {
  Scope s(env, "NewStringUTF", 0);
  std::u16string text;
  if (!CheckText(s, utf, "the text", &text)) return nullptr;
  return static_cast<jstring>(s.jvm.NewLocal(s.t, s.jvm.StringL(text), s.fn));
}

jsize JNICALL GetStringUTFLength(JNIEnv* env, jstring str) {
  Scope s(env, "GetStringUTFLength", 0);
  Object* o = Str(s, str);
  return o ? static_cast<jsize>(EncodeModifiedUtf8(o->text).size()) : 0;
}

const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring str, jboolean* isCopy) {
  Scope s(env, "GetStringUTFChars", 0);
  Object* o = Str(s, str);
  if (!o) return nullptr;
  if (isCopy) *isCopy = JNI_TRUE;
  std::string utf = EncodeModifiedUtf8(o->text);
  return static_cast<const char*>(PinCopy(s, o, 'U', utf.c_str(), utf.size() + 1, false, true));
}

void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring str, const char* chars) {
  Scope s(env, "ReleaseStringUTFChars", kAllowPending);
  Object* o = Str(s, str);
  FakeJvm::Pin p;
  if (o) Unpin(s, o, chars, 'U', false, p);
}

void JNICALL GetStringRegion(JNIEnv* env, jstring str, jsize start, jsize len, jchar* buf) {
  Scope s(env, "GetStringRegion", kSetsCheck);
  Object* o = Str(s, str);
  if (!o) return;
  if (start < 0 || len < 0 || static_cast<size_t>(start) + static_cast<size_t>(len) > o->text.size())
    return s.jvm.ThrowL(s.t, "java/lang/StringIndexOutOfBoundsException", "region outside the string");
  if (len > 0 && !buf) return s.V("no buffer");
  if (len > 0) std::memcpy(buf, o->text.data() + start, static_cast<size_t>(len) * 2);
}

void JNICALL GetStringUTFRegion(JNIEnv* env, jstring str, jsize start, jsize len, char* buf) {
  Scope s(env, "GetStringUTFRegion", kSetsCheck);
  Object* o = Str(s, str);
  if (!o) return;
  if (start < 0 || len < 0 || static_cast<size_t>(start) + static_cast<size_t>(len) > o->text.size())
    return s.jvm.ThrowL(s.t, "java/lang/StringIndexOutOfBoundsException", "region outside the string");
  if (!buf) return s.V("no buffer");
  std::string utf = EncodeModifiedUtf8(o->text.substr(static_cast<size_t>(start), static_cast<size_t>(len)));
  std::memcpy(buf, utf.c_str(), utf.size() + 1);
}

const jchar* JNICALL GetStringCritical(JNIEnv* env, jstring str, jboolean* isCopy) {
  Scope s(env, "GetStringCritical", kCritical);
  Object* o = Str(s, str);
  if (!o) return nullptr;
  if (isCopy) *isCopy = JNI_TRUE;
  return static_cast<const jchar*>(PinCopy(s, o, 'C', o->text.data(), o->text.size() * 2, true, true));
}

void JNICALL ReleaseStringCritical(JNIEnv* env, jstring str, const jchar* chars) {
  Scope s(env, "ReleaseStringCritical", kAllowPending | kCritical);
  Object* o = Str(s, str);
  FakeJvm::Pin p;
  if (o) Unpin(s, o, chars, 'C', true, p);
}

// ---- arrays ----

Object* Arr(Scope& s, jarray a, char type) {
  Object* o = Obj(s, a, "the array", false);
  if (!o) return nullptr;
  if (!o->klass->IsArray()) return s.Refuse("a " + o->klass->name + " is not an array"), nullptr;
  if (type && !(type == 'L' ? (o->klass->component[0] == 'L' || o->klass->component[0] == '[')
                             : o->klass->component[0] == type))
    return s.Refuse("used on an array " + o->klass->name), nullptr;
  return o;
}

size_t ElementBytes(char t) {
  switch (t) {
    case 'Z': case 'B': return 1;
    case 'C': case 'S': return 2;
    case 'I': case 'F': return 4;
    default: return 8;
  }
}

jsize JNICALL GetArrayLength(JNIEnv* env, jarray a) {
  Scope s(env, "GetArrayLength", 0);
  Object* o = Arr(s, a, 0);
  return o ? o->length : 0;
}

jobjectArray JNICALL NewObjectArray(JNIEnv* env, jsize len, jclass element, jobject init) {
  Scope s(env, "NewObjectArray", 0);
  Klass* k = Cls(s, element, "the element class");
  Object* v = Obj(s, init, "the initial element");
  if (!s.ok) return nullptr;
  if (len < 0) return s.jvm.ThrowL(s.t, "java/lang/NegativeArraySizeException", std::to_string(len)), nullptr;
  if (v && !IsSub(s.jvm, v->klass, k)) return s.Refuse("the initial element does not fit the array"), nullptr;
  Object* a = s.jvm.Alloc(s.jvm.FindL(k->IsArray() ? "[" + k->name : "[L" + k->name + ";"));
  a->elems.assign(static_cast<size_t>(len), v);
  a->length = len;
  return static_cast<jobjectArray>(s.jvm.NewLocal(s.t, a, s.fn));
}

jobject JNICALL GetObjectArrayElement(JNIEnv* env, jobjectArray a, jsize i) {
  Scope s(env, "GetObjectArrayElement", kSetsCheck);
  Object* o = Arr(s, a, 'L');
  if (!o) return nullptr;
  if (i < 0 || i >= o->length)
    return s.jvm.ThrowL(s.t, "java/lang/ArrayIndexOutOfBoundsException", std::to_string(i)), nullptr;
  return s.jvm.NewLocal(s.t, o->elems[static_cast<size_t>(i)], s.fn);
}

void JNICALL SetObjectArrayElement(JNIEnv* env, jobjectArray a, jsize i, jobject value) {
  Scope s(env, "SetObjectArrayElement", kSetsCheck);
  Object* o = Arr(s, a, 'L');
  Object* v = Obj(s, value, "the value");
  if (!o || !s.ok) return;
  if (i < 0 || i >= o->length) return s.jvm.ThrowL(s.t, "java/lang/ArrayIndexOutOfBoundsException", std::to_string(i));
  if (v && !IsSub(s.jvm, v->klass, s.jvm.ClassOfDescriptor(o->klass->component)))
    return s.jvm.ThrowL(s.t, "java/lang/ArrayStoreException", v->klass->name);
  o->elems[static_cast<size_t>(i)] = v;
}

jarray NewPrimitiveArray(Scope& s, char type, jsize len) {
  if (!s.ok) return nullptr;
  if (len < 0) return s.jvm.ThrowL(s.t, "java/lang/NegativeArraySizeException", std::to_string(len)), nullptr;
  Object* a = s.jvm.Alloc(s.jvm.FindL(std::string("[") + type));
  a->prim.assign(static_cast<size_t>(len) * ElementBytes(type), 0);
  a->length = len;
  return static_cast<jarray>(s.jvm.NewLocal(s.t, a, s.fn));
}

void* GetElements(Scope& s, jarray a, char type, jboolean* isCopy, bool critical) {
  Object* o = Arr(s, a, type);
  if (!o) return nullptr;
  if (isCopy) *isCopy = JNI_TRUE;
  return const_cast<void*>(PinCopy(s, o, type, o->prim.data(), o->prim.size(), critical, false));
}

void ReleaseElements(Scope& s, jarray a, char type, void* elems, jint mode, bool critical) {
  Object* o = Arr(s, a, type);
  if (!o) return;
  if (mode != 0 && mode != JNI_COMMIT && mode != JNI_ABORT) return s.V("unknown release mode " + std::to_string(mode));
  auto it = s.jvm.pins.find(elems);
  if (mode == JNI_COMMIT) {  // copies back and keeps the buffer
    if (it == s.jvm.pins.end() || it->second.obj != o) return s.V("commits a pointer this VM never handed out");
    std::memcpy(o->prim.data(), it->second.storage.data(), o->prim.size());
    return;
  }
  FakeJvm::Pin p;
  if (!Unpin(s, o, elems, type, critical, p)) return;
  if (mode == 0 && !o->prim.empty()) std::memcpy(o->prim.data(), p.storage.data(), o->prim.size());
}

void Region(Scope& s, jarray a, char type, jsize start, jsize len, void* buf, bool get) {
  Object* o = Arr(s, a, type);
  if (!o) return;
  if (start < 0 || len < 0 || static_cast<int64_t>(start) + len > o->length)
    return s.jvm.ThrowL(s.t, "java/lang/ArrayIndexOutOfBoundsException",
                        "Array region " + std::to_string(start) + ".." + std::to_string(static_cast<int64_t>(start) + len) +
                            " out of bounds for length " + std::to_string(o->length));
  if (len > 0 && !buf) return s.V("no buffer for " + std::to_string(len) + " elements");
  size_t n = ElementBytes(type);
  if (len == 0) return;
  if (get) std::memcpy(buf, o->prim.data() + static_cast<size_t>(start) * n, static_cast<size_t>(len) * n);
  else std::memcpy(o->prim.data() + static_cast<size_t>(start) * n, buf, static_cast<size_t>(len) * n);
}

#define DL_ARRAYS(Name, jtype, jarr, code)                                                                     \
  jarr JNICALL New##Name##Array(JNIEnv* env, jsize len) {                                                      \
    Scope s(env, "New" #Name "Array", 0);                                                                      \
    return static_cast<jarr>(NewPrimitiveArray(s, code, len));                                                 \
  }                                                                                                            \
  jtype* JNICALL Get##Name##ArrayElements(JNIEnv* env, jarr a, jboolean* isCopy) {                             \
    Scope s(env, "Get" #Name "ArrayElements", 0);                                                              \
    return static_cast<jtype*>(GetElements(s, a, code, isCopy, false));                                        \
  }                                                                                                            \
  void JNICALL Release##Name##ArrayElements(JNIEnv* env, jarr a, jtype* elems, jint mode) {                    \
    Scope s(env, "Release" #Name "ArrayElements", kAllowPending);                                              \
    ReleaseElements(s, a, code, elems, mode, false);                                                           \
  }                                                                                                            \
  void JNICALL Get##Name##ArrayRegion(JNIEnv* env, jarr a, jsize start, jsize len, jtype* buf) {               \
    Scope s(env, "Get" #Name "ArrayRegion", kSetsCheck);                                                       \
    Region(s, a, code, start, len, buf, true);                                                                 \
  }                                                                                                            \
  void JNICALL Set##Name##ArrayRegion(JNIEnv* env, jarr a, jsize start, jsize len, const jtype* buf) {         \
    Scope s(env, "Set" #Name "ArrayRegion", kSetsCheck);                                                       \
    Region(s, a, code, start, len, const_cast<jtype*>(buf), false);                                            \
  }

DL_ARRAYS(Boolean, jboolean, jbooleanArray, 'Z')
DL_ARRAYS(Byte, jbyte, jbyteArray, 'B')
DL_ARRAYS(Char, jchar, jcharArray, 'C')
DL_ARRAYS(Short, jshort, jshortArray, 'S')
DL_ARRAYS(Int, jint, jintArray, 'I')
DL_ARRAYS(Long, jlong, jlongArray, 'J')
DL_ARRAYS(Float, jfloat, jfloatArray, 'F')
DL_ARRAYS(Double, jdouble, jdoubleArray, 'D')
#undef DL_ARRAYS

void* JNICALL GetPrimitiveArrayCritical(JNIEnv* env, jarray a, jboolean* isCopy) {
  Scope s(env, "GetPrimitiveArrayCritical", kCritical);
  Object* o = Arr(s, a, 0);
  if (!o) return nullptr;
  char type = o->klass->component[0];
  if (type == 'L' || type == '[') return s.Refuse("not an array of a primitive type"), nullptr;
  return GetElements(s, a, type, isCopy, true);
}

void JNICALL ReleasePrimitiveArrayCritical(JNIEnv* env, jarray a, void* elems, jint mode) {
  Scope s(env, "ReleasePrimitiveArrayCritical", kAllowPending | kCritical);
  Object* o = Arr(s, a, 0);
  if (o) ReleaseElements(s, a, o->klass->component[0], elems, mode, true);
}

// ---- natives, monitors, VM ----

jint JNICALL RegisterNatives(JNIEnv* env, jclass c, const JNINativeMethod* methods, jint n) {
  Scope s(env, "RegisterNatives", 0);
  Klass* k = Cls(s, c, "the class");
  if (!k) return JNI_ERR;
  if (n < 0 || (n > 0 && !methods)) return s.Refuse("no methods"), JNI_ERR;
  for (jint i = 0; i < n; ++i) {
    Method* found = nullptr;
    for (auto& m : k->methods)
      if (m->isNative && m->name == methods[i].name && m->sig == methods[i].signature) found = m.get();
    if (!found || !methods[i].fnPtr) {
      s.jvm.ThrowL(s.t, "java/lang/NoSuchMethodError", methods[i].name ? methods[i].name : "");
      return JNI_ERR;
    }
    found->native = methods[i].fnPtr;
  }
  return JNI_OK;
}

jint JNICALL MonitorEnter(JNIEnv* env, jobject obj) {
  Scope s(env, "MonitorEnter", 0);
  Object* o = Obj(s, obj, "the object", false);
  if (!o) return JNI_ERR;
  auto me = std::this_thread::get_id();
  s.jvm.monitorCv.wait(s.lock, [&] { return o->locks == 0 || o->owner == me; });
  o->owner = me;
  ++o->locks;
  ++s.t->monitors[o];
  return JNI_OK;
}

jint JNICALL MonitorExit(JNIEnv* env, jobject obj) {
  Scope s(env, "MonitorExit", kAllowPending);
  Object* o = Obj(s, obj, "the object", false);
  if (!o) return JNI_ERR;
  if (o->locks == 0 || o->owner != std::this_thread::get_id()) {
    if (!s.t->pending) s.jvm.ThrowL(s.t, "java/lang/IllegalMonitorStateException", "not the owner");
    return JNI_ERR;
  }
  auto it = s.t->monitors.find(o);
  if (it == s.t->monitors.end()) {
    s.V("leaves a monitor that was not entered with MonitorEnter");
  } else if (--it->second == 0) {
    s.t->monitors.erase(it);
  }
  if (--o->locks == 0) o->owner = {};
  s.jvm.monitorCv.notify_all();
  return JNI_OK;
}

jint JNICALL GetJavaVM(JNIEnv* env, JavaVM** vm) {
  Scope s(env, "GetJavaVM", 0);
  if (!s.ok) return JNI_ERR;
  if (!vm) return s.Refuse("no place for the result"), JNI_ERR;
  *vm = s.jvm.Vm();
  return JNI_OK;
}

// ---- functions the host does not provide ----

template <size_t I>
jint JNICALL Missing(JNIEnv* env) {
  Scope s(env, "JNI function", kAllowPending);
  s.V("number " + std::to_string(I) + " of the function table, which this host does not provide, was called");
  return 0;
}

constexpr size_t kSlots = sizeof(JNINativeInterface_) / sizeof(void*);

template <size_t... I>
void FillMissing(void** slots, std::index_sequence<I...>) {
  ((slots[I] = reinterpret_cast<void*>(&Missing<I>)), ...);
}

JNINativeInterface_ MakeTable() {
  JNINativeInterface_ t;
  FillMissing(reinterpret_cast<void**>(&t), std::make_index_sequence<kSlots>{});
  t.reserved0 = t.reserved1 = t.reserved2 = t.reserved3 = nullptr;
#define SET(name) t.name = &name
  SET(GetVersion);
  SET(FindClass);
  SET(GetSuperclass);
  SET(IsAssignableFrom);
  SET(Throw);
  SET(ThrowNew);
  SET(ExceptionOccurred);
  SET(ExceptionDescribe);
  SET(ExceptionClear);
  SET(FatalError);
  SET(PushLocalFrame);
  SET(PopLocalFrame);
  SET(NewGlobalRef);
  SET(DeleteGlobalRef);
  SET(DeleteLocalRef);
  SET(IsSameObject);
  SET(NewLocalRef);
  SET(EnsureLocalCapacity);
  SET(AllocObject);
  SET(NewObject);
  SET(NewObjectV);
  SET(NewObjectA);
  SET(GetObjectClass);
  SET(IsInstanceOf);
  SET(GetMethodID);
#define SET_CALLS(Name)            \
  SET(Call##Name##Method);           \
  SET(Call##Name##MethodV);          \
  SET(Call##Name##MethodA);          \
  SET(CallNonvirtual##Name##Method); \
  SET(CallNonvirtual##Name##MethodV); \
  SET(CallNonvirtual##Name##MethodA); \
  SET(CallStatic##Name##Method);     \
  SET(CallStatic##Name##MethodV);    \
  SET(CallStatic##Name##MethodA)
  SET_CALLS(Object);
  SET_CALLS(Boolean);
  SET_CALLS(Byte);
  SET_CALLS(Char);
  SET_CALLS(Short);
  SET_CALLS(Int);
  SET_CALLS(Long);
  SET_CALLS(Float);
  SET_CALLS(Double);
  SET_CALLS(Void);
#undef SET_CALLS
  SET(GetFieldID);
  SET(GetStaticFieldID);
  SET(GetStaticMethodID);
#define SET_FIELDS(Name)       \
  SET(Get##Name##Field);       \
  SET(Set##Name##Field);       \
  SET(GetStatic##Name##Field); \
  SET(SetStatic##Name##Field)
  SET_FIELDS(Object);
  SET_FIELDS(Boolean);
  SET_FIELDS(Byte);
  SET_FIELDS(Char);
  SET_FIELDS(Short);
  SET_FIELDS(Int);
  SET_FIELDS(Long);
  SET_FIELDS(Float);
  SET_FIELDS(Double);
#undef SET_FIELDS
  SET(NewString);
  SET(GetStringLength);
  SET(GetStringChars);
  SET(ReleaseStringChars);
  SET(NewStringUTF);
  SET(GetStringUTFLength);
  SET(GetStringUTFChars);
  SET(ReleaseStringUTFChars);
  SET(GetStringRegion);
  SET(GetStringUTFRegion);
  SET(GetStringCritical);
  SET(ReleaseStringCritical);
  SET(GetArrayLength);
  SET(NewObjectArray);
  SET(GetObjectArrayElement);
  SET(SetObjectArrayElement);
#define SET_ARRAYS(Name)                \
  SET(New##Name##Array);                \
  SET(Get##Name##ArrayElements);        \
  SET(Release##Name##ArrayElements);    \
  SET(Get##Name##ArrayRegion);          \
  SET(Set##Name##ArrayRegion)
  SET_ARRAYS(Boolean);
  SET_ARRAYS(Byte);
  SET_ARRAYS(Char);
  SET_ARRAYS(Short);
  SET_ARRAYS(Int);
  SET_ARRAYS(Long);
  SET_ARRAYS(Float);
  SET_ARRAYS(Double);
#undef SET_ARRAYS
  SET(GetPrimitiveArrayCritical);
  SET(ReleasePrimitiveArrayCritical);
  SET(RegisterNatives);
  SET(MonitorEnter);
  SET(MonitorExit);
  SET(GetJavaVM);
  SET(NewWeakGlobalRef);
  SET(DeleteWeakGlobalRef);
  SET(ExceptionCheck);
  SET(GetObjectRefType);
#undef SET
  return t;
}

// ---- the invocation interface ----

bool KnownVersion(jint v) {
  return v == JNI_VERSION_1_1 || v == JNI_VERSION_1_2 || v == JNI_VERSION_1_4 || v == JNI_VERSION_1_6 ||
         v == JNI_VERSION_1_8 || v == JNI_VERSION_9 || v == JNI_VERSION_10;
}

bool OurVm(FakeJvm& jvm, JavaVM* vm, const char* fn) {
  if (vm == jvm.Vm()) return true;
  jvm.Violation(std::string(fn) + ": not the JavaVM of this VM");
  return false;
}

jint JNICALL DestroyJavaVM(JavaVM* vm) {
  FakeJvm& jvm = *FakeJvm::Instance();
  std::lock_guard<std::mutex> g(jvm.mu);
  jvm.Violation("DestroyJavaVM: a library has no business destroying the VM");
  return JNI_ERR;
}

jint AttachImpl(JavaVM* vm, void** penv, void* args, bool daemon, const char* fn) {
  FakeJvm& jvm = *FakeJvm::Instance();
  std::lock_guard<std::mutex> g(jvm.mu);
  if (!OurVm(jvm, vm, fn)) return JNI_ERR;
  if (!penv) {
    jvm.Violation(std::string(fn) + ": no place for the JNIEnv");
    return JNI_ERR;
  }
  std::string name;
  if (args) {
    auto* a = static_cast<JavaVMAttachArgs*>(args);
    if (!KnownVersion(a->version) || a->version == JNI_VERSION_1_1) return JNI_EVERSION;
    if (a->name) name = a->name;
  }
  if (jvm.unloaded) jvm.Violation(std::string(fn) + ": called after JNI_OnUnload");
  if (ThreadState* t = jvm.Current()) {
    *penv = &t->box.env;
    return JNI_OK;
  }
  if (name.empty()) name = "Thread-" + std::to_string(jvm.threads.size());
  *penv = &jvm.Attach(name, daemon)->box.env;
  return JNI_OK;
}

jint JNICALL AttachCurrentThread(JavaVM* vm, void** penv, void* args) {
  return AttachImpl(vm, penv, args, false, "AttachCurrentThread");
}

jint JNICALL AttachCurrentThreadAsDaemon(JavaVM* vm, void** penv, void* args) {
  return AttachImpl(vm, penv, args, true, "AttachCurrentThreadAsDaemon");
}

jint JNICALL DetachCurrentThread(JavaVM* vm) {
  FakeJvm& jvm = *FakeJvm::Instance();
  std::lock_guard<std::mutex> g(jvm.mu);
  if (!OurVm(jvm, vm, "DetachCurrentThread")) return JNI_ERR;
  ThreadState* t = jvm.Current();
  if (!t) {
    jvm.Violation("DetachCurrentThread: the thread is not attached");
    return JNI_OK;
  }
  if (t->nativeDepth > 0 || t->name == "main") {
    jvm.Violation("DetachCurrentThread: thread " + t->name + " is running Java code or native methods called from it");
    return JNI_ERR;
  }
  jvm.Detach(t);
  jvm.monitorCv.notify_all();
  return JNI_OK;
}

jint JNICALL GetEnv(JavaVM* vm, void** penv, jint version) {
  FakeJvm& jvm = *FakeJvm::Instance();
  std::lock_guard<std::mutex> g(jvm.mu);
  if (!OurVm(jvm, vm, "GetEnv")) return JNI_ERR;
  if (!penv) {
    jvm.Violation("GetEnv: no place for the JNIEnv");
    return JNI_ERR;
  }
  *penv = nullptr;
  if (!KnownVersion(version)) return JNI_EVERSION;
  ThreadState* t = jvm.Current();
  if (!t) return JNI_EDETACHED;
  *penv = &t->box.env;
  return JNI_OK;
}

}  // namespace

const JNINativeInterface_* JniFunctions() {
  static const JNINativeInterface_ table = MakeTable();
  return &table;
}

const JNIInvokeInterface_* InvokeFunctions() {
  static const JNIInvokeInterface_ table = [] {
    JNIInvokeInterface_ t{};
    t.reserved0 = t.reserved1 = t.reserved2 = nullptr;
    t.DestroyJavaVM = &DestroyJavaVM;
    t.AttachCurrentThread = &AttachCurrentThread;
    t.DetachCurrentThread = &DetachCurrentThread;
    t.GetEnv = &GetEnv;
    t.AttachCurrentThreadAsDaemon = &AttachCurrentThreadAsDaemon;
    return t;
  }();
  return &table;
}

}  // namespace jnihost
