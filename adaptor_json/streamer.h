#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "adaptor_json/messages.h"

namespace halvex::json {

constexpr std::chrono::milliseconds kSlot{60};
constexpr std::chrono::milliseconds kIdlePause{50};

// The streaming thread: in each 60 ms slot it takes what is pending (under the
// messages' dataLock), releases the lock, and then sends VitalsData before
// WaveformData. Value updates therefore never wait for a write. It streams while
// `mayStream` holds and idles in 50 ms pauses otherwise; the slot schedule runs on
// the steady clock and catches up after an idle spell or a long pass.
//
// Its owner starts it once and stops it with stop() (or the destructor), which
// wakes it from any pause and joins it; a write in progress must be ended by the
// owner first (the unit link's shutdown). Exceptions of a pass are printed as
// "HX>ERROR>" lines and the thread carries on.
class Streamer {
public:
    using Send = std::function<void(const std::string& json)>;

    Streamer(PendingMessages& messages, std::function<bool()> mayStream, Send send);
    ~Streamer();
    Streamer(const Streamer&) = delete;
    Streamer& operator=(const Streamer&) = delete;

    // Starts the thread; later calls do nothing.
    void start();
    bool started() const;
    // Ends the thread and every waitForStop at once and joins the thread.
    void stop();
    // The same without the join: any thread may call it, also while the owner waits.
    void requestStop();

    // Sleeps for `pause`, or less when stop() is called; true when stopped.
    bool waitForStop(std::chrono::milliseconds pause);

private:
    void run();
    void pass();

    PendingMessages& messages_;
    const std::function<bool()> mayStream_;
    const Send send_;

    mutable std::mutex stopLock_;  // guards stopRequested_; never held while sending
    std::condition_variable stopSignal_;
    bool stopRequested_ = false;
    std::thread thread_;  // started and joined by the owner's thread only
};

}  // namespace halvex::json
