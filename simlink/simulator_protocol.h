#pragma once

#include <atomic>

#include "simlink/cs_client_protocol.h"

namespace com_krel {

// Engine of the SIM protocol: requests carry the simulator id in the upper half of
// their first word; the handshake is immediate (Connected -> Ready at once).
class SimulatorProtocol : public CSClientProtocol {
public:
    // Message types of the SIM protocol.
    enum : std::uint16_t {
        SubscribeInputs = 0x0001,
        SubscribeOutputs = 0x0002,
        PublishOutputs = 0x0003,
        UnsubscribeInputs = 0x0004,
        UnsubscribeOutputs = 0x0005,
        ServerInfoRequest = 0x0006,
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

    // Payload builders (no I/O).
    static RawMessage buildInputSubscription(int simulatorId, const std::vector<InputRecord>& records);
    static RawMessage buildServerIds(std::uint16_t type, int simulatorId, const std::vector<std::uint32_t>& ids);
    static RawMessage buildOutputSubscription(int simulatorId, const std::vector<OutputRecord>& records);
    static RawMessage buildServerInfoRequest(int simulatorId);

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
