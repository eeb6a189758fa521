#pragma once

// What one message or datagram gave a unit stand-in, in the unit's own names: the
// numerics as the texts it received and the waveform samples as numbers. Both unit
// emulators hand one of these to their listener for every frame or datagram; the
// recorder (sample_recorder.h) and the virtual monitor (monitor_server.h) take it
// from there.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace halvex::emulators::monitor {

using Clock = std::chrono::steady_clock;

struct Received {
    Clock::time_point at{};
    std::vector<std::pair<std::string, std::string>> numerics;          // name, text
    std::vector<std::pair<std::string, std::vector<double>>> waves;      // name, samples

    bool empty() const { return numerics.empty() && waves.empty(); }
};

// Takes what a unit received. Called on the unit's I/O thread: return quickly.
class ReceivedSink {
public:
    virtual ~ReceivedSink() = default;
    virtual void received(const Received& values) = 0;
};

}  // namespace halvex::emulators::monitor
