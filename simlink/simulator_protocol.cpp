#include "simlink/simulator_protocol.h"

#include <cstring>
#include <sstream>
#include <variant>

#include "simlink/wire.h"

namespace com_krel {

namespace {
constexpr std::uint8_t kService = 2;

RawMessage begin(std::uint16_t type) { return wire::beginPayload(wire::kFamilySim, kService, type); }

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

RawMessage SimulatorProtocol::buildInputSubscription(int simulatorId, const std::vector<InputRecord>& records) {
    RawMessage m = begin(SubscribeInputs);
    m.appendU32(wire::simWord(simulatorId));
    m.appendU32(static_cast<std::uint32_t>(records.size()));
    for (const InputRecord& r : records) {
        const std::uint32_t cls = wire::classWord(r.updateClass);
        m.appendU32(cls);
        m.appendU32(cls);
        m.appendU32(wire::isIntWord(r.type));
        wire::appendId(m, r.id);
    }
    return m;
}

RawMessage SimulatorProtocol::buildServerIds(std::uint16_t type, int simulatorId,
                                             const std::vector<std::uint32_t>& ids) {
    RawMessage m = begin(type);
    m.appendU32(wire::simWord(simulatorId));
    m.appendU32(static_cast<std::uint32_t>(ids.size()));
    for (std::uint32_t id : ids) m.appendU32(id);
    return m;
}

RawMessage SimulatorProtocol::buildOutputSubscription(int simulatorId, const std::vector<OutputRecord>& records) {
    RawMessage m = begin(SubscribeOutputs);
    m.appendU32(wire::simWord(simulatorId));
    m.appendU32(static_cast<std::uint32_t>(records.size()));
    for (const OutputRecord& r : records) {
        m.appendU32(1200);
        m.appendU32(wire::isIntWord(r.type));
        wire::appendId(m, r.id);
    }
    return m;
}

RawMessage SimulatorProtocol::buildServerInfoRequest(int simulatorId) {
    RawMessage m = begin(ServerInfoRequest);
    m.appendU32(wire::simWord(simulatorId));
    m.appendU32(0);
    return m;
}

int SimulatorProtocol::requestServerInfo() { return sendMessage(buildServerInfoRequest(simulatorId_)); }

int SimulatorProtocol::sendInputSubscription(const std::vector<InputRecord>& records) {
    if (records.empty()) return ResultOk;
    return asSubscriptionResult(sendMessage(buildInputSubscription(simulatorId_, records)));
}

int SimulatorProtocol::sendInputUnsubscription(const std::vector<InputRecord>& records) {
    if (records.empty()) return ResultOk;
    return asSubscriptionResult(sendMessage(buildServerIds(UnsubscribeInputs, simulatorId_, serverIdsOf(records))));
}

int SimulatorProtocol::sendOutputSubscription(const std::vector<OutputRecord>& records) {
    if (records.empty()) return ResultOk;
    return asSubscriptionResult(sendMessage(buildOutputSubscription(simulatorId_, records)));
}

int SimulatorProtocol::sendOutputUnsubscription(const std::vector<OutputRecord>& records) {
    if (records.empty()) return ResultOk;
    return asSubscriptionResult(sendMessage(buildServerIds(UnsubscribeOutputs, simulatorId_, serverIdsOf(records))));
}

int SimulatorProtocol::publishOutputs(const std::vector<OutputRecord>& records, int publishMode) {
    if (records.empty()) return ResultOk;
    RawMessage m = begin(PublishOutputs);
    m.appendU32(wire::simWord(simulatorId_));
    m.appendU32(static_cast<std::uint32_t>(publishMode));
    m.appendU32(static_cast<std::uint32_t>(records.size()));
    for (const OutputRecord& r : records) {
        m.appendU32(r.serverId);
        if (r.type == TypeFloat) {
            float f;
            std::memcpy(&f, &r.value, sizeof f);
            info("Publish float parameter " + r.id + "=" + formatFloat(f));
            m.appendU32(0);
            m.appendU32(r.value);
        } else if (r.type == TypeInteger) {
            info("Publish int parameter " + r.id + "=" + std::to_string(static_cast<std::int32_t>(r.value)));
            m.appendU32(1);
            m.appendU32(r.value);
        } else {
            error("Unable to publish output " + r.id + ", type is INVALID!");
            m.appendU32(0);
            m.appendU32(0);
        }
    }
    return asSubscriptionResult(sendMessage(m));
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
