#include "platform/net_thread.h"

#include <windows.h>

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
    // THREAD_PRIORITY_HIGHEST is the top of the normal range; time-critical is left to
    // the system's own threads.
    (void)::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}

}  // namespace halvex::platform::net
