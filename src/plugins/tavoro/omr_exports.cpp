// The seven OMR_* exports of the Tavoro reader plug-in. Nothing but plain
// results crosses them: every failure is 0, null or the minimal size 4.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "plugins/tavoro/CaptureContext.h"
#include "plugins/tavoro/T100DeviceHandler.h"

#ifdef _WIN32
#define DL_OMR_EXPORT __declspec(dllexport)
#else
#define DL_OMR_EXPORT __attribute__((visibility("default")))
#endif

namespace {

const char kPrefix[] = "Tavoro";
constexpr int32_t kMinimalListSize = 4;
constexpr int32_t kEntrySize = 17; // 8-byte pointer + 8 characters + NUL
constexpr size_t kSerialChars = 8;

struct SerialEntry {
    std::string serial;
    uint32_t index;
};

// Serial texts of the last listing and the device index each answered under.
// The host does not list and open concurrently; the lock only keeps a
// careless host from corrupting the list.
std::mutex gCacheLock;
std::vector<SerialEntry>& SerialCache() {
    static std::vector<SerialEntry> cache;
    return cache;
}

uint16_t Word(const uint8_t* block, size_t offset) {
    return uint16_t(block[offset] | block[offset + 1] << 8);
}

std::string SerialText(const uint8_t* config) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X%04X", unsigned(Word(config, 116)), unsigned(Word(config, 4)));
    return text;
}

CaptureContext* CheckedContext(void* handle) {
    if (!handle)
        return nullptr;
    const char* tag = nullptr;
    std::memcpy(&tag, handle, sizeof tag);
    return tag == kPrefix ? static_cast<CaptureContext*>(handle) : nullptr;
}

void WriteI32(void* at, int32_t v) { std::memcpy(at, &v, sizeof v); }

} // namespace

extern "C" {

DL_OMR_EXPORT const char* OMR_GetPrefix() { return kPrefix; }

DL_OMR_EXPORT int32_t OMR_GetDeviceList(void* buffer, int32_t size) {
    if (size >= 0 && size < kMinimalListSize)
        return kMinimalListSize;
    try {
        auto* out = static_cast<uint8_t*>(buffer);
        if (out)
            WriteI32(out, 0);
        std::vector<SerialEntry> found;
        int r = T100WalkDevices(
            [&](uint32_t index, const uint8_t* config) {
                found.push_back({SerialText(config), index});
                return false;
            },
            nullptr, nullptr);
        if (r != T100_OK)
            return kMinimalListSize;
        int32_t k = int32_t(found.size());
        int32_t needed = kMinimalListSize + kEntrySize * k;
        {
            std::lock_guard<std::mutex> guard(gCacheLock);
            SerialCache() = found;
        }
        if (out) {
            WriteI32(out, k);
            if (size >= needed) {
                uint8_t* texts = out + 4 + 8 * size_t(k);
                for (int32_t i = 0; i < k; ++i) {
                    uint8_t* text = texts + 9 * size_t(i);
                    std::memcpy(text, found[i].serial.c_str(), kSerialChars + 1);
                    std::memcpy(out + 4 + 8 * size_t(i), &text, sizeof text);
                }
            }
        }
        return needed;
    } catch (...) {
        return kMinimalListSize;
    }
}

DL_OMR_EXPORT void* OMR_OpenDevice(const char* serial) {
    if (!serial)
        return nullptr;
    try {
        std::vector<SerialEntry> entries;
        {
            std::lock_guard<std::mutex> guard(gCacheLock);
            entries = SerialCache();
        }
        std::string wanted(serial);
        for (const SerialEntry& entry : entries) {
            if (entry.serial != wanted)
                continue;
            auto* context = new (std::nothrow) CaptureContext();
            if (!context)
                return nullptr;
            if (context->Open(kPrefix, entry.index))
                return context;
            delete context;
        }
    } catch (...) {
    }
    return nullptr;
}

DL_OMR_EXPORT uint8_t OMR_CloseDevice(void* handle) {
    CaptureContext* context = CheckedContext(handle);
    if (!context)
        return 0;
    try {
        context->Stop();
    } catch (...) {
    }
    delete context;
    return 1;
}

DL_OMR_EXPORT uint8_t OMR_ShutdownDevice(void* handle) {
    CaptureContext* context = CheckedContext(handle);
    if (!context)
        return 0;
    try {
        context->Stop();
    } catch (...) {
    }
    return 1;
}

DL_OMR_EXPORT uint8_t OMR_GetMaxSize(void* handle, TOmrImageSize* size) {
    CaptureContext* context = CheckedContext(handle);
    if (!context || !size)
        return 0;
    int32_t width = Word(context->configuration, 30);
    int32_t height = Word(context->configuration, 32);
    int64_t bytes = int64_t(width) * height; // two 16-bit words: may pass the 32-bit range
    TOmrImageSize s{width, height, bytes > INT32_MAX ? INT32_MAX : int32_t(bytes)};
    std::memcpy(size, &s, sizeof s);
    context->keptSize = s;
    return 1;
}

DL_OMR_EXPORT uint8_t OMR_GetImage(void* handle, TOmrImage* image) {
    CaptureContext* context = CheckedContext(handle);
    if (!context)
        return 0;
    try {
        return context->Step(image) == 1 ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

} // extern "C"
