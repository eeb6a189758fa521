#include "simlink/simulator_protocol.h"

#include <cstring>
#include <sstream>
#include <variant>

#include "simlink/encode.h"

namespace com_krel {

namespace {
// A value as the SIM protocol sends it: kind 0 is a float, any other kind an integer.
ParameterValue simValue(const std::string& id, std::uint32_t kind, std::uint32_t bits) {
    ParameterValue v;
    v.id = id;
    v.value = bits;
    v.type = kind == 0 ? TypeFloat : TypeInteger;
    return v;
}

std::string formatFloat(float f) {
    std::ostringstream s;
    s << f;
    return s.str();
}
}  // namespace

SimulatorProtocol::SimulatorProtocol(int simulatorId, int flags, std::unique_ptr<CSCommsInterface> transport)
    : CSClientProtocol(flags, std::move(transport)), simulatorId_(simulatorId) {}

SimulatorProtocol::~SimulatorProtocol() { shutdown(); }

int SimulatorProtocol::requestServerInfo() { return sendMessage(sim::buildServerInfoRequest(simulatorId_)); }

int SimulatorProtocol::sendInputSubscription(const std::vector<InputRecord>& records) {
    // Link down: nothing to build, the records go out with the next re-registration.
    if (records.empty() || !linkUp()) return ResultOk;
    return asSubscriptionResult(sendMessage(sim::buildInputSubscription(simulatorId_, records)));
}

int SimulatorProtocol::sendInputUnsubscription(const std::vector<InputRecord>& records) {
    if (records.empty()) return ResultOk;
    return asSubscriptionResult(sendMessage(sim::buildInputUnsubscription(simulatorId_, serverIdsOf(records))));
}

int SimulatorProtocol::sendOutputSubscription(const std::vector<OutputRecord>& records) {
    // Link down: nothing to build, the records go out with the next re-registration.
    if (records.empty() || !linkUp()) return ResultOk;
    return asSubscriptionResult(sendMessage(sim::buildOutputSubscription(simulatorId_, records)));
}

int SimulatorProtocol::sendOutputUnsubscription(const std::vector<OutputRecord>& records) {
    if (records.empty()) return ResultOk;
    return asSubscriptionResult(sendMessage(sim::buildOutputUnsubscription(simulatorId_, serverIdsOf(records))));
}

int SimulatorProtocol::publishOutputs(const std::vector<OutputRecord>& records, int publishMode) {
    if (records.empty()) return ResultOk;
    for (const OutputRecord& r : records) {
        if (r.type == TypeFloat) {
            float f;
            std::memcpy(&f, &r.value, sizeof f);
            info("Publish float parameter " + r.id + "=" + formatFloat(f));
        } else if (r.type == TypeInteger) {
            info("Publish int parameter " + r.id + "=" + std::to_string(static_cast<std::int32_t>(r.value)));
        } else {
            error("Unable to publish output " + r.id + ", type is INVALID!");
        }
    }
    return asSubscriptionResult(sendMessage(sim::buildPublish(simulatorId_, publishMode, records)));
}

void SimulatorProtocol::handleMessage(const RawMessage& m) {
    std::visit([this](const auto& message) { handle(message); }, sim::decode(m));
}

void SimulatorProtocol::handle(const sim::ParameterUpdate& m) {
    deliverUpdate(m.entries,
                  [](const UpdateEntry& e, const std::string& id, const InputRecord*) -> std::optional<ParameterValue> {
                      if (e.serverId == 0) return std::nullopt;  // never a server id
                      return simValue(id, e.valueKind, e.value);
                  });
}

void SimulatorProtocol::handle(const sim::InputReply& m) {
    acceptInputReply(m.entries, "SE input",
                     [](const InputReplyEntry& e, const InputRecord& rec) -> std::optional<ParameterValue> {
                         return simValue(rec.id, e.valueKind, e.value);
                     });
}

void SimulatorProtocol::handle(const sim::OutputReply& m) {
    const std::vector<OutputRecord> publish = acceptOutputReply(m.entries, "SE output");
    if (!publish.empty()) publishOutputs(publish, 0);
}

void SimulatorProtocol::handle(const sim::ServerInfo& m) {
    if (m.validity != 1) return;
    setServerVersion(m.version);
    const int newId = static_cast<int>(m.simulatorWord >> 16);
    if (newId != simulatorId_) {
        info("Simulator ID is now " + std::to_string(newId) + " -> reconnecting under the new id");
        if (newId <= kMaxSimulatorId) simulatorId_ = newId;
        reRegisterInputs();
        reRegisterOutputs();
    }
    setProtocolVersion(static_cast<int>(m.protocolVersion));
    info("Found server version: " + m.version);
    info("Found simulator id: " + std::to_string(newId));
    info("Found protocol version: " + std::to_string(protocolVersion()));
}

}  // namespace com_krel
