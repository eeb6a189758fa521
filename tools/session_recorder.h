#pragma once
// Records what a simulator server sends to a bridge: connects a SimClient and an
// AppClient as the bridge does (simulator id 1, automatic reconnection), subscribes
// the inputs of both editions and writes every parametersUpdated list as one line of
// the session format (emulators/sim_server/session.h), with its time from start().
//
// Threads: the clients' receiving threads call the callbacks, which format the line
// and write it under the file lock; stop() disconnects both clients (joining their
// threads) before the file is closed. A failed write is kept and reported by ok().

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "simlink/app_client.h"
#include "simlink/sim_client.h"

namespace halvex::tools {

constexpr int kSimPort = 55580;
constexpr int kAppPort = 55557;

// The SIM and the APP inputs of both editions, each id once, in subscription order.
const std::vector<com_krel::ParameterRequest>& recordedSimInputs();
const std::vector<com_krel::ParameterRequest>& recordedAppInputs();

class SessionRecorder {
public:
    // Creates (truncates) the file; std::runtime_error when it cannot be opened.
    explicit SessionRecorder(const std::string& path);
    ~SessionRecorder();
    SessionRecorder(const SessionRecorder&) = delete;
    SessionRecorder& operator=(const SessionRecorder&) = delete;

    // Starts connecting; false with a reason when a client refuses to start.
    bool start(const std::string& address, int simPort, int appPort, std::string& error);
    void stop();  // idempotent; the destructor calls it

    std::uint64_t updates() const { return updates_; }
    bool ok() const;
    std::string error() const;

private:
    class Callback;
    void record(const char* protocol, const std::vector<com_krel::ParameterValue>& values);
    void stateChanged(const char* protocol, int oldState, int newState);

    const std::string path_;
    std::chrono::steady_clock::time_point start_;
    com_krel::SimClient sim_;
    com_krel::AppClient app_;
    std::vector<std::unique_ptr<Callback>> callbacks_;
    bool started_ = false;
    std::atomic<std::uint64_t> updates_{0};

    mutable std::mutex lock_;  // guards the file and the error
    std::ofstream out_;
    std::string error_;
};

}  // namespace halvex::tools
