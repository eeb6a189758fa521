#pragma once

// The adaptor's pauses (between connection attempts, while the unit joins a network,
// between the steps of a calibration upload, and the streaming thread's slots), all
// ended at once when the adaptor is interrupted or destroyed. Once interrupted it
// stays so: every later pause returns at once. Any thread may sleep or interrupt.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace halvex::adaptor_json {

class InterruptibleSleep {
public:
    // Sleeps for `pause`, or less when interrupted; true when interrupted.
    bool sleepFor(std::chrono::milliseconds pause);
    // Sleeps until `end` on the steady clock, or less when interrupted; true when
    // interrupted.
    bool sleepUntil(std::chrono::steady_clock::time_point end);
    // Ends every pause in progress and every later one.
    void interrupt();

private:
    std::mutex lock_;  // guards interrupted_; held by no one while they do anything else
    std::condition_variable wake_;
    bool interrupted_ = false;
};

}  // namespace halvex::adaptor_json
