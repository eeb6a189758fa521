#include "tools/session_recorder.h"

#include <algorithm>
#include <stdexcept>

#include "controller/edition_json.h"
#include "controller/edition_v22.h"
#include "controller/simulator_sample.h"
#include "emulators/sim_server/session.h"
#include "platform/line_sink.h"

namespace halvex::tools {

using com_krel::ParameterRequest;
using com_krel::ParameterValue;

namespace {

constexpr int kSimulatorId = 1;
// As the bridge builds its clients, but quiet: the library's registration lines would
// drown the recorder's own.
constexpr int kClientFlags = com_krel::AutoReconnect | com_krel::HighPriority | com_krel::Quiet;

std::vector<ParameterRequest> unionOf(const std::vector<const std::vector<ParameterRequest>*>& lists) {
    std::vector<ParameterRequest> all;
    for (const auto* list : lists) {
        for (const ParameterRequest& request : *list) {
            const bool known = std::any_of(all.begin(), all.end(),
                                           [&](const ParameterRequest& r) { return r.id == request.id; });
            if (!known) all.push_back(request);
        }
    }
    return all;
}

}  // namespace

const std::vector<ParameterRequest>& recordedSimInputs() { return halvex::controller::SimulatorSample::simInputs(); }

const std::vector<ParameterRequest>& recordedAppInputs() {
    static const std::vector<ParameterRequest> inputs =
        unionOf({&halvex::controller::JsonEdition::appInputList(), &halvex::controller::V22Edition::appInputList()});
    return inputs;
}

class SessionRecorder::Callback : public com_krel::AppClient::Callback {
public:
    Callback(SessionRecorder& owner, const char* protocol) : owner_(owner), protocol_(protocol) {}
    void connectionStateChanged(int oldState, int newState) override {
        owner_.stateChanged(protocol_, oldState, newState);
    }
    void parametersUpdated(const std::vector<ParameterValue>& values) override { owner_.record(protocol_, values); }

private:
    SessionRecorder& owner_;
    const char* const protocol_;
};

SessionRecorder::SessionRecorder(const std::string& path)
    : path_(path), start_(std::chrono::steady_clock::now()), sim_(kSimulatorId, kClientFlags), app_(kClientFlags),
      out_(path, std::ios::trunc) {
    if (!out_) throw std::runtime_error("cannot write the session file " + path);
}

SessionRecorder::~SessionRecorder() { stop(); }

bool SessionRecorder::start(const std::string& address, int simPort, int appPort, std::string& error) {
    callbacks_.push_back(std::make_unique<Callback>(*this, "SIM"));
    callbacks_.push_back(std::make_unique<Callback>(*this, "APP"));
    start_ = std::chrono::steady_clock::now();
    sim_.registerCallback(callbacks_[0].get());
    app_.registerCallback(callbacks_[1].get());
    started_ = true;
    if (sim_.connect(address, simPort) != 0 || app_.connect(address, appPort) != 0) {
        error = "cannot start connecting to " + address;
        return false;
    }
    app_.startFlowControl();
    // Sent as soon as each link is ready, and again after every reconnection.
    if (sim_.subscribeInputs(recordedSimInputs()) != 0 || app_.subscribeInputs(recordedAppInputs()) != 0) {
        error = "the input subscription was refused";
        return false;
    }
    return true;
}

void SessionRecorder::stop() {
    if (!started_) return;
    started_ = false;
    app_.stopFlowControl();
    sim_.disconnect();
    app_.disconnect();
    std::lock_guard<std::mutex> guard(lock_);
    out_.close();
    if (out_.fail() && error_.empty()) error_ = "closing " + path_ + " failed";
}

void SessionRecorder::stateChanged(const char* protocol, int oldState, int newState) {
    if (oldState == newState || (oldState != com_krel::Ready && newState != com_krel::Ready)) return;
    halvex::platform::printOut(std::string("sim-session-recorder: ") + protocol +
                               (newState == com_krel::Ready ? " connected" : " disconnected"));
}

void SessionRecorder::record(const char* protocol, const std::vector<ParameterValue>& values) {
    halvex::emulators::sim_server::SessionUpdate update;
    update.protocol = std::string(protocol) == "SIM" ? halvex::emulators::sim_server::Protocol::Sim
                                                     : halvex::emulators::sim_server::Protocol::App;
    for (const ParameterValue& v : values) {
        const bool isFloat = v.type == com_krel::TypeFloat;
        update.values.push_back({v.id, isFloat, isFloat ? static_cast<double>(v.asFloat()) : v.asInt()});
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (!error_.empty()) return;
    // Timed under the lock, so the lines of the two clients' threads stay in time order.
    update.at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    out_ << halvex::emulators::sim_server::formatSessionLine(update) << '\n' << std::flush;
    if (!out_) {
        error_ = "writing " + path_ + " failed after " + std::to_string(updates_.load()) + " updates";
        return;
    }
    ++updates_;
}

bool SessionRecorder::ok() const {
    std::lock_guard<std::mutex> guard(lock_);
    return error_.empty();
}

std::string SessionRecorder::error() const {
    std::lock_guard<std::mutex> guard(lock_);
    return error_;
}

}  // namespace halvex::tools
