#pragma once

#include <atomic>

#include "platform/recursive_lock.h"
#include "platform/thread.h"

// The link's lock and thread types, over the platform's.
namespace com_krel {

// A re-entrant lock. lock and unlock return 0.
class CSMutex {
public:
    virtual ~CSMutex() = default;
    int lock() {
        lock_.lock();
        return 0;
    }
    int unlock() {
        lock_.unlock();
        return 0;
    }

private:
    halvex::platform::RecursiveLock lock_;
};

// Scoped hold of a CSMutex.
class CSLock {
public:
    explicit CSLock(CSMutex& m) : m_(m) { m_.lock(); }
    ~CSLock() { m_.unlock(); }
    CSLock(const CSLock&) = delete;
    CSLock& operator=(const CSLock&) = delete;

private:
    CSMutex& m_;
};

// One thread with an owner. The thread ends by returning from its function; the
// owner joins it (join from the thread itself does nothing).
class CSThread {
public:
    virtual ~CSThread() = default;
    // False when a thread is already held or cannot be created.
    bool start(void (*function)(void*), void* argument);
    bool isRunning() const { return thread_.joinable(); }
    bool isCurrent() const { return thread_.isCurrent(); }
    void join() { thread_.join(); }

    // Test seam: make the next start fail, as when the system has no threads left.
    static std::atomic<int>& failNextStarts();

private:
    halvex::platform::Thread thread_;
};

}  // namespace com_krel
