#include <windows.h>

#include "platform/threads.h"

namespace plat {

bool LowerThisThreadToIdle() { return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE) != 0; }

}  // namespace plat
