#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace halvex::platform {

// The operator's request to stop the process from outside: SIGINT (Ctrl-C) and
// SIGTERM here (posix/), the console's Ctrl-C, Ctrl-Break and close events on Windows
// (win32/).
//
// One object per process, built on the main thread before any other thread starts
// (threads started later leave the requests to the platform's listener) and destroyed
// after the threads its handler reaches have been joined. The platform's listener
// reports each request through deliver():
//   - the first one marks the object requested, wakes waitFor() and calls the
//     handler once, on the listener's thread (never inside a signal handler);
//   - a second one ends the process at once, without any teardown: the way out of
//     a stop that hangs. Status 128 + the signal's number here (130 for SIGINT, 143
//     for SIGTERM), 130 on Windows.
// After destruction a request has the system's default effect again.
class StopRequests {
public:
    using Handler = std::function<void(const std::string& reason)>;

    StopRequests();
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // The handler of the first request. When one has arrived already it is called at
    // once, on the caller's thread. It must return quickly: the listener waits for it.
    void onRequest(Handler handler);

    bool requested() const;
    // What was requested ("SIGINT", "SIGTERM", "Ctrl-C", ...); empty before.
    std::string reason() const;
    // Waits until a request arrived or `timeout` passed; true when one arrived.
    bool waitFor(std::chrono::milliseconds timeout);

    // For the platform's listener: reports one request. True for the first; the
    // listener ends the process at once on the others (see endProcessNow).
    bool deliver(const std::string& reason);

    // Ends the process at once with `status`: no destructors, no flushing (every line
    // of the line sink is already written).
    [[noreturn]] static void endProcessNow(int status);

private:
    // The platform's listener (posix/, win32/): started by the constructor; ending it
    // (the destructor) stops it and joins its thread.
    struct Listener;
    struct ListenerEnd {
        void operator()(Listener* listener) const;
    };
    static std::unique_ptr<Listener, ListenerEnd> startListener(StopRequests& owner);

    mutable std::mutex lock_;  // guards the fields below; never held while the handler runs
    std::condition_variable arrived_;
    bool requested_ = false;
    std::string reason_;
    Handler handler_;
    std::unique_ptr<Listener, ListenerEnd> listener_;
};

}  // namespace halvex::platform
