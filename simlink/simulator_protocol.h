#pragma once

#include <atomic>

#include "simlink/cs_client_protocol.h"
#include "simlink/encode.h"

namespace com_krel {

// Engine of the SIM protocol: requests carry the simulator id in the upper half of
// their first word (built in encode.cpp); the handshake is immediate (Connected ->
// Ready at once). Requests and handlers are in simulator_protocol.cpp.
class SimulatorProtocol : public CSClientProtocol {
public:
    // Message types of the SIM protocol.
    enum : std::uint16_t {
        SubscribeInputs = sim::kSubscribeInputs,
        SubscribeOutputs = sim::kSubscribeOutputs,
        PublishOutputs = sim::kPublishOutputs,
        UnsubscribeInputs = sim::kUnsubscribeInputs,
        UnsubscribeOutputs = sim::kUnsubscribeOutputs,
        ServerInfoRequest = sim::kServerInfoRequest,
        ParameterUpdate = sim::ParameterUpdate::kType,
        InputReply = sim::InputReply::kType,
        OutputReply = sim::OutputReply::kType,
        ServerInfoReply = sim::ServerInfo::kType,
    };
    // Largest simulator id a server information reply may set.
    static constexpr int kMaxSimulatorId = 0x7FFF;

    SimulatorProtocol(int simulatorId, int flags, std::unique_ptr<CSCommsInterface> transport = nullptr);
    ~SimulatorProtocol() override;

    void handleMessage(const RawMessage& payload) override;
    int simulatorId() const { return simulatorId_.load(); }

protected:
    int requestServerInfo() override;
    int sendInputSubscription(const std::vector<InputRecord>& records) override;
    int sendInputUnsubscription(const std::vector<InputRecord>& records) override;
    int sendOutputSubscription(const std::vector<OutputRecord>& records) override;
    int sendOutputUnsubscription(const std::vector<OutputRecord>& records) override;
    int publishOutputs(const std::vector<OutputRecord>& records, int publishMode) override;

private:
    void handle(const std::monostate&) {}
    void handle(const sim::ParameterUpdate& m);
    void handle(const sim::InputReply& m);
    void handle(const sim::OutputReply& m);
    void handle(const sim::ServerInfo& m);

    std::atomic<int> simulatorId_;
};

}  // namespace com_krel
