#pragma once

// What the stand-in unit knows: the decoded messages it received, the last real
// value of every vital sign, the waveform sample counts, and its stored
// calibrations. Free of I/O and not locked: UnitEmulator owns one and guards it.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emulators/monitor/received.h"
#include "emulators/unit_json/frame.h"

namespace halvex::emulators::unit_json {

using Clock = std::chrono::steady_clock;

struct WaveStats {
    std::uint64_t messages = 0;    // WaveformData messages that carried samples of it
    std::uint64_t samples = 0;     // all samples received
    std::vector<double> lastSamples; // the samples of the last message that carried any
};

// One calibration point as the unit received it ("Item1" counter, "Item2" point).
using CalPoint = std::pair<std::string, std::string>;

struct UnitStats {
    std::uint64_t connections = 0;
    std::uint64_t frames = 0;
    std::uint64_t lengthErrors = 0;  // length field missing, short, or not the text's size
    std::uint64_t undecodable = 0;   // not JSON, or no MessageType
    std::uint64_t malformedWaves = 0; // a waveform member that is not an array of numbers
    FrameReaderCounters framing;      // summed over all connections
    std::map<std::string, std::uint64_t> messages; // per MessageType
    // Last real value per VitalsData key: "-1", "None" and "Unknown" mean "not set in
    // this message" and leave the previous value in place.
    std::map<std::string, std::string> vitals;
    std::map<std::string, WaveStats> waves;
    // calType -> calName -> points.
    std::map<std::string, std::map<std::string, std::vector<CalPoint>>> calibrations;
    std::map<std::string, std::string> selectedCalibration; // calType -> calName
    std::string ssid;
    std::string password;
    bool wifiConnected = false;
    // From the first to the last frame received; 0 with fewer than two frames.
    double windowSeconds = 0.0;
};

// Frames nested deeper than this are undecodable: the JSON reader recurses once per
// level, and a frame of some 60,000 levels (well inside kMaxFrameBytes) would
// overflow its stack.
constexpr std::size_t kMaxJsonDepth = 64;

// The result of handling one frame.
struct Handled {
    std::string messageType;          // empty when undecodable
    std::string line;                 // one compact line describing the message
    std::optional<std::string> answer; // JSON text to send back, if the message asks
    monitor::Received values;    // the numerics and samples it carried (time left unset)
};

class UnitStore {
public:
    // `ipAddress` is what NetworkStatusData reports as the unit's address.
    explicit UnitStore(std::string ipAddress);

    Handled handle(const Frame& frame, Clock::time_point now);
    void connectionAccepted() { ++stats_.connections; }
    // Whether WifiCredentials join the network (NetworkStatusData then reports it).
    void setWifiJoins(bool on) { wifiJoins_ = on; }
    void addFramingCounters(const FrameReaderCounters& delta);
    UnitStats snapshot() const;
    std::uint64_t connections() const { return stats_.connections; }
    std::uint64_t messageCount(const std::string& type) const {
        const auto it = stats_.messages.find(type);
        return it == stats_.messages.end() ? 0 : it->second;
    }

private:
    void handleVitals(const void* message, Handled& h);
    void handleWaves(const void* message, Handled& h);
    std::string calListAnswer(const std::string& calType) const;
    std::string networkStatusAnswer() const;

    std::string ipAddress_;
    bool wifiJoins_ = true;
    UnitStats stats_;
    std::optional<Clock::time_point> first_;
    Clock::time_point last_{};
};

// Escapes a text for a JSON string (quote, backslash, control characters).
std::string jsonQuote(const std::string& text);

} // namespace halvex::emulators::unit_json
