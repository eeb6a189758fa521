#include "platform/io_thread.h"

#include <exception>
#include <system_error>
#include <utility>

namespace halvex::platform {

IoThread::IoThread(ErrorReport report) : report_(std::move(report)) {}

IoThread::~IoThread() { stop(); }

bool IoThread::start() {
    std::lock_guard<std::mutex> joining(joinMutex_);
    if (thread_.joinable()) {
        // A stop from a handler left the ended thread to be joined here.
        if (running() || inLoopThread()) return false;
        thread_.join();
    }
    std::lock_guard<std::mutex> guard(mutex_);
    if (io_.stopped()) io_.restart();
    work_.emplace(io_.get_executor());
    ended_ = false;
    try {
        thread_ = std::thread([this] { loop(); });
    } catch (const std::system_error&) {
        work_.reset();
        ended_ = true;
        return false;
    }
    return true;
}

void IoThread::loop() {
    loopId_ = std::this_thread::get_id();
    for (;;) {
        std::string what;
        try {
            io_.run();
            break;
        } catch (const std::exception& error) {
            what = error.what();
        } catch (...) {
            what = "unknown exception";
        }
        try {
            if (report_) report_(what);
        } catch (...) {
            // A report that fails itself must not end the loop either.
        }
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ended_ = true;
    }
    endedChanged_.notify_all();
}

void IoThread::stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        work_.reset();
    }
    io_.stop();
    if (inLoopThread()) return;
    join();
}

void IoThread::finish() {
    if (inLoopThread()) {
        stop();
        return;
    }
    {
        std::unique_lock<std::mutex> guard(mutex_);
        work_.reset();
        if (!endedChanged_.wait_for(guard, kFinishLimit, [this] { return ended_; })) {
            guard.unlock();
            io_.stop();
        }
    }
    join();
}

void IoThread::join() {
    std::lock_guard<std::mutex> joining(joinMutex_);
    if (thread_.joinable()) thread_.join();
    loopId_ = std::thread::id();
}

bool IoThread::inLoopThread() const { return loopId_.load() == std::this_thread::get_id(); }

bool IoThread::running() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return !ended_;
}

}  // namespace halvex::platform
