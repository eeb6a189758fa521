#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>

namespace halvex::platform {

void raiseCurrentThreadPriority() {
    // Normal (SCHED_OTHER) threads have a single static priority level here; the
    // call keeps the scheduling policy and asks for its maximum, which may be
    // refused without privileges.
    sched_param param{};
    int policy = 0;
    if (pthread_getschedparam(pthread_self(), &policy, &param) != 0) return;
    param.sched_priority = sched_get_priority_max(policy);
    (void)pthread_setschedparam(pthread_self(), policy, &param);
}

}  // namespace halvex::platform
