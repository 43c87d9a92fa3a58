#pragma once
#include <cstdint>
#include <string>

#include "platform/handles.h"

// Named mutexes, visible to every process of the user. Like Windows mutexes
// they are owned by a thread and recursive (a thread that owns one may wait
// again; it must release as often).
//
// POSIX mapping: a lock file "<folder>/<name>.lock" (folder as for pipes, with
// '/' and '\' in the name replaced by '#') held with flock while some thread of
// this process owns the mutex; inside the process one record per name carries
// the owner and the recursion count.
namespace plat {

enum class WaitResult { Acquired, TimedOut, Failed };

// Creates the mutex, or opens it when it exists; never initially owned.
// InvalidOsHandle() on failure. Close with CloseOsHandle.
OsHandle CreateNamedMutex(const std::string& name);
constexpr uint32_t kInfinite = 0xFFFFFFFFu;
WaitResult WaitNamedMutex(OsHandle mutex, uint32_t timeoutMs);
bool ReleaseNamedMutex(OsHandle mutex);

}  // namespace plat
