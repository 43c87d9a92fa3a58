// The engine's C interface: defaults, extraction, and the template object.
#include <cstdint>
#include <cstring>
#include <new>

#include "config.h"
#include "extractor.h"
#include "nfrecord.h"

#if defined(_WIN32)
#define OMX_EXPORT extern "C" __declspec(dllexport)
#else
#define OMX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using omx::TOmExtractorConfiguration;

// The host calls the operations through untyped object pointers.
using ReleaseFn = void (*)(void*);
using ExportFn = int32_t (*)(void*, uint8_t*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, bool, bool);

struct Ops {
  ReleaseFn release;
  ReleaseFn unused1;
  ReleaseFn unused2;
  ExportFn exportRecord;
};

// The host sees only the first word, a pointer to the operations.
struct Template {
  const Ops* ops;
  omx::Features features;
};

void Release(void* t) { delete static_cast<Template*>(t); }
void Unused(void*) {}

int32_t Export(void* object, uint8_t* buffer, int32_t width, int32_t height, int32_t hres, int32_t vres, int32_t format,
               int32_t size, bool singular, bool extra) {
  auto* t = static_cast<Template*>(object);
  if (!t) return 0;
  omx::ExportOptions o;
  o.width = width;
  o.height = height;
  o.hres = hres;
  o.vres = vres;
  o.format = format;
  o.size = size;
  o.singular = singular;
  o.extra = extra;
  return static_cast<int32_t>(omx::WriteNFRecord(t->features, o, buffer));
}

const Ops kOps = {&Release, &Unused, &Unused, &Export};

}  // namespace

// The record passes as an untyped pointer, as the host declares it.
OMX_EXPORT void GetDefaultConfig(void* config) {
  if (config) *static_cast<TOmExtractorConfiguration*>(config) = omx::DefaultConfig();
}

OMX_EXPORT void* ExtractMinutiae(const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t resolution,
                                 void* config, uint16_t skeleton, uint16_t* work) {
  try {
    auto* t = new Template{&kOps, {}};
    TOmExtractorConfiguration cfg = config ? *static_cast<const TOmExtractorConfiguration*>(config) : omx::DefaultConfig();
    if (!omx::Extract(pixels, width, height, resolution, cfg, skeleton != 0, work, t->features)) {
      delete t;
      return nullptr;
    }
    return t;
  } catch (...) {
    // Out of memory or the like: no template rather than an exception across the boundary.
    return nullptr;
  }
}
