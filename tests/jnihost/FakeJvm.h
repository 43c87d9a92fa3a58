// A fake Java VM that hosts the dactylink library the way a JVM does: it
// provides the JNI function table and the invocation interface, holds Java
// objects as plain records, and checks every call as strictly as the JVM's
// checked mode (-Xcheck:jni) or stricter. Every misuse is recorded as a
// violation; the tests fail on any.
//
// Locking: one VM mutex guards the heap, references, threads and classes. JNI
// functions hold it while they run, and let go of it while host-defined Java
// code runs (Java code may call natives again) and while a thread waits for a
// monitor. The public heap helpers below take it themselves; call them only
// from test code and Java bodies, never from inside a JNI function.
#pragma once
#include <jni.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace jnihost {

class FakeJvm;
struct Klass;
struct Object;
struct ThreadState;

// A Java value: the primitive bits, or an object of the fake heap.
struct Value {
  jvalue p{};
  Object* o = nullptr;
};
Value IntV(jint v);
Value LongV(jlong v);
Value DoubleV(jdouble v);
Value BoolV(bool v);
Value ObjV(Object* o);

// One call of host-defined Java code (a constructor or method body).
struct JavaCall {
  FakeJvm& jvm;
  ThreadState& thread;
  Object* self;  // null for static methods
  std::vector<Value> args;
  // Raises a Java exception of the class (internal name) on the calling thread.
  void Throw(const std::string& className, const std::string& message);
};
using JavaBody = std::function<Value(JavaCall&)>;

struct Field {
  Klass* owner = nullptr;
  std::string name, sig;
  bool isStatic = false;
  size_t slot = 0;
};

struct Method {
  Klass* owner = nullptr;
  std::string name, sig;
  std::vector<std::string> params;  // parameter descriptors
  std::string ret;                  // result descriptor
  bool isStatic = false;
  bool isNative = false;
  JavaBody body;            // Java methods
  void* native = nullptr;   // natives, bound when the library is loaded
  int calls = 0;            // natives: completed calls
};

struct Klass {
  std::string name;       // internal form: ardivex/scanners/Scanner, [B
  Klass* super = nullptr;
  bool isAbstract = false;
  std::string component;  // arrays: the element descriptor
  std::vector<std::unique_ptr<Field>> fields;
  std::vector<std::unique_ptr<Method>> methods;
  size_t slots = 0;  // instance field slots, inherited ones included
  std::vector<Value> statics;
  Object* mirror = nullptr;
  bool IsArray() const { return !component.empty(); }
};

struct Object {
  Klass* klass = nullptr;
  std::vector<Value> fields;
  std::u16string text;         // java.lang.String
  std::vector<uint8_t> prim;   // primitive arrays: length x element size bytes
  std::vector<Object*> elems;  // object arrays
  jsize length = 0;
  Klass* mirrorOf = nullptr;   // java.lang.Class
  std::thread::id owner;       // monitor
  int locks = 0;
};

struct Frame {
  uint64_t id = 0;
  size_t capacity = 0;
  size_t live = 0;
  bool pushed = false;   // made by PushLocalFrame
  bool native = false;   // the frame of one native method call
  bool warned = false;
  std::string what;      // the native method or "attached thread"
};

struct Ref {
  enum Kind { Local, Global, WeakGlobal } kind = Local;
  Object* obj = nullptr;
  ThreadState* thread = nullptr;  // locals: the owning thread
  uint64_t frame = 0;             // locals: the frame
  bool live = true;
};

struct EnvBox {
  JNIEnv env;  // first: a JNIEnv* is the address of its box
  ThreadState* thread;
};

struct ThreadState {
  std::thread::id id;
  std::string name;
  EnvBox box{};
  bool attached = false;
  bool daemon = false;
  Object* pending = nullptr;       // the pending Java exception
  std::string mustCheck;           // a call whose exception must be checked before the next call
  std::vector<Frame> frames;
  std::map<Object*, int> monitors; // entered through MonitorEnter
  int criticals = 0;               // open Get*Critical regions
  int nativeDepth = 0;             // native methods running on this thread
};

// What a native method call gave back to its Java caller.
struct Outcome {
  Value value;
  Object* thrown = nullptr;  // the exception it left pending, cleared for the caller
  jint Int() const { return value.p.i; }
  jlong Long() const { return value.p.j; }
  bool Bool() const { return value.p.z != 0; }
  Object* Obj() const { return value.o; }
};

// What ExceptionDescribe printed.
struct Described {
  std::string thread, className, message;
};

class FakeJvm {
 public:
  FakeJvm();
  ~FakeJvm();
  FakeJvm(const FakeJvm&) = delete;
  FakeJvm& operator=(const FakeJvm&) = delete;

  static FakeJvm* Instance();
  JavaVM* Vm() { return &vm_; }

  // ---- classes (defined before use, single-threaded) ----
  Klass& Define(const std::string& name, const std::string& super, bool isAbstract = false);
  Field& AddField(Klass& k, const std::string& name, const std::string& sig, bool isStatic = false);
  Method& AddMethod(Klass& k, const std::string& name, const std::string& sig, JavaBody body, bool isStatic = false);
  Method& AddNative(Klass& k, const std::string& name, const std::string& sig, bool isStatic = false);
  // An enumeration with its constants as static fields of its own type.
  Klass& DefineEnum(const std::string& name, const std::vector<std::string>& constants);
  // A Throwable subclass with the (String) and () constructors.
  Klass& DefineThrowable(const std::string& name, const std::string& super, bool withDefaultConstructor = true);
  Klass* Find(const std::string& name);
  std::vector<Method*> Natives();

