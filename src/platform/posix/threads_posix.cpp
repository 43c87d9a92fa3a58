#include <pthread.h>
#include <sched.h>

#include "platform/threads.h"

namespace plat {

bool LowerThisThreadToIdle() {
#ifdef SCHED_IDLE
  sched_param param{};
  param.sched_priority = 0;
  return pthread_setschedparam(pthread_self(), SCHED_IDLE, &param) == 0;
#else
  return false;
#endif
}

}  // namespace plat
