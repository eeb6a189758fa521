#pragma once
// Recorded simulator sessions: what sim-session-recorder writes and what
// `sim-server-emulator --replay` plays. One JSON object per line, one line per
// update the server sent, with its time in seconds from the start of the recording:
//
//   {"t":0.412,"protocol":"APP","values":[{"id":"HRPM","type":"integer","value":72},
//                                         {"id":"ARTLINE","type":"float","value":93.0999985}]}
//
// Floats are written with 9 significant digits, so a single-precision value reads
// back to the same bits. Lines that are empty are skipped.

#include <istream>
#include <string>
#include <vector>

#include "emulators/sim_server/sim_server_emulator.h"

namespace halvex::emulators::sim_server {

struct SessionValue {
    std::string id;
    bool isFloat = false;
    double value = 0;  // an integer, or a single-precision float widened
};

struct SessionUpdate {
    double at = 0;  // seconds from the start of the recording
    Protocol protocol = Protocol::App;
    std::vector<SessionValue> values;
};

// One line, without its line end.
std::string formatSessionLine(const SessionUpdate& update);

// Reads a whole session, checking that times do not go backwards and that every id
// is one the emulator serves, on the recorded protocol with the recorded type. On
// failure: false, and `error` names the line and what is wrong with it.
bool readSession(std::istream& in, const std::vector<Parameter>& parameters, std::vector<SessionUpdate>& updates,
                 std::string& error);

}  // namespace halvex::emulators::sim_server

namespace halvex::emulators::sim_server {

// Plays a recorded session against the server with the recorded timing: update i
// goes out (at_i - at_0) / speed seconds after the start of the replay, each as one
// update message (setValues). With `loop` the session starts again after its last
// update, one kLoopPause later.
class SessionPlayer {
public:
    static constexpr double kLoopPause = 0.06;

    SessionPlayer(std::vector<SessionUpdate> updates, double speed, bool loop);

    // The session's first value of every id it holds becomes that parameter's start
    // value, so a bridge that connects before the first update already sees them.
    void applyStartValues(std::vector<Parameter>& parameters) const;
    // Sends every update due `elapsed` seconds after the start of the replay. Returns
    // when the next one is due, in the same seconds, or a negative number when the
    // session is over.
    double play(double elapsed, SimServerEmulator& server);
    bool finished() const { return next_ >= updates_.size() && !loop_; }
    std::size_t sent() const { return sent_; }

private:
    const std::vector<SessionUpdate> updates_;
    const double speed_;
    const bool loop_;
    std::size_t next_ = 0;
    double cycleStart_ = 0;  // session seconds at which the current pass began
    std::size_t sent_ = 0;
};

}  // namespace halvex::emulators::sim_server