  // ---- the library ----
  // Loads the library, calls JNI_OnLoad and binds every declared native by its
  // JNI name. False with a reason when any step fails.
  bool Load(const std::string& path, std::string& error);
  void* Module() const { return module_; }
  // Calls JNI_OnUnload; from then on any JNI call is a violation.
  void Unload();
  // Calls a native method on the current (attached) thread. The receiver is
  // the object, or the class object for a static method.
  Outcome CallNative(Object* receiver, const std::string& method, const std::vector<Value>& args);

  // ---- heap helpers (take the VM lock) ----
  Object* New(const std::string& className);  // no constructor runs
  Object* NewString(const std::string& utf8);
  std::string Utf8(Object* string);
  Object* NewBytes(const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> Bytes(Object* byteArray);
  std::vector<jlong> Longs(Object* longArray);
  Object* NewLongs(const std::vector<jlong>& values);
  Object* NewInts(const std::vector<jint>& values);
  std::vector<jint> Ints(Object* intArray);
  std::vector<jboolean> Booleans(Object* booleanArray);
  Object* NewArray(const std::string& elementDescriptor, const std::vector<Object*>& elements);
  Value Get(Object* o, const std::string& field);
  void Set(Object* o, const std::string& field, Value v);
  Object* Static(const std::string& className, const std::string& field);
  Object* Mirror(const std::string& className);
  std::string ClassOf(Object* o);           // internal name
  std::string Message(Object* throwable);   // detailMessage, "" for none
  void SetFireEvent(std::function<void(JavaCall&, Object* event)> hook);

  // ---- state the tests check ----
  std::vector<std::string> TakeViolations();
  size_t LiveGlobalRefs();
  size_t AttachedThreads();  // the main thread included
  std::vector<Described> TakeDescribed();
  int NativeCalls(const std::string& method);

  // ---- for the JNI functions (VM lock held unless said otherwise) ----
  void Violation(const std::string& what);
  ThreadState* Current();  // the attached state of the calling thread, or null
  Object* Alloc(Klass* k);
  Object* StringL(const std::u16string& s);
  std::string Utf8L(Object* s);
  Object* ThrowableL(Klass* k, Object* message);
  void ThrowL(ThreadState* t, const std::string& className, const std::string& message);
  Klass* FindL(const std::string& name);  // array classes are made on demand
  Klass* ClassOfDescriptor(const std::string& desc);
  jobject NewLocal(ThreadState* t, Object* o, const char* fn);
  jobject NewGlobal(Object* o, Ref::Kind kind);
  Ref* RefOf(const void* handle);  // null when the handle was never made here
  void KillFrame(ThreadState* t, size_t index);
  Method* MethodOf(jmethodID id);
  Field* FieldOf(jfieldID id);
  Field* FieldNamed(Klass* k, const std::string& name, bool isStatic);
  ThreadState* Attach(const std::string& name, bool daemon);
  void Detach(ThreadState* t);

  std::mutex mu;
  std::condition_variable monitorCv;
  bool unloaded = false;
  uint64_t nextFrameId = 1;
  std::map<std::string, std::unique_ptr<Klass>> classes;
  std::deque<std::unique_ptr<Object>> heap;
  std::deque<Ref> refs;
  std::unordered_set<const void*> refSet;
  std::unordered_set<const void*> methodSet, fieldSet;
  std::deque<std::unique_ptr<ThreadState>> threads;  // kept after detach: stale environments are recognised
  std::unordered_set<const void*> envSet;
  std::function<void(JavaCall&, Object*)> fireEvent;
  std::vector<Described> described;

  struct Pin {
    Object* obj = nullptr;
    ThreadState* thread = nullptr;
    char type = 0;           // element type, 'U' modified UTF-8 chars, 'C' for string chars
    bool critical = false;
    bool isString = false;
    uint64_t serial = 0;
    std::vector<uint8_t> storage;  // the copy handed out, followed by a guard
    size_t bytes = 0;
  };
  std::map<const void*, Pin> pins;
  uint64_t pinSerial = 0;
  static constexpr size_t kGuard = 16;
  static constexpr uint8_t kGuardByte = 0xA5;

 private:
  JavaVM vm_;
  void* module_ = nullptr;
  ThreadState* main_ = nullptr;
  std::vector<std::string> violations_;
  size_t violationCount_ = 0;
};

// Signature helpers.
bool ParseMethodSig(const std::string& sig, std::vector<std::string>& params, std::string& ret);
bool ValidFieldDescriptor(const std::string& d);
// Modified UTF-8 (as JNI passes texts) to UTF-16; false when malformed.
bool DecodeModifiedUtf8(const char* s, std::u16string& out);
std::string EncodeModifiedUtf8(const std::u16string& s);
// The JNI export name of a native ("Java_" + mangled class + "_" + mangled method).
std::string JniShortName(const std::string& className, const std::string& method);

// The JNI function table and the invocation interface (JniTable.cpp).
const JNINativeInterface_* JniFunctions();
const JNIInvokeInterface_* InvokeFunctions();

// Calls a native function pointer with arguments shaped by its signature (NativeCall.cpp).
bool InvokeNative(void* fn, JNIEnv* env, jobject receiver, const Method& m, const jvalue* args, jvalue& result);

// The Java classes the library uses (ArdivexClasses.cpp).
void DefineClasses(FakeJvm& jvm);

}  // namespace jnihost
