#include "adaptor_json/interruptible_sleep.h"

namespace halvex::adaptor_json {

bool InterruptibleSleep::sleepFor(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> guard(lock_);
    return wake_.wait_for(guard, pause, [this] { return interrupted_; });
}

bool InterruptibleSleep::sleepUntil(std::chrono::steady_clock::time_point end) {
    std::unique_lock<std::mutex> guard(lock_);
    return wake_.wait_until(guard, end, [this] { return interrupted_; });
}

void InterruptibleSleep::interrupt() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        interrupted_ = true;
    }
    wake_.notify_all();
}

}  // namespace halvex::adaptor_json
