#pragma once

// The log a recording adaptor keeps: one text per call, with its arguments, in call
// order. Safe to use from the controller's threads and the test's thread at once.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

class CallLog {
public:
    void add(const std::string& call) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            calls_.push_back(call);
        }
        changed_.notify_all();
    }

    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return calls_;
    }

    // The calls so far, forgetting them.
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<std::string> taken;
        taken.swap(calls_);
        return taken;
    }

    std::size_t count(const std::string& call) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return static_cast<std::size_t>(std::count(calls_.begin(), calls_.end(), call));
    }

    // Waits until `call` has been logged at least n times; false after the deadline.
    bool waitForCount(const std::string& call, std::size_t n, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> guard(mutex_);
        return changed_.wait_for(guard, deadline, [&] {
            return static_cast<std::size_t>(std::count(calls_.begin(), calls_.end(), call)) >= n;
        });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> calls_;
};

// How the recording adaptors write arguments: "name(a,b)".
inline std::string callText(const std::string& name) { return name + "()"; }

template <typename... Args>
std::string callText(const std::string& name, const Args&... args) {
    std::ostringstream text;
    text << name << '(';
    const char* separator = "";
    ((text << separator << args, separator = ","), ...);
    text << ')';
    return text.str();
}

// What a recording adaptor is told to do: fail on cue, answer health checks from a
// script (true once the script runs out only when `afterScript` says so).
struct AdaptorScript {
    std::string throwOn;          // name of the operation that throws
    std::vector<bool> health;     // isConnected / checkAssociation answers, in order
    std::atomic<bool> afterScript{false};  // the answer once `health` is used up; may change while running
    std::size_t next = 0;
    bool initializeResult = true;
    // Runs once, inside the next initialize (a batch arriving while the unit is reached).
    std::function<void()> duringInitialize;
    bool wifiResult = true;  // sendWifiCredentials, resetWifiToFactory, configureWifi

    bool nextHealth() { return next < health.size() ? health[next++] : afterScript; }
    void maybeThrow(const std::string& name) const {
        if (name == throwOn)
            throw std::runtime_error("unit write failed in " + name);
    }
};
