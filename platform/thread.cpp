#include "platform/thread.h"

#include <system_error>

// What threads do the same way everywhere; raiseCurrentThreadPriority is the
// platform's own (posix/, win32/).
namespace halvex::platform {

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

}  // namespace halvex::platform
