#include "platform/errors.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

namespace plat {

namespace {
thread_local uint32_t t_lastError = 0;

// POSIX has no error text for the Windows-style codes the layer reports, so the
// layer keeps the text of the latest failure of each code (the loader message
// of dlopen, for instance) and hands it back in SystemErrorText.
std::mutex g_textsLock;
std::map<uint32_t, std::string>& Texts() {
  static std::map<uint32_t, std::string> texts;
  return texts;
}
}  // namespace

uint32_t LastError() { return t_lastError; }
void SetLastError(uint32_t code) { t_lastError = code; }

void RecordErrorText(uint32_t code, const std::string& text) {
  std::lock_guard<std::mutex> g(g_textsLock);
  Texts()[code] = text;
}

std::string SystemErrorText(uint32_t code) {
  {
    std::lock_guard<std::mutex> g(g_textsLock);
    auto it = Texts().find(code);
    if (it != Texts().end()) return it->second + "\n";
  }
  switch (code) {
    case 0: return "The operation completed successfully.\n";
    case kErrorFileNotFound: return "The system cannot find the file specified.\n";
    case kErrorPathNotFound: return "The system cannot find the path specified.\n";
    case kErrorAccessDenied: return "Access is denied.\n";
    case kErrorInvalidHandle: return "The handle is invalid.\n";
    case kErrorBadFormat: return "An attempt was made to load a program with an incorrect format.\n";
    case kErrorInvalidParameter: return "The parameter is incorrect.\n";
    case kErrorModNotFound: return "The specified module could not be found.\n";
    case kErrorProcNotFound: return "The specified procedure could not be found.\n";
    case kErrorPipeBusy: return "All pipe instances are busy.\n";
    case kErrorNoMoreItems: return "No more data is available.\n";
    case kErrorTimeout: return "This operation returned because the timeout period expired.\n";
    default: break;
  }
  if (code >= 0x20000000u) {  // errno values are reported with the customer bit set
    return std::string(std::strerror(static_cast<int>(code & 0xFFFF))) + "\n";
  }
  return "Unknown error " + std::to_string(code) + "\n";
}

uint32_t ErrnoToError(int e) {
  switch (e) {
    case 0: return 0;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES: case EPERM: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case EINVAL: return kErrorInvalidParameter;
    case ETIMEDOUT: return kErrorTimeout;
    default: return 0x20000000u | static_cast<uint32_t>(e);
  }
}

uint64_t TickCountMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

std::string Utf8ToAnsi(const std::string& utf8) { return utf8; }
std::string AnsiToUtf8(const std::string& ansi) { return ansi; }
std::string Utf8ToConsole(const std::string& utf8) { return utf8; }

}  // namespace plat
