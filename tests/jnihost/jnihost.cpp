// jnihost: loads the dactylink library into the fake VM the way a JVM loads it
// for the ardivex classes, and calls every export through it: JNI_OnLoad, the
// image, template, record and extraction natives with their error exceptions, the
// scanner natives against the Tavoro simulator run as a separate process (events
// arrive through Scanner.fireEvent on a thread the library attaches), and
// JNI_OnUnload. Any JNI misuse the VM records fails the run, and so does a
// global reference the library still holds at the end.
//
// Usage: jnihost   (the library, the plug-in, the engine and tavoro-sim lie
// beside the program)
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FakeJvm.h"
#include "SimProcess.h"
#include "fpsynth/fpsynth.h"
#include "platform/modules.h"

namespace {

using namespace jnihost;
namespace fs = std::filesystem;

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  if (ok) return;
  ++g_failures;
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
}

// Progress on the standard output, so that a run that hangs shows where.
void Step(const std::string& what) {
  static const auto start = std::chrono::steady_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  std::printf("jnihost: [%5.1f s] %s\n", static_cast<double>(ms.count()) / 1000, what.c_str());
  std::fflush(stdout);
}

// Every violation the VM recorded since the last call fails the named step.
void NoViolations(FakeJvm& jvm, const std::string& step) {
  for (const auto& v : jvm.TakeViolations()) Check(false, step + ": JNI misuse: " + v);
}

std::string Folder() {
  std::string exe = plat::MainModulePath();
  return exe.substr(0, exe.find_last_of("/\\") + 1);
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The outcome of a call that must throw `className` with a message containing `text`.
void Throws(FakeJvm& jvm, const Outcome& o, const std::string& className, const std::string& text,
            const std::string& what) {
  if (!o.thrown) return Check(false, what + ": no exception");
  const std::string got = jvm.ClassOf(o.thrown), message = jvm.Message(o.thrown);
  Check(got == className, what + ": threw " + got + " (" + message + "), expected " + className);
  Check(message.find(text) != std::string::npos, what + ": message \"" + message + "\" lacks \"" + text + "\"");
}

void Returns(FakeJvm& jvm, const Outcome& o, const std::string& what) {
  if (o.thrown) Check(false, what + ": threw " + jvm.ClassOf(o.thrown) + " (" + jvm.Message(o.thrown) + ")");
}

Object* NewImage(FakeJvm& jvm, jint w, jint h, const std::vector<uint8_t>& pixels) {
  Object* img = jvm.New("ardivex/images/NImage");
  jvm.Set(img, "width", IntV(w));
  jvm.Set(img, "height", IntV(h));
  jvm.Set(img, "buffer", ObjV(jvm.NewBytes(pixels)));
  return img;
}

fpsynth::Fingerprint Finger(fpsynth::Pattern pattern = fpsynth::Pattern::LeftLoop, uint64_t seed = 7) {
  fpsynth::Params p;
  p.width = 320;
  p.height = 360;
  p.pattern = pattern;
  p.fast = true;
  return fpsynth::Generate(p, seed);
}

// ---- the VM's own strictness ----

// A VM that let misuse pass would let the library's pass too: each misuse
// below, made through the same tables the library gets, must be recorded.
void Strictness(FakeJvm& jvm) {
  JNIEnv* env = nullptr;
  Check(jvm.Vm()->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_6) == JNI_OK && env, "GetEnv on the main thread");
  if (!env) return;
  auto expect = [&](const std::string& misuse) {
    Check(!jvm.TakeViolations().empty(), "the VM let this pass: " + misuse);
  };
  if (env->PushLocalFrame(16) != JNI_OK) return Check(false, "PushLocalFrame");
  jclass runtime = env->FindClass("java/lang/RuntimeException");
  env->ThrowNew(runtime, "pending");
  env->FindClass("java/lang/String");
  expect("a call while an exception is pending");
  env->ExceptionClear();

  jstring str = env->NewStringUTF("text");
  env->DeleteLocalRef(str);
  env->GetStringLength(str);
  expect("a deleted local reference");

  jclass image = env->FindClass("ardivex/images/NImage");
  env->GetFieldID(image, "width", "I;");
  expect("a malformed field signature");
  env->ExceptionClear();
  jfieldID buffer = env->GetFieldID(image, "buffer", "[B");
  jobject img = env->AllocObject(image);
  env->GetIntField(img, buffer);
  expect("an int read of an array field");
  jfieldID width = env->GetFieldID(image, "width", "I");
  env->GetIntField(env->AllocObject(runtime), width);
  expect("a field ID used on an object of another class");

  jmethodID getMessage = env->GetMethodID(runtime, "getMessage", "()Ljava/lang/String;");
  jobject e = env->AllocObject(runtime);
  env->CallObjectMethod(e, getMessage);
  env->FindClass("java/lang/String");
  expect("no exception check after a Call function");
  env->GetMethodID(runtime, "getMessage", "()I");
  Check(env->ExceptionCheck() == JNI_TRUE, "a method of the wrong signature is not found");
  env->ExceptionClear();

  const size_t globals = jvm.LiveGlobalRefs();
  jobject g = env->NewGlobalRef(img);
  Check(jvm.LiveGlobalRefs() == globals + 1, "global references are counted");
  env->DeleteGlobalRef(g);
  env->DeleteGlobalRef(g);
  expect("a global reference deleted twice");
  env->PopLocalFrame(nullptr);
  env->GetObjectClass(img);
  expect("a local reference of a popped frame");
  NoViolations(jvm, "strictness");
}

