#include "platform/net_thread.h"

#include <pthread.h>
#include <sched.h>

#include <system_error>

namespace halvex::platform::net {

Thread::~Thread() { join(); }

bool Thread::start(std::function<void()> body) {
    if (thread_.joinable()) return false;
    try {
        thread_ = std::thread(std::move(body));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void Thread::join() {
    if (thread_.joinable() && !isCurrent()) thread_.join();
}

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

}  // namespace halvex::platform::net
