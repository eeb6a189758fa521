#include "platform/stop_requests.h"

#include <cstdlib>

// What a stop request does the same way everywhere; how requests arrive is the
// platform's listener (posix/, win32/).
namespace halvex::platform {

StopRequests::StopRequests() { listener_ = startListener(*this); }

StopRequests::~StopRequests() { listener_.reset(); }

void StopRequests::onRequest(Handler handler) {
    std::unique_lock<std::mutex> guard(lock_);
    handler_ = std::move(handler);
    if (!requested_ || !handler_)
        return;
    const Handler now = handler_;
    const std::string reason = reason_;
    guard.unlock();
    now(reason);
}

bool StopRequests::requested() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requested_;
}

std::string StopRequests::reason() const {
    std::lock_guard<std::mutex> guard(lock_);
    return reason_;
}

bool StopRequests::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    return arrived_.wait_for(guard, timeout, [this] { return requested_; });
}

bool StopRequests::deliver(const std::string& reason) {
    Handler handler;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (requested_)
            return false;
        requested_ = true;
        reason_ = reason;
        handler = handler_;
    }
    arrived_.notify_all();
    if (handler)
        handler(reason);
    return true;
}

void StopRequests::endProcessNow(int status) { std::_Exit(status); }

}  // namespace halvex::platform
