#pragma once

#include <functional>
#include <thread>

// Threads with an owner, and their priority. The priority is the platform's own
// (posix/thread_posix.cpp, win32/thread_win32.cpp).
namespace halvex::platform {

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

// The simulator link names these by their older, socket-layer names.
}  // namespace halvex::platform
