#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "adaptor_json/interruptible_sleep.h"
#include "adaptor_json/pending_messages.h"

namespace halvex::adaptor_json {

constexpr std::chrono::milliseconds kSlot{60};
constexpr std::chrono::milliseconds kIdlePause{50};

// The streaming thread: in each 60 ms slot it takes what is pending (under the
// messages' dataLock), releases the lock, and then sends VitalsData before
// WaveformData. Value updates therefore never wait for a write. It streams while
// `mayStream` holds and idles in 50 ms pauses otherwise; the slot schedule runs on
// the steady clock and catches up after an idle spell or a long pass.
//
// Its pauses are the owner's InterruptibleSleep: interrupting it ends the thread.
// Its owner starts it once and stops it with stop() (or the destructor), which
// interrupts the pauses and joins the thread; a write in progress must be ended by
// the owner first (the unit link's shutdown). Exceptions of a pass are printed as
// "HX>ERROR>" lines and the thread carries on.
class Streamer {
public:
    using Send = std::function<void(const std::string& json)>;

    // `pauses` must outlive the streamer.
    Streamer(PendingMessages& messages, InterruptibleSleep& pauses, std::function<bool()> mayStream, Send send);
    ~Streamer();
    Streamer(const Streamer&) = delete;
    Streamer& operator=(const Streamer&) = delete;

    // Starts the thread; later calls do nothing.
    void start();
    bool started() const;
    // Interrupts the pauses (the thread's and every other) and joins the thread.
    void stop();

private:
    void run();
    void pass();

    PendingMessages& messages_;
    InterruptibleSleep& pauses_;
    const std::function<bool()> mayStream_;
    const Send send_;

    std::thread thread_;  // started and joined by the owner's thread only
};

}  // namespace halvex::adaptor_json
