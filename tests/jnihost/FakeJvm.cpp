#include "FakeJvm.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/modules.h"

namespace jnihost {

namespace {
FakeJvm* g_instance = nullptr;
constexpr size_t kFrameCapacity = 16;        // local references every native call may make
constexpr size_t kViolationsPrinted = 25;    // the rest are counted, not printed
constexpr size_t kViolationsKept = 500;

// UTF-8 as the tests write it, to UTF-16.
std::u16string FromUtf8(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    uint8_t c = static_cast<uint8_t>(s[i]);
    uint32_t cp = 0;
    size_t n = 1;
    if (c < 0x80) cp = c;
    else if ((c >> 5) == 6 && i + 1 < s.size()) cp = (c & 0x1F) << 6 | (s[i + 1] & 0x3F), n = 2;
    else if ((c >> 4) == 14 && i + 2 < s.size()) cp = (c & 0x0F) << 12 | (s[i + 1] & 0x3F) << 6 | (s[i + 2] & 0x3F), n = 3;
    else if ((c >> 3) == 30 && i + 3 < s.size())
      cp = (c & 0x07) << 18 | (s[i + 1] & 0x3F) << 12 | (s[i + 2] & 0x3F) << 6 | (s[i + 3] & 0x3F), n = 4;
    else cp = 0xFFFD;
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string ToUtf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
    if (cp < 0x80) out += static_cast<char>(cp);
    else if (cp < 0x800) out += static_cast<char>(0xC0 | cp >> 6), out += static_cast<char>(0x80 | (cp & 0x3F));
    else if (cp < 0x10000)
      out += static_cast<char>(0xE0 | cp >> 12), out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
          out += static_cast<char>(0x80 | (cp & 0x3F));
    else
      out += static_cast<char>(0xF0 | cp >> 18), out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
          out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// Descriptor parsing: one field type starting at s[i]; i moves past it.
bool OneType(const std::string& s, size_t& i) {
  size_t dims = 0;
  while (i < s.size() && s[i] == '[') ++i, ++dims;
  if (dims > 255 || i >= s.size()) return false;
  switch (s[i]) {
    case 'Z': case 'B': case 'C': case 'S': case 'I': case 'J': case 'F': case 'D':
      ++i;
      return true;
    case 'L': {
      size_t end = s.find(';', i);
      if (end == std::string::npos || end == i + 1) return false;
      for (size_t k = i + 1; k < end; ++k)
        if (s[k] == '.' || s[k] == '[' || (s[k] == '/' && (k == i + 1 || s[k - 1] == '/' || k + 1 == end)))
          return false;
      i = end + 1;
      return true;
    }
    default:
      return false;
  }
}
}  // namespace

Value IntV(jint v) { Value r; r.p.i = v; return r; }
Value LongV(jlong v) { Value r; r.p.j = v; return r; }
Value DoubleV(jdouble v) { Value r; r.p.d = v; return r; }
Value BoolV(bool v) { Value r; r.p.z = v ? JNI_TRUE : JNI_FALSE; return r; }
Value ObjV(Object* o) { Value r; r.o = o; return r; }

bool ValidFieldDescriptor(const std::string& d) {
  size_t i = 0;
  return OneType(d, i) && i == d.size();
}

bool ParseMethodSig(const std::string& sig, std::vector<std::string>& params, std::string& ret) {
  params.clear();
  if (sig.empty() || sig[0] != '(') return false;
  size_t i = 1;
  while (i < sig.size() && sig[i] != ')') {
    size_t start = i;
    if (!OneType(sig, i)) return false;
    params.push_back(sig.substr(start, i - start));
  }
  if (i >= sig.size()) return false;
  ++i;
  if (i < sig.size() && sig[i] == 'V' && i + 1 == sig.size()) {
    ret = "V";
    return true;
  }
  size_t start = i;
  if (!OneType(sig, i) || i != sig.size()) return false;
  ret = sig.substr(start);
  return true;
}

bool DecodeModifiedUtf8(const char* s, std::u16string& out) {
  out.clear();
  const auto* p = reinterpret_cast<const uint8_t*>(s);
  while (*p) {
    uint8_t c = *p;
    if (c < 0x80) {
      out.push_back(c);
      p += 1;
    } else if ((c & 0xE0) == 0xC0) {
      if ((p[1] & 0xC0) != 0x80) return false;
      uint16_t v = static_cast<uint16_t>((c & 0x1F) << 6 | (p[1] & 0x3F));
      if (v < 0x80 && v != 0) return false;  // overlong, except the encoded NUL
      out.push_back(v);
      p += 2;
    } else if ((c & 0xF0) == 0xE0) {
      if ((p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return false;
      uint16_t v = static_cast<uint16_t>((c & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F));
      if (v < 0x800) return false;
      out.push_back(v);
      p += 3;
    } else {
      return false;  // four-byte forms and stray continuation bytes are not modified UTF-8
    }
  }
  return true;
}

std::string EncodeModifiedUtf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c != 0 && c < 0x80) out += static_cast<char>(c);
    else if (c < 0x800) out += static_cast<char>(0xC0 | c >> 6), out += static_cast<char>(0x80 | (c & 0x3F));
    else
      out += static_cast<char>(0xE0 | c >> 12), out += static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
          out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

std::string JniShortName(const std::string& className, const std::string& method) {
  auto mangle = [](const std::string& s) {
    std::string r;
    char hex[8];
    for (unsigned char c : s) {
      if (c == '/') r += '_';
      else if (c == '_') r += "_1";
      else if (c == ';') r += "_2";
      else if (c == '[') r += "_3";
      else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) r += static_cast<char>(c);
      else std::snprintf(hex, sizeof hex, "_0%04x", c), r += hex;
    }
    return r;
  };
  return "Java_" + mangle(className) + "_" + mangle(method);
}

// ---------------------------------------------------------------------------

FakeJvm::FakeJvm() {
  g_instance = this;
  vm_.functions = InvokeFunctions();
  std::lock_guard<std::mutex> g(mu);
  main_ = Attach("main", false);
}

FakeJvm::~FakeJvm() { g_instance = nullptr; }

FakeJvm* FakeJvm::Instance() { return g_instance; }

void FakeJvm::Violation(const std::string& what) {
  ++violationCount_;
  if (violationCount_ <= kViolationsPrinted) std::fprintf(stderr, "JNI VIOLATION: %s\n", what.c_str());
  else if (violationCount_ == kViolationsPrinted + 1) std::fprintf(stderr, "JNI VIOLATION: further ones are counted only\n");
  if (violations_.size() < kViolationsKept) violations_.push_back(what);
  else violations_.back() = "... and more (" + std::to_string(violationCount_) + " in all)";
}

std::vector<std::string> FakeJvm::TakeViolations() {
  std::lock_guard<std::mutex> g(mu);
  std::vector<std::string> r;
  r.swap(violations_);
  return r;
}

ThreadState* FakeJvm::Current() {
  auto id = std::this_thread::get_id();
  for (auto& t : threads)
    if (t->attached && t->id == id) return t.get();
  return nullptr;
}

ThreadState* FakeJvm::Attach(const std::string& name, bool daemon) {
  threads.push_back(std::make_unique<ThreadState>());
  ThreadState* t = threads.back().get();
  t->id = std::this_thread::get_id();
  t->name = name;
  t->daemon = daemon;
  t->attached = true;
  t->box.env.functions = JniFunctions();
  t->box.thread = t;
  envSet.insert(&t->box.env);
  Frame base;
  base.id = nextFrameId++;
  base.capacity = kFrameCapacity;
  base.what = "attached thread " + name;
  t->frames.push_back(base);
  return t;
}

void FakeJvm::Detach(ThreadState* t) {
  if (!t->monitors.empty()) Violation("thread " + t->name + " detached holding monitors it entered with MonitorEnter");
  for (auto& p : pins)
    if (p.second.thread == t)
      Violation("thread " + t->name + " detached without releasing array elements or string characters");
  for (size_t i = t->frames.size(); i-- > 1;)
    if (t->frames[i].pushed) Violation("thread " + t->name + " detached inside a PushLocalFrame never popped");
  if (t->pending) Violation("thread " + t->name + " detached with a Java exception pending (" + t->pending->klass->name + ")");
  while (!t->frames.empty()) KillFrame(t, t->frames.size() - 1);
  t->attached = false;
  t->pending = nullptr;
  t->mustCheck.clear();
}

void FakeJvm::KillFrame(ThreadState* t, size_t index) {
  uint64_t id = t->frames[index].id;
  for (auto it = refs.rbegin(); it != refs.rend(); ++it) {
    if (it->kind == Ref::Local && it->thread == t && it->frame == id) it->live = false;
    if (it->kind == Ref::Local && it->thread == t && it->frame < id) break;  // older frames lie below
  }
  t->frames.erase(t->frames.begin() + static_cast<std::ptrdiff_t>(index));
}

jobject FakeJvm::NewLocal(ThreadState* t, Object* o, const char* fn) {
  if (!o) return nullptr;
  Frame& f = t->frames.back();
  refs.push_back(Ref{Ref::Local, o, t, f.id, true});
  refSet.insert(&refs.back());
  if (++f.live > f.capacity && !f.warned) {
    f.warned = true;
    Violation(std::string(fn) + ": " + std::to_string(f.live) + " local references in the frame of " + f.what +
              ", more than its capacity of " + std::to_string(f.capacity) + " (EnsureLocalCapacity or PushLocalFrame)");
  }
  return reinterpret_cast<jobject>(&refs.back());
}

jobject FakeJvm::NewGlobal(Object* o, Ref::Kind kind) {
  if (!o) return nullptr;
  refs.push_back(Ref{kind, o, nullptr, 0, true});
  refSet.insert(&refs.back());
  return reinterpret_cast<jobject>(&refs.back());
}

Ref* FakeJvm::RefOf(const void* handle) {
  return refSet.count(handle) ? const_cast<Ref*>(static_cast<const Ref*>(handle)) : nullptr;
}

Method* FakeJvm::MethodOf(jmethodID id) {
  return methodSet.count(id) ? reinterpret_cast<Method*>(id) : nullptr;
}

Field* FakeJvm::FieldOf(jfieldID id) { return fieldSet.count(id) ? reinterpret_cast<Field*>(id) : nullptr; }

Field* FakeJvm::FieldNamed(Klass* k, const std::string& name, bool isStatic) {
  for (; k; k = k->super)
    for (auto& f : k->fields)
      if (f->name == name && f->isStatic == isStatic) return f.get();
  return nullptr;
}

Object* FakeJvm::Alloc(Klass* k) {
  heap.push_back(std::make_unique<Object>());
  Object* o = heap.back().get();
  o->klass = k;
  o->fields.resize(k->slots);
  return o;
}

Object* FakeJvm::StringL(const std::u16string& s) {
  Object* o = Alloc(FindL("java/lang/String"));
  o->text = s;
  return o;
}

std::string FakeJvm::Utf8L(Object* s) { return s ? ToUtf8(s->text) : std::string(); }

Object* FakeJvm::ThrowableL(Klass* k, Object* message) {
  Object* e = Alloc(k);
  if (Field* f = FieldNamed(k, "detailMessage", false)) e->fields[f->slot].o = message;
  return e;
}

void FakeJvm::ThrowL(ThreadState* t, const std::string& className, const std::string& message) {
  Klass* k = FindL(className);
  if (!k) {
    Violation("the host has no class " + className + " to throw");
    return;
  }
  t->pending = ThrowableL(k, StringL(FromUtf8(message)));
}

Klass* FakeJvm::FindL(const std::string& name) {
  auto it = classes.find(name);
  if (it != classes.end()) return it->second.get();
  if (name.size() < 2 || name[0] != '[' || !ValidFieldDescriptor(name)) return nullptr;
  std::string comp = name.substr(1);
  if (comp[0] == 'L' && !FindL(comp.substr(1, comp.size() - 2))) return nullptr;
  if (comp[0] == '[' && !FindL(comp)) return nullptr;
  auto k = std::make_unique<Klass>();
  k->name = name;
  k->super = FindL("java/lang/Object");
  k->component = comp;
  Klass* raw = k.get();
  classes[name] = std::move(k);
  raw->mirror = Alloc(FindL("java/lang/Class"));
  raw->mirror->mirrorOf = raw;
  return raw;
}

Klass* FakeJvm::ClassOfDescriptor(const std::string& d) {
  if (d.empty()) return nullptr;
  if (d[0] == 'L') return FindL(d.substr(1, d.size() - 2));
  if (d[0] == '[') return FindL(d);
  return nullptr;
}

// ---- class definition ----

Klass& FakeJvm::Define(const std::string& name, const std::string& super, bool isAbstract) {
  std::lock_guard<std::mutex> g(mu);
  auto k = std::make_unique<Klass>();
  k->name = name;
  k->isAbstract = isAbstract;
  if (!super.empty()) {
    k->super = FindL(super);
    if (!k->super) std::fprintf(stderr, "jnihost: superclass %s of %s is not defined\n", super.c_str(), name.c_str());
    else k->slots = k->super->slots;
  }
  Klass* raw = k.get();
  classes[name] = std::move(k);
  // Every class gets its Class object once java/lang/Class exists (it is
  // defined right after java/lang/Object).
  if (Klass* cls = FindL("java/lang/Class"))
    for (auto& c : classes)
      if (!c.second->mirror) {
        c.second->mirror = Alloc(cls);
        c.second->mirror->mirrorOf = c.second.get();
      }
  return *raw;
}

Field& FakeJvm::AddField(Klass& k, const std::string& name, const std::string& sig, bool isStatic) {
  std::lock_guard<std::mutex> g(mu);
  auto f = std::make_unique<Field>();
  f->owner = &k;
  f->name = name;
  f->sig = sig;
  f->isStatic = isStatic;
  if (isStatic) {
    f->slot = k.statics.size();
    k.statics.emplace_back();
  } else {
    f->slot = k.slots++;
  }
  fieldSet.insert(f.get());
  k.fields.push_back(std::move(f));
  return *k.fields.back();
}

Method& FakeJvm::AddMethod(Klass& k, const std::string& name, const std::string& sig, JavaBody body, bool isStatic) {
  std::lock_guard<std::mutex> g(mu);
  auto m = std::make_unique<Method>();
  m->owner = &k;
  m->name = name;
  m->sig = sig;
  if (!ParseMethodSig(sig, m->params, m->ret)) std::fprintf(stderr, "jnihost: bad signature %s\n", sig.c_str());
  m->isStatic = isStatic;
  m->body = std::move(body);
  methodSet.insert(m.get());
  k.methods.push_back(std::move(m));
  return *k.methods.back();
}

Method& FakeJvm::AddNative(Klass& k, const std::string& name, const std::string& sig, bool isStatic) {
  Method& m = AddMethod(k, name, sig, nullptr, isStatic);
  m.isNative = true;
  return m;
}

Klass& FakeJvm::DefineEnum(const std::string& name, const std::vector<std::string>& constants) {
  Klass& k = Define(name, "java/lang/Enum");
  std::vector<Field*> fields;
  for (const auto& c : constants) fields.push_back(&AddField(k, c, "L" + name + ";", true));
  std::lock_guard<std::mutex> g(mu);
  Field* nameField = FieldNamed(&k, "name", false);
  Field* ordinalField = FieldNamed(&k, "ordinal", false);
  for (size_t i = 0; i < constants.size(); ++i) {
    Object* o = Alloc(&k);
    o->fields[nameField->slot].o = StringL(FromUtf8(constants[i]));
    o->fields[ordinalField->slot].p.i = static_cast<jint>(i);
    k.statics[fields[i]->slot].o = o;
  }
  return k;
}

Klass& FakeJvm::DefineThrowable(const std::string& name, const std::string& super, bool withDefaultConstructor) {
  Klass& k = Define(name, super);
  AddMethod(k, "<init>", "(Ljava/lang/String;)V", [](JavaCall& c) {
    c.jvm.Set(c.self, "detailMessage", c.args[0]);
    return Value{};
  });
  if (withDefaultConstructor) AddMethod(k, "<init>", "()V", [](JavaCall&) { return Value{}; });
  return k;
}

Klass* FakeJvm::Find(const std::string& name) {
  std::lock_guard<std::mutex> g(mu);
  return FindL(name);
}

std::vector<Method*> FakeJvm::Natives() {
  std::lock_guard<std::mutex> g(mu);
  std::vector<Method*> r;
  for (auto& k : classes)
    for (auto& m : k.second->methods)
      if (m->isNative) r.push_back(m.get());
  return r;
}

// ---- the library ----

bool FakeJvm::Load(const std::string& path, std::string& error) {
  module_ = plat::LoadModule(path, true);
  if (!module_) {
    error = "cannot load " + path;
    return false;
  }
  using OnLoad = jint(JNICALL*)(JavaVM*, void*);
  if (auto onLoad = reinterpret_cast<OnLoad>(plat::GetSymbol(module_, "JNI_OnLoad"))) {
    jint version = onLoad(&vm_, nullptr);
    const jint known[] = {JNI_VERSION_1_2, JNI_VERSION_1_4, JNI_VERSION_1_6, JNI_VERSION_1_8, JNI_VERSION_9,
                          JNI_VERSION_10};
    if (std::find(std::begin(known), std::end(known), version) == std::end(known)) {
      error = "JNI_OnLoad returned the unsupported version " + std::to_string(version);
      return false;
    }
  }
  for (Method* m : Natives()) {
    std::string name = JniShortName(m->owner->name, m->name);
    m->native = plat::GetSymbol(module_, name.c_str());
    if (!m->native) {
      error = "UnsatisfiedLinkError: " + name;
      return false;
    }
  }
  return true;
}

void FakeJvm::Unload() {
  using OnUnload = void(JNICALL*)(JavaVM*, void*);
  if (auto onUnload = reinterpret_cast<OnUnload>(plat::GetSymbol(module_, "JNI_OnUnload"))) onUnload(&vm_, nullptr);
  std::lock_guard<std::mutex> g(mu);
  unloaded = true;
}

Outcome FakeJvm::CallNative(Object* receiver, const std::string& method, const std::vector<Value>& args) {
  Outcome out;
  std::unique_lock<std::mutex> lock(mu);
  ThreadState* t = Current();
  if (!t) {
    Violation("test error: " + method + " called on a thread that is not attached");
    return out;
  }
  Method* m = nullptr;
  Klass* k = receiver ? (receiver->mirrorOf ? receiver->mirrorOf : receiver->klass) : nullptr;
  for (Klass* c = k; c && !m; c = c->super)
    for (auto& x : c->methods)
      if (x->isNative && x->name == method) m = x.get();
  if (!m && receiver && receiver->mirrorOf)  // an instance native called on a Class object
    for (auto& x : receiver->klass->methods)
      if (x->isNative && x->name == method) m = x.get();
  if (!m || !m->native || m->params.size() != args.size()) {
    Violation("test error: no bound native " + method + " taking " + std::to_string(args.size()) + " arguments");
    return out;
  }
  // The receiver of a static native is its class; of an instance native, an instance.
  if (m->isStatic ? receiver->mirrorOf != m->owner : !receiver->klass) {
    Violation("test error: wrong receiver for " + method);
    return out;
  }
  Frame f;
  f.id = nextFrameId++;
  f.capacity = kFrameCapacity;
  f.native = true;
  f.what = m->owner->name + "." + m->name;
  t->frames.push_back(f);
  const size_t frameIndex = t->frames.size() - 1;
  const auto monitorsBefore = t->monitors;
  const uint64_t pinsBefore = pinSerial;
  jobject recv = NewLocal(t, receiver, "call");
  std::vector<jvalue> jargs(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    char c = m->params[i][0];
    if (c == 'L' || c == '[') jargs[i].l = NewLocal(t, args[i].o, "call");
    else jargs[i] = args[i].p;
  }
  t->nativeDepth++;
  lock.unlock();
  jvalue r{};
  bool called = InvokeNative(m->native, &t->box.env, recv, *m, jargs.data(), r);
  lock.lock();
  t->nativeDepth--;
  if (!called) Violation("the host cannot call a native of signature " + m->sig);
  const std::string who = f.what;
  while (t->frames.size() > frameIndex + 1) {
    Violation(who + " returned inside a PushLocalFrame it never popped");
    KillFrame(t, t->frames.size() - 1);
  }
  if (t->frames.size() != frameIndex + 1 || t->frames.back().id != f.id) {
    Violation(who + " popped the frame of its own call");
    return out;
  }
  if (t->monitors != monitorsBefore) Violation(who + " returned without leaving the monitors it entered");
  for (auto it = pins.begin(); it != pins.end();) {
    if (it->second.thread == t && it->second.serial > pinsBefore) {
      Violation(who + " returned without releasing " + (it->second.isString ? "string characters" : "array elements"));
      it = pins.erase(it);
    } else {
      ++it;
    }
  }
  if (t->criticals) {
    Violation(who + " returned inside a critical region");
    t->criticals = 0;
  }
  if (m->ret == "Z" && r.z != JNI_TRUE && r.z != JNI_FALSE)
    Violation(who + " returned the boolean " + std::to_string(r.z) + ", neither JNI_TRUE nor JNI_FALSE");
  if (m->ret[0] == 'L' || m->ret[0] == '[') {
    if (r.l) {
      Ref* ref = RefOf(r.l);
      if (!ref || !ref->live || (ref->kind == Ref::Local && ref->thread != t))
        Violation(who + " returned a reference that is not valid");
      else out.value.o = ref->obj;
    }
  } else if (m->ret != "V") {
    out.value.p = r;
  }
  if (t->pending && out.value.o) Violation(who + " returned a result while throwing");
  KillFrame(t, frameIndex);
  out.thrown = t->pending;
  t->pending = nullptr;
  t->mustCheck.clear();
  ++m->calls;
  return out;
}

// ---- heap helpers ----

Object* FakeJvm::New(const std::string& className) {
  std::lock_guard<std::mutex> g(mu);
  Klass* k = FindL(className);
  return k ? Alloc(k) : nullptr;
}

Object* FakeJvm::NewString(const std::string& utf8) {
  std::lock_guard<std::mutex> g(mu);
  return StringL(FromUtf8(utf8));
}

std::string FakeJvm::Utf8(Object* s) {
  std::lock_guard<std::mutex> g(mu);
  return Utf8L(s);
}

Object* FakeJvm::NewBytes(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> g(mu);
  Object* a = Alloc(FindL("[B"));
  a->prim = bytes;
  a->length = static_cast<jsize>(bytes.size());
  return a;
}

std::vector<uint8_t> FakeJvm::Bytes(Object* a) {
  std::lock_guard<std::mutex> g(mu);
  if (!a || a->klass->name != "[B") return {};
  return a->prim;
}

namespace {
template <class T>
void FillPrimitive(Object* a, const std::vector<T>& values) {
  a->prim.resize(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(a->prim.data(), values.data(), a->prim.size());
  a->length = static_cast<jsize>(values.size());
}

template <class T>
std::vector<T> ReadPrimitive(Object* a, const char* arrayClass) {
  if (!a || a->klass->name != arrayClass) return {};
  std::vector<T> out(a->prim.size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), a->prim.data(), out.size() * sizeof(T));
  return out;
}
}  // namespace

std::vector<jlong> FakeJvm::Longs(Object* a) {
  std::lock_guard<std::mutex> g(mu);
  return ReadPrimitive<jlong>(a, "[J");
}

Object* FakeJvm::NewLongs(const std::vector<jlong>& values) {
  std::lock_guard<std::mutex> g(mu);
  Object* a = Alloc(FindL("[J"));
  FillPrimitive(a, values);
  return a;
}

Object* FakeJvm::NewInts(const std::vector<jint>& values) {
  std::lock_guard<std::mutex> g(mu);
  Object* a = Alloc(FindL("[I"));
  FillPrimitive(a, values);
  return a;
}

std::vector<jint> FakeJvm::Ints(Object* a) {
  std::lock_guard<std::mutex> g(mu);
  return ReadPrimitive<jint>(a, "[I");
}

std::vector<jboolean> FakeJvm::Booleans(Object* a) {
  std::lock_guard<std::mutex> g(mu);
  return ReadPrimitive<jboolean>(a, "[Z");
}

Object* FakeJvm::NewArray(const std::string& element, const std::vector<Object*>& elements) {
  std::lock_guard<std::mutex> g(mu);
  Object* a = Alloc(FindL("[" + element));
  a->elems = elements;
  a->length = static_cast<jsize>(elements.size());
  return a;
}

Value FakeJvm::Get(Object* o, const std::string& field) {
  std::lock_guard<std::mutex> g(mu);
  Field* f = o ? FieldNamed(o->klass, field, false) : nullptr;
  if (!f) {
    Violation("test error: no field " + field);
    return {};
  }
  return o->fields[f->slot];
}

void FakeJvm::Set(Object* o, const std::string& field, Value v) {
  std::lock_guard<std::mutex> g(mu);
  Field* f = o ? FieldNamed(o->klass, field, false) : nullptr;
  if (!f) {
    Violation("test error: no field " + field);
    return;
  }
  o->fields[f->slot] = v;
}

Object* FakeJvm::Static(const std::string& className, const std::string& field) {
  std::lock_guard<std::mutex> g(mu);
  Klass* k = FindL(className);
  Field* f = k ? FieldNamed(k, field, true) : nullptr;
  return f ? f->owner->statics[f->slot].o : nullptr;
}

Object* FakeJvm::Mirror(const std::string& className) {
  std::lock_guard<std::mutex> g(mu);
  Klass* k = FindL(className);
  return k ? k->mirror : nullptr;
}

std::string FakeJvm::ClassOf(Object* o) {
  std::lock_guard<std::mutex> g(mu);
  return o ? o->klass->name : std::string();
}

std::string FakeJvm::Message(Object* e) {
  std::lock_guard<std::mutex> g(mu);
  Field* f = e ? FieldNamed(e->klass, "detailMessage", false) : nullptr;
  return f ? Utf8L(e->fields[f->slot].o) : std::string();
}

void FakeJvm::SetFireEvent(std::function<void(JavaCall&, Object*)> hook) {
  std::lock_guard<std::mutex> g(mu);
  fireEvent = std::move(hook);
}

size_t FakeJvm::LiveGlobalRefs() {
  std::lock_guard<std::mutex> g(mu);
  return static_cast<size_t>(std::count_if(refs.begin(), refs.end(), [](const Ref& r) {
    return r.live && r.kind != Ref::Local;
  }));
}

size_t FakeJvm::AttachedThreads() {
  std::lock_guard<std::mutex> g(mu);
  return static_cast<size_t>(std::count_if(threads.begin(), threads.end(), [](auto& t) { return t->attached; }));
}

std::vector<Described> FakeJvm::TakeDescribed() {
  std::lock_guard<std::mutex> g(mu);
  std::vector<Described> r;
  r.swap(described);
  return r;
}

int FakeJvm::NativeCalls(const std::string& method) {
  std::lock_guard<std::mutex> g(mu);
  int n = 0;
  for (auto& k : classes)
    for (auto& m : k.second->methods)
      if (m->isNative && m->name == method) n += m->calls;
  return n;
}

void JavaCall::Throw(const std::string& className, const std::string& message) {
  std::lock_guard<std::mutex> g(jvm.mu);
  jvm.ThrowL(&thread, className, message);
}

}  // namespace jnihost
