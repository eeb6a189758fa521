#pragma once

#include <mutex>

namespace halvex::platform {

// A re-entrant lock: the thread that holds it may take it again.
class RecursiveLock {
public:
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

// The simulator link names it by its older, socket-layer name.
}  // namespace halvex::platform
