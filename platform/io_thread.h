#pragma once
// IoThread: an io_context with a thread of its own that runs it.
//
// Threads (actors):
//   - the owner: start(), stop() or finish(), the destructor; hands work to the loop
//     through context() (post, async operations).
//   - the loop thread: runs the handlers, one at a time. A handler that throws does
//     not end the thread (nor the process): the error goes to the owner's report, on
//     the loop thread, and the loop carries on with the next handler.
//
// The loop keeps running while idle (no sockets, no timers) until stop() or finish().
// The owner stops it before destroying what its handlers use; the destructor stops
// it too. A stop waits for the handler that is running to return, so handlers must
// not block for long; it must not be destroyed from one of its own handlers.

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace halvex::platform {

class IoThread {
public:
    // Receives what a handler threw: the exception's text, or "unknown exception" for
    // anything that is not a std::exception. Runs on the loop thread.
    using ErrorReport = std::function<void(const std::string& what)>;

    // How long finish() lets pending work run out before it ends the loop anyway.
    static constexpr std::chrono::seconds kFinishLimit{5};

    explicit IoThread(ErrorReport report);
    ~IoThread();  // stop()
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    boost::asio::io_context& context() { return io_; }

    // Starts the loop thread. False when it is already running or no thread could be
    // created. After a stop it may be started again.
    bool start();

    // Ends the loop at once and joins its thread. Handlers not run yet stay queued:
    // the owner may run them down on its own thread (context().restart(), poll()).
    // Idempotent. Called from a handler (on the loop thread) it ends the loop and
    // returns without waiting; a later stop() from another thread, or the destructor,
    // joins.
    void stop();

    // Lets the loop run out instead: it ends once every posted handler and pending
    // operation has finished (the owner closes its sockets first, and the handlers of
    // the closes still run), then joins. Waits at most kFinishLimit, then stops.
    void finish();

    // Whether the calling thread is the loop thread.
    bool inLoopThread() const;
    // Whether the loop thread has been started and has not ended.
    bool running() const;

private:
    void loop();
    void join();

    const ErrorReport report_;
    boost::asio::io_context io_;

    // Guards work_, ended_ and the start of the thread; never held across a join.
    mutable std::mutex mutex_;
    std::condition_variable endedChanged_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    bool ended_ = true;
    std::atomic<std::thread::id> loopId_{};

    // Owner's side: taken by whoever joins, never by the loop thread.
    std::mutex joinMutex_;
    std::thread thread_;
};

}  // namespace halvex::platform
