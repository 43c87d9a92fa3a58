#include "support/Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "support/Formatar.h"

bool TraceEnabled() {
  static const bool enabled = [] {
    const char* v = std::getenv("DACTYLINK_TRACE");
    return v && *v && std::string(v) != "0";
  }();
  return enabled;
}

void Trace(const char* fmt, ...) {
  if (!TraceEnabled()) return;
  va_list args;
  va_start(args, fmt);
  std::string line = FormatV(fmt, args);
  va_end(args);
  static std::mutex lock;
  std::lock_guard<std::mutex> g(lock);
  std::fprintf(stderr, "dactylink: %s\n", line.c_str());
  std::fflush(stderr);
}
