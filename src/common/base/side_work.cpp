#include "common/base/side_work.h"

#include <pthread.h>
#include <sched.h>
#if defined(__APPLE__)
#include <sys/resource.h>
#endif

namespace brimvale {

void yieldToOtherWork() {
#if defined(__APPLE__)
  // Background band: lowest processor and disk priority, for this thread only.
  (void)setpriority(PRIO_DARWIN_THREAD, 0, PRIO_DARWIN_BG);
#elif defined(SCHED_IDLE)
  // Threads started later inherit the policy (std::thread keeps the default
  // PTHREAD_INHERIT_SCHED), so a walk's helper threads are lowered too.
  const sched_param none{};
  (void)pthread_setschedparam(pthread_self(), SCHED_IDLE, &none);
#endif
}

}  // namespace brimvale
