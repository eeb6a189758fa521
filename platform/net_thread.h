#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Threads, a re-entrant lock and interruptible waits for the simulator link. The
// POSIX version is in posix/net_thread_posix.cpp.
namespace halvex::platform::net {

// A re-entrant lock: the thread that holds it may take it again.
class RecursiveLock {
public:
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

// One thread of execution with an owner that joins it.
class Thread {
public:
    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // False when a thread is already held or cannot be created.
    bool start(std::function<void()> body);
    bool joinable() const { return thread_.joinable(); }
    bool isCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }
    // Waits for the thread to end. Does nothing when none is held or when called
    // from the thread itself.
    void join();

private:
    std::thread thread_;
};

// Raises the calling thread to the highest priority a normal thread may take;
// best effort.
void raiseCurrentThreadPriority();

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

}  // namespace halvex::platform::net
