#include "simlink/simulator_protocol.h"

#include <cstring>
#include <sstream>

#include "simlink/wire.h"

namespace com_krel {

namespace {
constexpr std::uint8_t kService = 2;

RawMessage begin(std::uint16_t type) { return wire::beginPayload(wire::kFamilySim, kService, type); }

// Update entries: server id, value kind, value.
constexpr wire::EntryTable kUpdateEntries{20, 24, 12};
// Input reply entries: server id, two words, value kind, value, id.
constexpr ReplyLayout kInputReply{{16, 20, 52}, 20, "SE input"};
// Output reply entries: server id, three words, id.
constexpr ReplyLayout kOutputReply{{16, 20, 48}, 16, "SE output"};

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
    if (m.size() < wire::kPayloadHeaderLength || m.family() != wire::kFamilySim || m.service() != kService) return;
    switch (m.readU16(10)) {
    case ParameterUpdate: handleUpdate(m); break;
    case InputReply: handleInputReply(m); break;
    case OutputReply: handleOutputReply(m); break;
    case ServerInfoReply: handleServerInfo(m); break;
    default: break;
    }
}

void SimulatorProtocol::handleUpdate(const RawMessage& m) {
    deliverUpdate(m, kUpdateEntries,
                  [](const RawMessage& u, std::size_t at, const std::string& id,
                     const InputRecord*) -> std::optional<ParameterValue> {
                      if (u.readU32(at) == 0) return std::nullopt;  // never a server id
                      return simValue(id, u.readU32(at + 4), u.readU32(at + 8));
                  });
}

void SimulatorProtocol::handleInputReply(const RawMessage& m) {
    acceptInputReply(m, kInputReply,
                     [](const RawMessage& r, std::size_t at, const InputRecord& rec) -> std::optional<ParameterValue> {
                         return simValue(rec.id, r.readU32(at + 12), r.readU32(at + 16));
                     });
}

void SimulatorProtocol::handleOutputReply(const RawMessage& m) {
    const std::vector<OutputRecord> publish = acceptOutputReply(m, kOutputReply);
    if (!publish.empty()) publishOutputs(publish, 0);
}

void SimulatorProtocol::handleServerInfo(const RawMessage& m) {
    if (m.readU32(148) != 1) return;
    const std::string version = wire::readText(m, 16, 128);
    setServerVersion(version);
    const int newId = static_cast<int>(m.readU32(12) >> 16);
    if (newId != simulatorId_) {
        info("Simulator ID is now " + std::to_string(newId) + " -> reconnecting under the new id");
        if (newId <= kMaxSimulatorId) simulatorId_ = newId;
        reRegisterInputs();
        reRegisterOutputs();
    }
    setProtocolVersion(static_cast<int>(m.readU32(144)));
    info("Found server version: " + version);
    info("Found simulator id: " + std::to_string(newId));
    info("Found protocol version: " + std::to_string(protocolVersion()));
}

}  // namespace com_krel