// ---- images ----

void Images(FakeJvm& jvm, const fpsynth::Fingerprint& fp) {
  // saveBMP, then loadBMP into a fresh image: the same picture comes back.
  Object* src = NewImage(jvm, fp.width, fp.height, fp.pixels);
  Outcome saved = jvm.CallNative(src, "saveBMP", {});
  Returns(jvm, saved, "saveBMP");
  std::vector<uint8_t> bmp = jvm.Bytes(saved.Obj());
  Check(bmp.size() > 1078 && bmp[0] == 'B' && bmp[1] == 'M', "saveBMP gives a BMP file");
  Object* back = jvm.New("ardivex/images/NImage");
  Returns(jvm, jvm.CallNative(back, "loadBMP", {ObjV(jvm.NewBytes(bmp))}), "loadBMP of a saved BMP");
  Check(jvm.Get(back, "width").p.i == fp.width && jvm.Get(back, "height").p.i == fp.height,
        "loadBMP gives the size that was saved");
  Check(jvm.Bytes(jvm.Get(back, "buffer").o) == fp.pixels, "loadBMP gives the pixels that were saved");
  // A width that is not a multiple of four pads the rows in the file.
  std::vector<uint8_t> odd{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  Outcome small = jvm.CallNative(NewImage(jvm, 5, 2, odd), "saveBMP", {});
  Returns(jvm, small, "saveBMP of 5 x 2");
  Object* smallBack = jvm.New("ardivex/images/NImage");
  Returns(jvm, jvm.CallNative(smallBack, "loadBMP", {ObjV(small.Obj())}), "loadBMP of 5 x 2");
  Check(jvm.Bytes(jvm.Get(smallBack, "buffer").o) == odd, "a padded 5 x 2 image comes back as it was");
  // An empty image is a valid BMP as well.
  Returns(jvm, jvm.CallNative(NewImage(jvm, 0, 0, {}), "saveBMP", {}), "saveBMP of an empty image");
  NoViolations(jvm, "image round trips");

  // Errors: loadBMP reports every failure as "Wrong file format" and leaves
  // the receiver as it was.
  Object* kept = NewImage(jvm, 2, 1, {7, 9});
  Throws(jvm, jvm.CallNative(kept, "loadBMP", {ObjV(nullptr)}), "java/lang/Exception", "Wrong file format",
         "loadBMP(null)");
  std::vector<uint8_t> cut(bmp.begin(), bmp.begin() + 500);
  Throws(jvm, jvm.CallNative(kept, "loadBMP", {ObjV(jvm.NewBytes(cut))}), "java/lang/Exception", "Wrong file format",
         "loadBMP of a file cut inside its colour table");
  Throws(jvm, jvm.CallNative(kept, "loadBMP", {ObjV(jvm.NewBytes({'B', 'M', 0, 1}))}), "java/lang/Exception",
         "Wrong file format", "loadBMP of a header alone");
  Check(jvm.Get(kept, "width").p.i == 2 && jvm.Bytes(jvm.Get(kept, "buffer").o) == std::vector<uint8_t>{7, 9},
        "a failed loadBMP leaves the image as it was");
  Throws(jvm, jvm.CallNative(NewImage(jvm, -3, 2, {}), "saveBMP", {}), "java/lang/Exception", "Invalid image size",
         "saveBMP of a negative width");
  Throws(jvm, jvm.CallNative(NewImage(jvm, 4, 4, {1, 2, 3}), "saveBMP", {}), "java/lang/Exception",
         "Image buffer holds 3 bytes", "saveBMP of a short buffer");
  Object* noBuffer = NewImage(jvm, 2, 2, {});
  jvm.Set(noBuffer, "buffer", ObjV(nullptr));
  Throws(jvm, jvm.CallNative(noBuffer, "saveBMP", {}), "java/lang/Exception", "no buffer", "saveBMP without buffer");
  Throws(jvm, jvm.CallNative(NewImage(jvm, 70000, 70000, {}), "saveBMP", {}), "java/lang/Exception", "too large",
         "saveBMP of an image too large for a BMP");
  NoViolations(jvm, "image errors");
}

// ---- extraction and templates ----

struct ItemKind {
  jint kind;
  const char* cls;
};
const ItemKind kKinds[] = {{0, "ardivex/templates/NFMinutia"},
                           {1, "ardivex/templates/NFCore"},
                           {2, "ardivex/templates/NFDelta"},
                           {3, "ardivex/templates/NFDoubleCore"}};

Object* Extract(FakeJvm& jvm, Object* extractor, Object* image, const char* format, const char* size,
                const std::string& what) {
  Outcome o = jvm.CallNative(extractor, "innerExtract",
                             {ObjV(image), ObjV(jvm.Static("ardivex/fingers/NFMinutiaFormat", format)),
                              ObjV(jvm.Static("ardivex/fingers/NFTemplateSize", size))});
  Returns(jvm, o, what);
  return o.Obj();
}

// Returns the templates of `fp` and of another finger, for the matching step.
std::pair<std::vector<uint8_t>, std::vector<uint8_t>> Templates(FakeJvm& jvm, const fpsynth::Fingerprint& fp) {
  Object* x = jvm.New("ardivex/fingers/NFExtractor");
  Outcome created = jvm.CallNative(x, "innerCreateExtractor", {});
  Returns(jvm, created, "innerCreateExtractor (OmExtract beside the library)");
  Check(created.Long() != 0, "innerCreateExtractor gives a handle");
  jvm.Set(x, "handle", LongV(created.Long()));

  Object* image = NewImage(jvm, fp.width, fp.height, fp.pixels);
  Object* data = Extract(jvm, x, image, "EXTENDED", "FULL", "innerExtract");
  std::vector<uint8_t> bytes = jvm.Bytes(data);
  Check(bytes.size() > 26, "innerExtract gives a template (" + std::to_string(bytes.size()) + " bytes)");
  // The same image with the same settings gives the same template.
  Check(jvm.Bytes(Extract(jvm, x, image, "EXTENDED", "FULL", "innerExtract again")) == bytes,
        "a second extraction of the same image gives the same template");
  Extract(jvm, x, image, "BASIC", "SMALL", "innerExtract, basic and small");
  NoViolations(jvm, "extraction");

  Object* record = jvm.New("ardivex/templates/NFRecord");
  jvm.Set(record, "data", ObjV(data));
  int total = 0;
  for (const ItemKind& k : kKinds) {
    Outcome count = jvm.CallNative(record, "innerGetItemCount", {IntV(k.kind)});
    Returns(jvm, count, "innerGetItemCount");
    const jint n = count.Int();
    Check(n >= 0, std::string("innerGetItemCount of ") + k.cls);
    total += n;
    if (n <= 0) continue;
    auto arrayOf = [&](const std::vector<Object*>& elements) {
      return ObjV(jvm.NewArray(std::string("L") + k.cls + ";", elements));
    };
    std::vector<Object*> items;
    for (jint i = 0; i < n; ++i) items.push_back(jvm.New(k.cls));
    Value array = arrayOf(items);
    Returns(jvm, jvm.CallNative(record, "innerFillItems", {IntV(k.kind), array}), "innerFillItems");
    for (Object* it : items) {
      jint px = jvm.Get(it, "X").p.i, py = jvm.Get(it, "Y").p.i;
      Check(px >= 0 && py >= 0 && px < fp.width && py < fp.height,
            std::string(k.cls) + " at (" + std::to_string(px) + ", " + std::to_string(py) + ") outside the image");
    }
    if (k.kind == 0) {
      std::set<jint> types;
      for (Object* it : items) types.insert(jvm.Get(it, "type").p.i);
      Check(!types.empty() && *types.begin() >= 0 && *types.rbegin() <= 3, "minutia types set through setType");
    }
    // An array shorter than the count, or with a null element, is refused before any item is filled.
    Object* first = jvm.New(k.cls);
    std::vector<Object*> shortItems{first};
    if (n > 1) {
      Throws(jvm, jvm.CallNative(record, "innerFillItems", {IntV(k.kind), arrayOf(shortItems)}), "java/lang/Exception",
             "Items array holds 1 elements", "innerFillItems with a short array");
      Check(jvm.Get(first, "X").p.i == 0 && jvm.Get(first, "Y").p.i == 0, "a refused fill touches no item");
    }
    std::vector<Object*> withNull = items;
    withNull.back() = nullptr;
    Throws(jvm, jvm.CallNative(record, "innerFillItems", {IntV(k.kind), arrayOf(withNull)}), "java/lang/Exception",
           "is null", "innerFillItems with a null item");
  }
  Check(jvm.CallNative(record, "innerGetItemCount", {IntV(0)}).Int() > 10, "the finger has minutiae");
  Check(total > 0, "the template holds items");
  // Kinds the template does not know, and a record without data, hold nothing.
  Check(jvm.CallNative(record, "innerGetItemCount", {IntV(9)}).Int() <= 0, "an unknown kind counts nothing");
  Object* empty = jvm.New("ardivex/templates/NFRecord");
  Returns(jvm, jvm.CallNative(empty, "innerGetItemCount", {IntV(0)}), "innerGetItemCount without data");
  Returns(jvm, jvm.CallNative(empty, "innerFillItems", {IntV(0), ObjV(nullptr)}), "innerFillItems(null)");
  NoViolations(jvm, "templates");

  // Extraction errors.
  Throws(jvm,
         jvm.CallNative(x, "innerExtract",
                        {ObjV(nullptr), ObjV(jvm.Static("ardivex/fingers/NFMinutiaFormat", "EXTENDED")),
                         ObjV(jvm.Static("ardivex/fingers/NFTemplateSize", "FULL"))}),
         "java/lang/Exception", "The image is null", "innerExtract(null image)");
  Throws(jvm,
         jvm.CallNative(x, "innerExtract",
                        {ObjV(NewImage(jvm, 100, 100, std::vector<uint8_t>(99))),
                         ObjV(jvm.Static("ardivex/fingers/NFMinutiaFormat", "EXTENDED")),
                         ObjV(jvm.Static("ardivex/fingers/NFTemplateSize", "FULL"))}),
         "java/lang/Exception", "holds 99 bytes", "innerExtract of a short buffer");
  Object* stale = jvm.New("ardivex/fingers/NFExtractor");
  jvm.Set(stale, "handle", LongV(0x1234));
  Throws(jvm,
         jvm.CallNative(stale, "innerExtract",
                        {ObjV(image), ObjV(jvm.Static("ardivex/fingers/NFMinutiaFormat", "EXTENDED")),
                         ObjV(jvm.Static("ardivex/fingers/NFTemplateSize", "FULL"))}),
         "java/lang/Exception", "Invalid extractor handle", "innerExtract with a handle never given out");
  NoViolations(jvm, "extraction errors");

  const fpsynth::Fingerprint other = Finger(fpsynth::Pattern::Whorl, 8);
  return {bytes, jvm.Bytes(Extract(jvm, x, NewImage(jvm, other.width, other.height, other.pixels), "EXTENDED", "FULL",
                                   "innerExtract of another finger"))};
}

// ---- matching ----

void Matching(FakeJvm& jvm, const std::vector<uint8_t>& mine, const std::vector<uint8_t>& other) {
  Object* matcher = jvm.Mirror("ardivex/matching/NFMatcher");
  Object* base = jvm.Mirror("ardivex/matching/FingerprintBase");
  const char* kException = "ardivex/matching/MatchingException";
  auto verify = [&](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, const std::string& what) {
    Outcome o = jvm.CallNative(matcher, "innerVerify", {ObjV(jvm.NewBytes(a)), ObjV(jvm.NewBytes(b))});
    Returns(jvm, o, what);
    return o.Int();
  };
  const jint strict = jvm.CallNative(matcher, "innerThreshold", {DoubleV(1e-4)}).Int();
  const jint loose = jvm.CallNative(matcher, "innerThreshold", {DoubleV(1e-2)}).Int();
  Check(strict > 0 && loose > 0 && strict >= loose,
        "thresholds: 1e-4 gives " + std::to_string(strict) + ", 1e-2 gives " + std::to_string(loose));
  const jint self = verify(mine, mine, "innerVerify of a template with itself");
  const jint cross = verify(mine, other, "innerVerify of two fingers");
  Check(self > strict, "a template against itself scores " + std::to_string(self) + ", threshold(1e-4) is " +
                           std::to_string(strict));
  Check(cross < loose, "two fingers score " + std::to_string(cross) + ", threshold(1e-2) is " + std::to_string(loose));
  Check(verify(other, mine, "innerVerify the other way") == cross, "the score is symmetric");
  NoViolations(jvm, "verify");

  // Malformed templates and nulls become MatchingException, never a crash.
  const std::vector<uint8_t> truncated(mine.begin(), mine.begin() + 40);
  Throws(jvm, jvm.CallNative(matcher, "innerVerify", {ObjV(jvm.NewBytes(mine)), ObjV(jvm.NewBytes(truncated))}),
         kException, "run past its end", "innerVerify of a truncated template");
  Throws(jvm, jvm.CallNative(matcher, "innerVerify", {ObjV(jvm.NewBytes({})), ObjV(jvm.NewBytes(mine))}), kException,
         "The probe is not a valid NFRecord template: it is empty", "innerVerify of an empty template");
  Outcome checked = jvm.CallNative(matcher, "innerCheck", {ObjV(jvm.NewBytes(mine))});
  Returns(jvm, checked, "innerCheck of a template");
  Check(checked.Int() == mine[24], "innerCheck gives the minutia count");
  Throws(jvm, jvm.CallNative(matcher, "innerCheck", {ObjV(jvm.NewBytes(truncated))}), kException, "run past its end",
         "NFMatcher.innerCheck of a truncated template");
  Throws(jvm, jvm.CallNative(matcher, "innerVerify", {ObjV(nullptr), ObjV(jvm.NewBytes(mine))}), kException,
         "The probe template is null", "innerVerify(null, ...)");
  Throws(jvm, jvm.CallNative(base, "innerPrepare", {ObjV(jvm.NewBytes(truncated)), IntV(3)}), kException,
         "run past its end", "innerPrepare of a truncated template");
  const jint least = jvm.CallNative(base, "innerLeastMinutiae", {}).Int();
  Check(least >= 2, "innerLeastMinutiae gives " + std::to_string(least));
  Throws(jvm, jvm.CallNative(base, "innerPrepare", {ObjV(jvm.NewBytes(mine)), IntV(255)}), kException,
         "the matcher needs at least 255", "innerPrepare of a template with too few minutiae");
  NoViolations(jvm, "verify errors");

  // The native gallery behind FingerprintBase.
  Outcome created = jvm.CallNative(base, "innerCreate", {});
  Returns(jvm, created, "innerCreate");
  const jlong gallery = created.Long();
  Check(gallery != 0, "innerCreate gives a handle");
  // A base's opening: 11 and 12 added; an id already there, bytes that are
  // not a template and a null one left out.
  Outcome loaded = jvm.CallNative(
      base, "innerAddAll",
      {LongV(gallery), ObjV(jvm.NewLongs({11, 12, 11, 15, 16})),
       ObjV(jvm.NewArray("[B", {jvm.NewBytes(mine), jvm.NewBytes(other), jvm.NewBytes(other), jvm.NewBytes({1, 2, 3}), nullptr}))});
  Returns(jvm, loaded, "innerAddAll");
  Check(jvm.Booleans(loaded.Obj()) == std::vector<jboolean>{1, 1, 0, 0, 0},
        "innerAddAll adds the templates and leaves out a repeated id, bytes that are not a template and null");
  Throws(jvm, jvm.CallNative(base, "innerAddAll", {LongV(gallery), ObjV(jvm.NewLongs({17})), ObjV(jvm.NewArray("[B", {}))}),
         kException, "do not agree", "innerAddAll of more ids than templates");
  Outcome pending = jvm.CallNative(base, "innerKeysPending", {LongV(gallery)});
  Returns(jvm, pending, "innerKeysPending");
  Check(pending.Long() == 0, "a small gallery has no filter keys pending: it is searched in full");
  Throws(jvm, jvm.CallNative(base, "innerKeysPending", {LongV(0)}), kException, "closed", "innerKeysPending of a closed base");
  auto identify = [&](const std::string& what) {
    Outcome o = jvm.CallNative(base, "innerIdentify", {LongV(gallery), ObjV(jvm.NewBytes(mine)), IntV(5), IntV(strict)});
    Returns(jvm, o, what);
    return jvm.Longs(o.Obj());
  };
  const std::vector<jlong> found = identify("innerIdentify");
  Check(found.size() == 2 && found[0] == 11 && found[1] == self,
        "innerIdentify finds only template 11, with its score against itself");
  // Changes in one batch: 13 added, 11 removed, 12 added again fails there.
  Outcome prepared = jvm.CallNative(base, "innerPrepare", {ObjV(jvm.NewBytes(other)), IntV(least)});
  Returns(jvm, prepared, "innerPrepare");
  Object* ids = jvm.NewLongs({13, 11, 12, 14});
  Object* blocks = jvm.NewArray("[B", {prepared.Obj(), nullptr, prepared.Obj(), prepared.Obj()});
  Object* progress = jvm.NewInts({0});
  Throws(jvm, jvm.CallNative(base, "innerApply", {LongV(gallery), ObjV(ids), ObjV(blocks), ObjV(progress)}),
         kException, "already in the gallery", "innerApply of an id already there");
  Check(jvm.Ints(progress) == std::vector<jint>{2}, "innerApply reports the change that failed");
  progress = jvm.NewInts({3});
  Returns(jvm, jvm.CallNative(base, "innerApply", {LongV(gallery), ObjV(ids), ObjV(blocks), ObjV(progress)}),
          "innerApply of the rest");
  Check(jvm.Ints(progress) == std::vector<jint>{4}, "innerApply reports every change made");
  Throws(jvm,
         jvm.CallNative(base, "innerApply",
                        {LongV(gallery), ObjV(jvm.NewLongs({15})), ObjV(jvm.NewArray("[B", {jvm.NewBytes(mine)})),
                         ObjV(jvm.NewInts({0}))}),
         kException, "not one this library made", "innerApply of a block innerPrepare did not make");
  Throws(jvm,
         jvm.CallNative(base, "innerApply", {LongV(gallery), ObjV(ids), ObjV(blocks), ObjV(jvm.NewInts({9}))}),
         kException, "do not agree", "innerApply starting past the end");
  Check(identify("innerIdentify after the removal").empty(), "nothing found once the template is removed");
  Returns(jvm, jvm.CallNative(base, "innerDestroy", {LongV(gallery)}), "innerDestroy");
  Throws(jvm, jvm.CallNative(base, "innerIdentify", {LongV(0), ObjV(jvm.NewBytes(mine)), IntV(5), IntV(0)}), kException,
         "The fingerprint base is closed", "innerIdentify on a closed base");
  NoViolations(jvm, "gallery");
}

// ---- finger minutiae records ----

void MinutiaeRecords(FakeJvm& jvm, const std::vector<uint8_t>& mine, const std::vector<uint8_t>& other) {
  Object* records = jvm.Mirror("ardivex/templates/FingerMinutiaeRecord");
  Object* matcher = jvm.Mirror("ardivex/matching/NFMatcher");
  const char* kException = "ardivex/templates/MinutiaeRecordException";
  auto call = [&](const char* native, std::vector<Value> args, const std::string& what) {
    Outcome o = jvm.CallNative(records, native, std::move(args));
    Returns(jvm, o, what);
    return o;
  };
  auto score = [&](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    return jvm.CallNative(matcher, "innerVerify", {ObjV(jvm.NewBytes(a)), ObjV(jvm.NewBytes(b))}).Int();
  };
  // The template to ISO (everything from the template) and to ANSI (a finger named).
  const std::vector<uint8_t> iso = jvm.Bytes(call("innerExport", {ObjV(jvm.NewBytes(mine)), IntV(0), ObjV(nullptr)},
                                                  "innerExport to ISO").Obj());
  std::vector<jint> options(11, -1);
  options[3] = 2;  // right index finger
  const std::vector<uint8_t> ansi = jvm.Bytes(
      call("innerExport", {ObjV(jvm.NewBytes(mine)), IntV(1), ObjV(jvm.NewInts(options))}, "innerExport to ANSI").Obj());
  Check(iso.size() > 30 && std::string(iso.begin(), iso.begin() + 8) == std::string("FMR\0 20\0", 8),
        "innerExport gives an ISO record");
  Check(ansi.size() == iso.size() + 2 && ansi[26] == 2, "innerExport gives an ANSI record of the finger named");
  Check(call("innerDetect", {ObjV(jvm.NewBytes(iso))}, "innerDetect of ISO").Int() == 0, "the ISO record detected");
  Check(call("innerDetect", {ObjV(jvm.NewBytes(ansi))}, "innerDetect of ANSI").Int() == 1, "the ANSI record detected");
  const std::vector<uint8_t> fromIso =
      jvm.Bytes(call("innerImport", {ObjV(jvm.NewBytes(iso)), IntV(0), IntV(0)}, "innerImport of ISO").Obj());
  const std::vector<uint8_t> fromAnsi =
      jvm.Bytes(call("innerImport", {ObjV(jvm.NewBytes(ansi)), IntV(-1), IntV(0)}, "innerImport, detected").Obj());
  const jint strict = jvm.CallNative(matcher, "innerThreshold", {DoubleV(1e-4)}).Int();
  const jint loose = jvm.CallNative(matcher, "innerThreshold", {DoubleV(1e-2)}).Int();
  Check(score(mine, fromIso) >= strict && score(mine, fromAnsi) >= strict && score(fromIso, fromAnsi) >= strict,
        "the template and its imported ISO and ANSI records match at threshold(1e-4)");
  Check(score(fromIso, other) < loose, "an imported record does not match another finger");
  NoViolations(jvm, "minutiae records");

  auto refused = [&](const char* native, std::vector<Value> args, const std::string& text, const std::string& what) {
    Throws(jvm, jvm.CallNative(records, native, std::move(args)), kException, text, what);
  };
  refused("innerDetect", {ObjV(jvm.NewBytes(mine))}, "not a finger minutiae record", "innerDetect of an NFRecord");
  refused("innerImport", {ObjV(jvm.NewBytes(iso)), IntV(0), IntV(1)}, "there is no view 1", "innerImport of view 1");
  refused("innerImport", {ObjV(jvm.NewBytes(ansi)), IntV(0), IntV(0)}, "is an ANSI INCITS 378-2004 record",
          "innerImport of ANSI as ISO");
  const std::vector<uint8_t> cut(iso.begin(), iso.end() - 1);
  refused("innerImport", {ObjV(jvm.NewBytes(cut)), IntV(-1), IntV(0)}, "disagrees", "innerImport of a cut record");
  refused("innerImport", {ObjV(nullptr), IntV(0), IntV(0)}, "The record is null", "innerImport(null)");
  refused("innerExport", {ObjV(jvm.NewBytes(mine)), IntV(0), ObjV(jvm.NewInts({1}))}, "options array holds 1 values",
          "innerExport with a short options array");
  refused("innerExport", {ObjV(jvm.NewBytes(mine)), IntV(5), ObjV(nullptr)}, "Unknown record format 5",
          "innerExport to an unknown format");
  refused("innerExport", {ObjV(jvm.NewBytes({1, 2, 3})), IntV(0), ObjV(nullptr)}, "Not a valid NFRecord template",
          "innerExport of three bytes");
  NoViolations(jvm, "minutiae record errors");
}

// ---- scanners ----

const char* const kSerials[] = {"12AB34CD", "00C0FFEE"};
constexpr int kWidth = 256, kHeight = 360;
constexpr auto kWait = std::chrono::seconds(30);

// What the test's fireEvent hook saw.
struct Events {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::vector<uint8_t>> images;
  std::vector<std::string> problems;
  int throwNext = 0;  // events whose listener fails
  std::set<std::string> threads;
  std::set<jlong> from;  // handles of the scanners that delivered
};

void InstallListener(FakeJvm& jvm, Events& ev, std::thread::id mainThread) {
  jvm.SetFireEvent([&ev, &jvm, mainThread](JavaCall& c, Object* event) {
    std::string problem;
    const jlong handle = c.self ? jvm.Get(c.self, "handle").p.j : 0;
    if (std::this_thread::get_id() == mainThread) problem = "fireEvent ran on the thread that started capturing";
    Object* kind = event ? jvm.Get(event, "kind").o : nullptr;
    if (!kind || kind != jvm.Static("ardivex/scanners/Scanner$ScanEventKind", "ImageScanned"))
      problem = "an event that is not ImageScanned";
    Object* image = event ? jvm.Get(event, "image").o : nullptr;
    std::vector<uint8_t> pixels;
    if (!image) {
      problem = "an event without an image";
    } else {
      if (jvm.Get(image, "width").p.i != kWidth || jvm.Get(image, "height").p.i != kHeight)
        problem = "an image of the wrong size";
      pixels = jvm.Bytes(jvm.Get(image, "buffer").o);
    }
    bool fail = false;
    {
      std::lock_guard<std::mutex> g(ev.mu);
      if (!problem.empty()) ev.problems.push_back(problem);
      ev.threads.insert(c.thread.name);
      ev.from.insert(handle);
      if (ev.images.size() < 16) ev.images.push_back(std::move(pixels));  // bounded: delivery goes on meanwhile
      if (ev.throwNext > 0) {
        --ev.throwNext;
        fail = true;
      }
    }
    ev.cv.notify_all();
    if (fail) c.Throw("java/lang/RuntimeException", "listener failed on purpose");
  });
}

bool WaitImages(Events& ev, size_t n) {
  std::unique_lock<std::mutex> g(ev.mu);
  return ev.cv.wait_for(g, kWait, [&] { return ev.images.size() >= n; });
}

// Every image the simulator served for a sensor, in order.
std::vector<std::string> Served(const fs::path& dumps, int sensor) {
  std::vector<std::string> r;
  for (int n = 0;; ++n) {
    fs::path p = dumps / ("sensor" + std::to_string(sensor) + "-" + std::to_string(n) + ".raw");
    if (!fs::exists(p)) return r;
    r.push_back(ReadFile(p));
  }
}

bool StartSimulator(SimProcess& sim, const std::string& folder, const fs::path& dumps, const fs::path& log) {
  // It ends by itself when the host is stopped before it could end it.
  std::vector<std::string> args{"--sensors=2", "--log", "--seconds=110",
                                "--size=" + std::to_string(kWidth) + "x" + std::to_string(kHeight), "--fast", "--finger-after=1",
                                "--dump=" + dumps.string()};
  for (int i = 0; i < 2; ++i) args.push_back("--sensor" + std::to_string(i) + "-serial=" + kSerials[i]);
  std::string error;
  const bool windows = plat::ModuleSuffix() == std::string(".dll");
  if (!sim.Start(folder + (windows ? "tavoro-sim.exe" : "tavoro-sim"), args,
                 log.string(), error)) {
    Check(false, error);
    return false;
  }
  // Its "serving" line tells that the pipes exist.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ReadFile(log).find("serving 2 sensor") == std::string::npos) {
    if (!sim.Running() || std::chrono::steady_clock::now() > end) {
      Check(false, "the simulator did not start serving: " + ReadFile(log));
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// How many teardowns ScannerMan was told of.
jlong Teardowns(FakeJvm& jvm) {
  Klass* man = jvm.Find("ardivex/scanners/ScannerMan");
  std::lock_guard<std::mutex> g(jvm.mu);
  return man->statics[jvm.FieldNamed(man, "teardowns", true)->slot].p.j;
}

Object* ScannerObject(FakeJvm& jvm, jlong handle) {
  Object* s = jvm.New("ardivex/scanners/Scanner");
  jvm.Set(s, "handle", LongV(handle));
  return s;
}

void Scanners(FakeJvm& jvm, SimProcess& sim, Events& ev, const std::string& folder, const fs::path& work) {
  const fs::path dumps = work / "dumps", log = work / "tavoro-sim.log";
  fs::remove_all(dumps);
  fs::create_directories(dumps);
  if (!StartSimulator(sim, folder, dumps, log)) return;
  Object* man = jvm.Mirror("ardivex/scanners/ScannerMan");

  Step("listing the readers");
  Outcome count = jvm.CallNative(man, "innerGetScannerCount", {});
  Returns(jvm, count, "innerGetScannerCount");
  Check(count.Int() == 2, "innerGetScannerCount is " + std::to_string(count.Int()) + ", expected 2");
  std::vector<Object*> scanners;
  std::set<std::string> ids;
  for (jint i = 0; i < 2; ++i) {
    Outcome h = jvm.CallNative(man, "innerGetScanner", {IntV(i)});
    Returns(jvm, h, "innerGetScanner");
    Check(h.Long() != 0, "innerGetScanner gives a handle for reader " + std::to_string(i));
    Check(jvm.CallNative(man, "innerGetScanner", {IntV(i)}).Long() == h.Long(), "the same reader, the same handle");
    scanners.push_back(ScannerObject(jvm, h.Long()));
    Outcome id = jvm.CallNative(scanners.back(), "innerGetID", {LongV(h.Long())});
    Returns(jvm, id, "innerGetID");
    ids.insert(jvm.Utf8(id.Obj()));
  }
  for (const char* s : kSerials)
    Check(ids.count(std::string("Tavoro\\") + s) == 1, std::string("no reader Tavoro\\") + s);
  Check(jvm.CallNative(man, "innerGetScanner", {IntV(2)}).Long() == 0, "no handle past the last reader");
  Check(jvm.CallNative(man, "innerGetScanner", {IntV(-1)}).Long() == 0, "no handle for a negative index");
  NoViolations(jvm, "listing");

  Step("capturing from one reader");
  // Capturing: images arrive through fireEvent on an attached thread; a
  // listener that throws is reported and the next image still comes.
  InstallListener(jvm, ev, std::this_thread::get_id());
  Object* s = scanners[0];
  const jlong handle = jvm.Get(s, "handle").p.j;
  const std::string id = jvm.Utf8(jvm.CallNative(s, "innerGetID", {LongV(handle)}).Obj());
  const int sensor = id == std::string("Tavoro\\") + kSerials[0] ? 0 : 1;
  const size_t globalsBefore = jvm.LiveGlobalRefs();
  {
    std::lock_guard<std::mutex> g(ev.mu);
    ev.throwNext = 1;
  }
  Returns(jvm, jvm.CallNative(s, "innerStartCapturing", {LongV(handle)}), "innerStartCapturing");
  Check(jvm.CallNative(s, "innerIsCapturing", {LongV(handle)}).Bool(), "capturing after the start");
  // The run holds the scanner and its checked event class.
  const size_t globalsCapturing = jvm.LiveGlobalRefs();
  Check(globalsCapturing > globalsBefore && globalsCapturing <= globalsBefore + 2,
        "global references to the capturing scanner and its event class only");
  Returns(jvm, jvm.CallNative(s, "innerStartCapturing", {LongV(handle)}), "a second innerStartCapturing");
  Check(jvm.LiveGlobalRefs() == globalsCapturing, "a second start takes no further global reference");
  Check(WaitImages(ev, 3), "three images delivered through fireEvent within 30 s each");
  Check(jvm.AttachedThreads() >= 2, "events come on a thread attached to the VM");
  Step("stopping");
  Returns(jvm, jvm.CallNative(s, "innerStopCapturing", {LongV(handle)}), "innerStopCapturing");
  Check(!jvm.CallNative(s, "innerIsCapturing", {LongV(handle)}).Bool(), "not capturing after the stop");
  Check(jvm.AttachedThreads() == 1, "the event thread detached when capturing stopped");
  Check(jvm.LiveGlobalRefs() == globalsBefore, "the scanner's global reference deleted when capturing stopped");
  {
    std::lock_guard<std::mutex> g(ev.mu);
    for (const auto& p : ev.problems) Check(false, p);
    std::vector<std::string> served = Served(dumps, sensor);
    for (const auto& img : ev.images)
      Check(std::find(served.begin(), served.end(), std::string(img.begin(), img.end())) != served.end(),
            "a delivered image that the simulator never served");
    Check(ev.threads.count("main") == 0, "events never come on the main thread");
    ev.images.clear();
    ev.from.clear();
  }
  auto described = jvm.TakeDescribed();
  Check(described.size() == 1 && described[0].className == "java.lang.RuntimeException" &&
            described[0].message == "listener failed on purpose",
        "the listener's exception is described once on the event thread");
  NoViolations(jvm, "capturing");

  Step("capturing from the other reader, then uninitialize");
  // Each reader in turn (the second reader still capturing when uninitialize comes).
  Object* other = scanners[1];
  Returns(jvm, jvm.CallNative(other, "innerStartCapturing", {jvm.Get(other, "handle")}),
          "innerStartCapturing of the other reader");
  Check(WaitImages(ev, 2), "images from the other reader");
  {
    std::lock_guard<std::mutex> g(ev.mu);
    Check(ev.from.count(jvm.Get(other, "handle").p.j) == 1, "the other reader's events name it");
  }
  const jlong teardownsBefore = Teardowns(jvm);
  Returns(jvm, jvm.CallNative(man, "uninitialize", {}), "uninitialize while capturing");
  Check(jvm.AttachedThreads() == 1, "uninitialize ends the event threads");
  Check(Teardowns(jvm) == teardownsBefore + 1, "uninitialize tells ScannerMan once that the scanners are released");
  {
    std::lock_guard<std::mutex> g(ev.mu);  // no event thread is left to add more
    ev.images.clear();
    ev.from.clear();
  }
  Check(jvm.LiveGlobalRefs() == globalsBefore, "uninitialize deletes the scanners' global references");
  NoViolations(jvm, "uninitialize");

  Step("scanner errors");
  // Errors: handles the library never gave out, or of scanners uninitialize
  // ended; the message says which, in words.
  for (jlong bad : {jlong{0}, jlong{0x10}, handle}) {
    const std::string h = " of handle " + std::to_string(bad);
    const std::string why = bad == handle
                                ? "The scanner of " + id + " was released by ScannerMan.uninitialize()"
                                : "No scanner has the handle " + std::to_string(bad) + "; scanners come from ScannerMan";
    Object* b = ScannerObject(jvm, bad);
    for (const char* native : {"innerIsCapturing", "innerGetID", "innerStartCapturing", "innerStopCapturing"})
      Throws(jvm, jvm.CallNative(b, native, {LongV(bad)}), "ardivex/scanners/ScanManException", why, native + h);
  }
  Check(jvm.LiveGlobalRefs() == globalsBefore, "failed starts keep no global reference");
  NoViolations(jvm, "scanner errors");

  Step("a capture left running for JNI_OnUnload");
  Outcome h = jvm.CallNative(man, "innerGetScanner", {IntV(0)});
  Returns(jvm, jvm.CallNative(ScannerObject(jvm, h.Long()), "innerStartCapturing", {LongV(h.Long())}),
          "innerStartCapturing left running");
  Check(WaitImages(ev, 1), "an image from the capture left running");
  {
    std::lock_guard<std::mutex> g(ev.mu);
    Check(ev.from.count(h.Long()) == 1, "the capture left running delivers through its own scanner");
  }
  jvm.SetFireEvent(nullptr);
}

}  // namespace

int main() {
  const std::string folder = Folder();
  const fs::path work = fs::path(folder) / "jnihost-work";
  fs::create_directories(work);

  FakeJvm jvm;
  DefineClasses(jvm);
  Step("the VM's own checks (the misuses printed next are made on purpose)");
  Strictness(jvm);
  std::string error;
  const bool windows = plat::ModuleSuffix() == std::string(".dll");
  if (!jvm.Load(folder + (windows ? "dactylink.dll" : "libdactylink.so"), error)) {
    std::fprintf(stderr, "FAILED: %s\n", error.c_str());
    return 1;
  }
  NoViolations(jvm, "JNI_OnLoad");
  const size_t globalsAtLoad = jvm.LiveGlobalRefs();

  const fpsynth::Fingerprint fp = Finger();
  Step("images");
  Images(jvm, fp);
  Step("extraction and templates");
  const auto templates = Templates(jvm, fp);
  Step("matching");
  Matching(jvm, templates.first, templates.second);
  Step("finger minutiae records");
  MinutiaeRecords(jvm, templates.first, templates.second);
  Step("starting the simulator");
  // Both outlive the event threads, which a capture left running keeps until JNI_OnUnload.
  SimProcess sim;
  Events events;
  Scanners(jvm, sim, events, folder, work);

  Step("JNI_OnUnload");
  jvm.Unload();
  Step("done");
  sim.Stop(0);
  Check(jvm.AttachedThreads() == 1, "JNI_OnUnload ends the event threads");
  NoViolations(jvm, "JNI_OnUnload");
  Check(jvm.LiveGlobalRefs() == globalsAtLoad,
        "global references left after JNI_OnUnload: " + std::to_string(jvm.LiveGlobalRefs() - globalsAtLoad));
  for (const char* n : {"loadBMP", "saveBMP", "innerGetItemCount", "innerFillItems", "innerCreateExtractor",
                        "innerExtract", "innerGetScannerCount", "innerGetScanner", "uninitialize", "innerStartCapturing",
                        "innerStopCapturing", "innerIsCapturing", "innerGetID", "innerVerify", "innerThreshold",
                        "innerCheck", "innerPrepare", "innerLeastMinutiae", "innerCreate", "innerDestroy", "innerAddAll", "innerKeysPending",
                        "innerApply", "innerIdentify", "innerDetect", "innerExport", "innerImport"})
    Check(jvm.NativeCalls(n) > 0, std::string("the native ") + n + " was never called");

  if (g_failures) {
    std::fprintf(stderr, "jnihost: %d failure(s)\n", g_failures);
    return 1;
  }
  std::printf("jnihost: every export called, no JNI misuse, no global reference left\n");
  return 0;
}
