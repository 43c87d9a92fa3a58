// A reader plug-in with the flat OMR_* interface whose readers deliver known
// images. Its configuration is the text file named like the plug-in with
// ".cfg" ("omr_h3fake_64.cfg") beside it, read again on every call, so a test
// can change it at any time:
//   readers=0001,0002   serial texts of the readers (default: 0001,0002, or
//                       none in the build with FAKE_SEM_LEITORES)
//   width=16            image size (default 16 x 8)
//   height=8
//   delay_ms=2          pause inside each OMR_GetImage (default 2)
//   openfail=0002       serial texts whose OMR_OpenDevice fails
// Image of frame f (counted per open device from 1): pixel (x, y) is
// (y * width + x) & 0xFF, except the last row, which holds f in its first
// four bytes (little-endian) and then zeros.
// Statistics for tests: H3Fake_OpenCount, H3Fake_CloseCount, H3Fake_LastCommand.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The interface records, under the names the host uses, so that the exports
// have exactly the types the host calls them with.
#pragma pack(push, 1)
struct TOmrDeviceList {
  uint32_t NumDevices;
  char* SerialNumbers[1];
};
struct TOmrImageSize {
  int32_t Width, Height, ByteSize;
};
struct TOmrImage {
  TOmrImageSize Size;
  int32_t Format, Resolution;
};
#pragma pack(pop)

namespace {

#ifndef FAKE_PREFIXO
#define FAKE_PREFIXO "H3Fake"
#endif

struct Config {
#ifdef FAKE_SEM_LEITORES
  std::vector<std::string> readers;
#else
  std::vector<std::string> readers{"0001", "0002"};
#endif
  int width = 16, height = 8, delayMs = 2;
  std::vector<std::string> openfail;
};

// The plug-in's own path.
std::string PluginPath() {
#ifdef _WIN32
  HMODULE m = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&PluginPath), &m);
  char buf[MAX_PATH * 2] = {};
  GetModuleFileNameA(m, buf, sizeof buf);
  return buf;
#else
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&PluginPath), &info);
  return info.dli_fname ? info.dli_fname : "";
#endif
}

std::string ConfigPath() {
  std::string p = PluginPath();
  return p.substr(0, p.find_last_of('.')) + ".cfg";
}

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> r;
  std::stringstream ss(s);
  std::string item;
  while (std::getline(ss, item, ','))
    if (!item.empty()) r.push_back(item);
  return r;
}

Config ReadConfig() {
  Config c;
  std::ifstream f(ConfigPath());
  std::string line;
  while (std::getline(f, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string k = line.substr(0, eq), v = line.substr(eq + 1);
    if (k == "readers") c.readers = Split(v);
    else if (k == "width") c.width = std::atoi(v.c_str());
    else if (k == "height") c.height = std::atoi(v.c_str());
    else if (k == "delay_ms") c.delayMs = std::atoi(v.c_str());
    else if (k == "openfail") c.openfail = Split(v);
  }
  return c;
}

struct Device {
  std::string serial;
  int width, height;
  uint32_t frame = 0;
  std::atomic<bool> shutdown{false};
};

std::mutex g_lock;
std::string g_lastCommand;
std::string g_prefix = FAKE_PREFIXO;

}  // namespace

namespace {
std::atomic<int> g_opens{0};
std::atomic<int> g_closes{0};
}  // namespace

FAKE_EXPORT int H3Fake_OpenCount() { return g_opens.load(); }
FAKE_EXPORT int H3Fake_CloseCount() { return g_closes.load(); }

FAKE_EXPORT const char* H3Fake_LastCommand() {
  std::lock_guard<std::mutex> g(g_lock);
  static std::string copy;
  copy = g_lastCommand;
  return copy.c_str();
}

FAKE_EXPORT const char* OMR_GetPrefix() { return g_prefix.c_str(); }

FAKE_EXPORT int32_t OMR_GetDeviceList(TOmrDeviceList* buffer, int32_t size) {
  Config c = ReadConfig();
  uint32_t n = static_cast<uint32_t>(c.readers.size());
  int32_t needed = 4 + 8 * static_cast<int32_t>(n);
  for (auto& r : c.readers) needed += static_cast<int32_t>(r.size()) + 1;
  if (!buffer || size < 4) return needed;
  std::memcpy(buffer, &n, 4);
  if (size < needed) return needed;
  auto* base = reinterpret_cast<char*>(buffer);
  char* strings = base + 4 + 8 * n;
  for (uint32_t i = 0; i < n; ++i) {
    std::memcpy(strings, c.readers[i].c_str(), c.readers[i].size() + 1);
    char* p = strings;
    std::memcpy(base + 4 + 8 * i, &p, 8);
    strings += c.readers[i].size() + 1;
  }
  return needed;
}

FAKE_EXPORT void* OMR_OpenDevice(const char* serial) {
  Config c = ReadConfig();
  std::string s = serial ? serial : "";
  for (auto& f : c.openfail)
    if (f == s) return nullptr;
  auto* d = new Device;
  d->serial = s;
  d->width = c.width;
  d->height = c.height;
  ++g_opens;
  return d;
}

FAKE_EXPORT uint8_t OMR_ShutdownDevice(void* h) {
  if (h) static_cast<Device*>(h)->shutdown = true;
  return 1;
}

FAKE_EXPORT uint8_t OMR_CloseDevice(void* h) {
  if (!h) return 0;
  delete static_cast<Device*>(h);
  ++g_closes;
  return 1;
}

FAKE_EXPORT uint8_t OMR_GetMaxSize(void* h, TOmrImageSize* size) {
  auto* d = static_cast<Device*>(h);
  if (!d || !size) return 0;
  size->Width = d->width;
  size->Height = d->height;
  size->ByteSize = d->width * d->height;
  return 1;
}

FAKE_EXPORT uint8_t OMR_GetImage(void* h, TOmrImage* image) {
  auto* d = static_cast<Device*>(h);
  if (!d || !image || d->shutdown) return 0;
  int delay = ReadConfig().delayMs;
  if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  if (d->shutdown) return 0;
  auto* hdr = image;
  hdr->Size.Width = d->width;
  hdr->Size.Height = d->height;
  hdr->Size.ByteSize = d->width * d->height;
  hdr->Format = 0;
  hdr->Resolution = 500;
  auto* px = reinterpret_cast<uint8_t*>(hdr + 1);
  for (int y = 0; y < d->height; ++y)
    for (int x = 0; x < d->width; ++x) px[y * d->width + x] = static_cast<uint8_t>((y * d->width + x) & 0xFF);
  uint32_t f = ++d->frame;
  uint8_t* last = px + (d->height - 1) * d->width;
  std::memset(last, 0, static_cast<size_t>(d->width));
  if (d->width >= 4) std::memcpy(last, &f, 4);
  return 1;
}

FAKE_EXPORT int32_t OMR_SendCommand(void* h, const char* command, const void* pArgs) {
  auto* args = static_cast<const char*>(pArgs);
  std::lock_guard<std::mutex> g(g_lock);
  g_lastCommand = std::string(command ? command : "") + "(" + (args ? args : "") + ")";
  return 0;
}

FAKE_EXPORT int32_t OMR_GetResult(void* h, void* result, int32_t size) { return 0; }
