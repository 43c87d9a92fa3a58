// The classes of the fake VM's class path: the few java.lang classes JNI
// needs, and the ardivex classes as java/src declares them (fields, the
// constructors and methods the library calls, and the native methods).
// Access is not modelled: JNI reaches private and package members alike, and
// most of what the library calls by name is private in Java.
#include <cstdint>
#include <limits>
#include <mutex>

#include "FakeJvm.h"

namespace jnihost {
namespace {

Value Nothing(JavaCall&) { return Value{}; }

std::string DottedName(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c == '/') c = '.';
  return r;
}

void DefineJavaLang(FakeJvm& jvm) {
  Klass& object = jvm.Define("java/lang/Object", "");
  jvm.AddMethod(object, "<init>", "()V", Nothing);
  Klass& cls = jvm.Define("java/lang/Class", "java/lang/Object");
  jvm.AddMethod(cls, "getName", "()Ljava/lang/String;", [](JavaCall& c) {
    // Array classes keep their descriptor form: "[B", "[Lardivex.templates.NFCore;".
    return ObjV(c.jvm.NewString(DottedName(c.self->mirrorOf->name)));
  });
  jvm.Define("java/lang/String", "java/lang/Object");

  Klass& e = jvm.Define("java/lang/Enum", "java/lang/Object", true);
  jvm.AddField(e, "name", "Ljava/lang/String;");
  jvm.AddField(e, "ordinal", "I");
  jvm.AddMethod(e, "ordinal", "()I", [](JavaCall& c) { return c.jvm.Get(c.self, "ordinal"); });
  jvm.AddMethod(e, "name", "()Ljava/lang/String;", [](JavaCall& c) { return c.jvm.Get(c.self, "name"); });

  Klass& t = jvm.DefineThrowable("java/lang/Throwable", "java/lang/Object");
  jvm.AddField(t, "detailMessage", "Ljava/lang/String;");
  jvm.AddMethod(t, "getMessage", "()Ljava/lang/String;", [](JavaCall& c) { return c.jvm.Get(c.self, "detailMessage"); });
  const char* tree[][2] = {
      {"java/lang/Exception", "java/lang/Throwable"},
      {"java/lang/RuntimeException", "java/lang/Exception"},
      {"java/lang/InstantiationException", "java/lang/Exception"},
      {"java/lang/ArithmeticException", "java/lang/RuntimeException"},
      {"java/lang/ArrayStoreException", "java/lang/RuntimeException"},
      {"java/lang/IllegalMonitorStateException", "java/lang/RuntimeException"},
      {"java/lang/NegativeArraySizeException", "java/lang/RuntimeException"},
      {"java/lang/NullPointerException", "java/lang/RuntimeException"},
      {"java/lang/IndexOutOfBoundsException", "java/lang/RuntimeException"},
      {"java/lang/ArrayIndexOutOfBoundsException", "java/lang/IndexOutOfBoundsException"},
      {"java/lang/StringIndexOutOfBoundsException", "java/lang/IndexOutOfBoundsException"},
      {"java/lang/Error", "java/lang/Throwable"},
      {"java/lang/LinkageError", "java/lang/Error"},
      {"java/lang/NoClassDefFoundError", "java/lang/LinkageError"},
      {"java/lang/IncompatibleClassChangeError", "java/lang/LinkageError"},
      {"java/lang/NoSuchFieldError", "java/lang/IncompatibleClassChangeError"},
      {"java/lang/NoSuchMethodError", "java/lang/IncompatibleClassChangeError"},
      {"java/lang/VirtualMachineError", "java/lang/Error"},
      {"java/lang/OutOfMemoryError", "java/lang/VirtualMachineError"},
  };
  for (auto& d : tree) jvm.DefineThrowable(d[0], d[1]);
}

void DefineScanners(FakeJvm& jvm) {
  // Only the (String) constructor, as in ScanManException.java.
  jvm.DefineThrowable("ardivex/scanners/ScanManException", "java/lang/RuntimeException", false);

  Klass& man = jvm.Define("ardivex/scanners/ScannerMan", "java/lang/Object");
  jvm.AddMethod(man, "<init>", "()V", Nothing);
  jvm.AddNative(man, "innerGetScannerCount", "()I", true);
  jvm.AddNative(man, "innerGetScanner", "(I)J", true);
  jvm.AddNative(man, "uninitialize", "()V", true);
  // The library's call back once a teardown is complete; it counts them here.
  Field& teardowns = jvm.AddField(man, "teardowns", "J", true);
  jvm.AddMethod(
      man, "released", "()V",
      [&man, slot = teardowns.slot](JavaCall& c) {
        std::lock_guard<std::mutex> g(c.jvm.mu);
        man.statics[slot].p.j++;
        return Value{};
      },
      true);

  jvm.DefineEnum("ardivex/scanners/Scanner$ScanEventKind", {"ImageScanned"});

  Klass& image = jvm.Define("ardivex/scanners/Scanner$ScanImage", "java/lang/Object");
  jvm.AddField(image, "width", "I");
  jvm.AddField(image, "height", "I");
  jvm.AddField(image, "buffer", "[B");
  jvm.AddMethod(image, "<init>", "(II)V", [](JavaCall& c) {
    const int64_t n = int64_t{c.args[0].p.i} * c.args[1].p.i;  // Math.multiplyExact
    if (n > std::numeric_limits<jint>::max() || n < std::numeric_limits<jint>::min()) {
      c.Throw("java/lang/ArithmeticException", "integer overflow");
    } else if (n < 0) {
      c.Throw("java/lang/NegativeArraySizeException", std::to_string(n));
    } else {
      c.jvm.Set(c.self, "width", c.args[0]);
      c.jvm.Set(c.self, "height", c.args[1]);
      c.jvm.Set(c.self, "buffer", ObjV(c.jvm.NewBytes(std::vector<uint8_t>(static_cast<size_t>(n)))));
    }
    return Value{};
  });

  Klass& event = jvm.Define("ardivex/scanners/Scanner$ScanEvent", "java/lang/Object");
  jvm.AddField(event, "kind", "Lardivex/scanners/Scanner$ScanEventKind;");
  jvm.AddField(event, "image", "Lardivex/scanners/Scanner$ScanImage;");
  jvm.AddMethod(event, "<init>", "()V", Nothing);

  // Java's constructor also asks innerGetID for the reader's identifier; the
  // tests make their Scanner objects without a constructor and call it themselves.
  Klass& scanner = jvm.Define("ardivex/scanners/Scanner", "java/lang/Object");
  jvm.AddField(scanner, "handle", "J");
  jvm.AddField(scanner, "id", "Ljava/lang/String;");
  jvm.AddMethod(scanner, "<init>", "(J)V", [](JavaCall& c) {
    c.jvm.Set(c.self, "handle", c.args[0]);
    return Value{};
  });
  // Called by the event thread when no image came for a while: the run then
  // waits with a time limit, the path the real classes take.
  jvm.AddMethod(scanner, "fireIdle", "()V", Nothing);
  jvm.AddNative(scanner, "innerStartCapturing", "(J)V");
  jvm.AddNative(scanner, "innerStopCapturing", "(J)V");
  jvm.AddNative(scanner, "innerIsCapturing", "(J)Z");
  jvm.AddNative(scanner, "innerGetID", "(J)Ljava/lang/String;");
  struct {
    const char* method;
    const char* result;
  } getters[] = {{"getEventClass", "ardivex/scanners/Scanner$ScanEvent"},
                 {"getEventKindClass", "ardivex/scanners/Scanner$ScanEventKind"},
                 {"getImageClass", "ardivex/scanners/Scanner$ScanImage"}};
  for (auto& g : getters) {
    std::string result = g.result;
    jvm.AddMethod(
        scanner, g.method, "()Ljava/lang/Class;", [result](JavaCall& c) { return ObjV(c.jvm.Mirror(result)); }, true);
  }
  // Scanner.fireEvent hands the event to whatever the test installed.
  jvm.AddMethod(scanner, "fireEvent", "(Lardivex/scanners/Scanner$ScanEvent;)V", [](JavaCall& c) {
    std::function<void(JavaCall&, Object*)> hook;
    {
      std::lock_guard<std::mutex> g(c.jvm.mu);
      hook = c.jvm.fireEvent;
    }
    if (hook) hook(c, c.args[0].o);
    return Value{};
  });
}

void DefineImagesAndTemplates(FakeJvm& jvm) {
  Klass& image = jvm.Define("ardivex/images/NImage", "java/lang/Object");
  jvm.AddField(image, "width", "I");
  jvm.AddField(image, "height", "I");
  jvm.AddField(image, "buffer", "[B");
  jvm.AddMethod(image, "<init>", "()V", [](JavaCall& c) {
    c.jvm.Set(c.self, "buffer", ObjV(c.jvm.NewBytes({})));
    return Value{};
  });
  jvm.AddNative(image, "loadBMP", "([B)V");
  jvm.AddNative(image, "saveBMP", "()[B");

  Klass& record = jvm.Define("ardivex/templates/NFRecord", "java/lang/Object");
  jvm.AddField(record, "data", "[B");
  const char* kinds[] = {"KIND_MINUTIAE", "KIND_CORES", "KIND_DELTAS", "KIND_DOUBLE_CORES"};
  for (jint i = 0; i < 4; ++i) {
    Field& f = jvm.AddField(record, kinds[i], "I", true);
    record.statics[f.slot].p.i = i;
  }
  jvm.AddMethod(record, "<init>", "([B)V", [](JavaCall& c) {
    c.jvm.Set(c.self, "data", c.args[0]);
    return Value{};
  });
  jvm.AddNative(record, "innerGetItemCount", "(I)I");
  jvm.AddNative(record, "innerFillItems", "(I[Ljava/lang/Object;)V");

  struct Item {
    const char* name;
    std::vector<const char*> fields;
  } items[] = {{"ardivex/templates/NFMinutia", {"X", "Y", "Angle", "Quality", "Curvature", "G", "type"}},
               {"ardivex/templates/NFCore", {"X", "Y", "Angle"}},
               {"ardivex/templates/NFDelta", {"X", "Y", "Angle1", "Angle2", "Angle3"}},
               {"ardivex/templates/NFDoubleCore", {"X", "Y"}}};
  for (auto& it : items) {
    Klass& k = jvm.Define(it.name, "java/lang/Object");
    for (const char* f : it.fields) jvm.AddField(k, f, "I");
    jvm.AddMethod(k, "<init>", "()V", Nothing);
  }
  Klass& minutia = *jvm.Find("ardivex/templates/NFMinutia");
  jvm.AddMethod(minutia, "setType", "(I)V", [](JavaCall& c) {
    c.jvm.Set(c.self, "type", c.args[0]);
    return Value{};
  });
  jvm.DefineEnum("ardivex/templates/NFMinutiaType", {"RIDGE_ENDING", "BIFURCATION", "OTHER", "UNKNOWN"});

  // Only the (String) constructor, as in MinutiaeRecordException.java.
  jvm.DefineThrowable("ardivex/templates/MinutiaeRecordException", "java/lang/Exception", false);
  Klass& records = jvm.Define("ardivex/templates/FingerMinutiaeRecord", "java/lang/Object");
  jvm.AddNative(records, "innerDetect", "([B)I", true);
  jvm.AddNative(records, "innerExport", "([BI[I)[B", true);
  jvm.AddNative(records, "innerImport", "([BII)[B", true);
}

void DefineFingers(FakeJvm& jvm) {
  jvm.DefineEnum("ardivex/fingers/NFMinutiaFormat", {"BASIC", "WITH_QUALITY", "EXTENDED"});
  jvm.DefineEnum("ardivex/fingers/NFTemplateSize", {"SMALL", "MEDIUM", "LARGE", "FULL"});
  Klass& x = jvm.Define("ardivex/fingers/NFExtractor", "java/lang/Object");
  jvm.AddField(x, "handle", "J");
  jvm.AddNative(x, "innerCreateExtractor", "()J");
  jvm.AddNative(x, "innerExtract",
                "(Lardivex/images/NImage;Lardivex/fingers/NFMinutiaFormat;Lardivex/fingers/NFTemplateSize;)[B");
}

void DefineMatching(FakeJvm& jvm) {
  jvm.DefineThrowable("ardivex/matching/MatchingException", "java/lang/Exception", false);
  Klass& matcher = jvm.Define("ardivex/matching/NFMatcher", "java/lang/Object");
  jvm.AddNative(matcher, "innerVerify", "([B[B)I", true);
  jvm.AddNative(matcher, "innerThreshold", "(D)I", true);
  jvm.AddNative(matcher, "innerCheck", "([B)I", true);
  Klass& base = jvm.Define("ardivex/matching/FingerprintBase", "java/lang/Object");
  jvm.AddNative(base, "innerPrepare", "([BI)[B", true);
  jvm.AddNative(base, "innerLeastMinutiae", "()I", true);
  jvm.AddNative(base, "innerCreate", "()J", true);
  jvm.AddNative(base, "innerDestroy", "(J)V", true);
  jvm.AddNative(base, "innerAddAll", "(J[J[[B)[Z", true);
  jvm.AddNative(base, "innerKeysPending", "(J)J", true);
  jvm.AddNative(base, "innerApply", "(J[J[[B[I)V", true);
  jvm.AddNative(base, "innerIdentify", "(J[BII)[J", true);
}

}  // namespace

void DefineClasses(FakeJvm& jvm) {
  DefineJavaLang(jvm);
  DefineScanners(jvm);
  DefineImagesAndTemplates(jvm);
  DefineFingers(jvm);
  DefineMatching(jvm);
}

}  // namespace jnihost
