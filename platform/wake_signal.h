#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace halvex::platform {

// A wake-up signal: waits end at a deadline or as soon as a condition holds after a
// notify. Sleeps built on it can be cut short, so owners never wait a whole pause
// to stop a thread.
class Signal {
public:
    void notifyAll() {
        { std::lock_guard<std::mutex> g(mutex_); }
        cv_.notify_all();
    }
    // True when done() became true, false at the time-out.
    bool waitFor(std::chrono::milliseconds timeout, const std::function<bool()>& done) {
        std::unique_lock<std::mutex> g(mutex_);
        return cv_.wait_for(g, timeout, done);
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
};

// The simulator link names it by its older, socket-layer name.
}  // namespace halvex::platform
