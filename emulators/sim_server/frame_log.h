#pragma once
// FrameLog: the frames the simulator server received, in arrival order, for tests to
// read and wait on. Thread-safe: the host's I/O thread records, any thread reads.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "emulators/sim_server/responder.h"
#include "emulators/sim_server/wire.h"

namespace halvex::emulators::sim_server {

// One frame the server received, decoded as far as the framing goes.
struct ReceivedFrame {
    Protocol protocol = Protocol::Sim;
    int connection = 0;        // connection number, counted from 1 per server
    int kind = KindUnknown;    // from the frame class
    int family = 0;            // payload byte 0 (application frames)
    int service = 0;           // payload byte 1
    std::uint16_t type = 0;    // payload bytes 10-11
    Bytes payload;             // everything after the frame header
};

// The record of one frame: the application header's fields are filled in when the
// payload holds them.
ReceivedFrame describeFrame(Protocol protocol, int connection, int kind, const Bytes& payload);

class FrameLog {
public:
    // Frames are numbered from 0 in arrival order; the oldest are forgotten beyond
    // kMaxFrames, their numbers are not reused.
    static constexpr std::size_t kMaxFrames = 10000;

    void record(ReceivedFrame frame);

    std::size_t count() const;  // number of the next frame to arrive
    std::vector<ReceivedFrame> frames() const;
    // The waits below run `match` under the log's lock: it must not call the log.
    // First frame numbered from `from` on that matches, waiting up to `timeout`.
    std::optional<ReceivedFrame> waitFor(const std::function<bool(const ReceivedFrame&)>& match,
                                         std::chrono::milliseconds timeout, std::size_t from) const;
    // Waits up to `timeout` until at least `count` recorded frames match; the number
    // that match when the wait ends.
    std::size_t waitForCount(const std::function<bool(const ReceivedFrame&)>& match, std::size_t count,
                             std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex mutex_;  // guards everything below
    mutable std::condition_variable changed_;
    std::deque<ReceivedFrame> frames_;
    std::size_t first_ = 0;  // number of frames_.front()
};

}  // namespace halvex::emulators::sim_server
