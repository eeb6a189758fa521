#include "simlink/simulator_protocol.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "simlink/wire.h"

namespace com_krel {

namespace {
constexpr std::uint8_t kService = 2;

RawMessage begin(std::uint16_t type) { return wire::beginPayload(wire::kFamilySim, kService, type); }

int asSubscriptionResult(int r) { return r == ResultNotConnected ? ResultOk : r; }

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
    std::vector<std::uint32_t> ids;
    for (const auto& r : records) ids.push_back(r.serverId);
    return asSubscriptionResult(sendMessage(buildServerIds(UnsubscribeInputs, simulatorId_, ids)));
}

int SimulatorProtocol::sendOutputSubscription(const std::vector<OutputRecord>& records) {
    if (records.empty()) return ResultOk;
    return asSubscriptionResult(sendMessage(buildOutputSubscription(simulatorId_, records)));
}

int SimulatorProtocol::sendOutputUnsubscription(const std::vector<OutputRecord>& records) {
    if (records.empty()) return ResultOk;
    std::vector<std::uint32_t> ids;
    for (const auto& r : records) ids.push_back(r.serverId);
    return asSubscriptionResult(sendMessage(buildServerIds(UnsubscribeOutputs, simulatorId_, ids)));
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

namespace {
// Entries that lie wholly inside the payload; a count larger than the payload holds
// is never read past its end.
std::size_t entriesInside(const RawMessage& m, std::uint32_t count, std::size_t first, std::size_t size) {
    if (m.size() <= first) return 0;
    return std::min<std::size_t>(count, (m.size() - first) / size);
}
}  // namespace

void SimulatorProtocol::handleUpdate(const RawMessage& m) {
    const std::size_t n = entriesInside(m, m.readU32(20), 24, 12);
    std::vector<ParameterValue> values;
    {
        RegistryHold g(*this);
        values.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = 24 + i * 12;
            const std::uint32_t serverId = m.readU32(at);
            if (serverId == 0) continue;
            auto it = inputIdToName_.find(serverId);
            if (it == inputIdToName_.end()) continue;
            ParameterValue v;
            v.id = it->second;
            v.value = m.readU32(at + 8);
            v.type = m.readU32(at + 4) == 0 ? TypeFloat : TypeInteger;
            values.push_back(std::move(v));
        }
    }
    if (!values.empty()) deliverValues(values);
}

void SimulatorProtocol::handleInputReply(const RawMessage& m) {
    const std::size_t n = entriesInside(m, m.readU32(16), 20, 52);
    std::vector<ParameterRequest> registered;
    std::vector<ParameterValue> values;
    {
        RegistryHold g(*this);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = 20 + i * 52;
            const std::string id = wire::readText(m, at + 20, wire::kIdFieldLength);
            auto it = inputs_.find(id);
            if (it == inputs_.end()) continue;
            const std::uint32_t serverId = m.readU32(at);
            info("Successful registration of SE input " + id + " as ID " + std::to_string(serverId));
            it->second.serverId = serverId;
            inputIdToName_[serverId] = id;
            registered.push_back({it->second.id, it->second.type, it->second.updateClass});
            ParameterValue v;
            v.id = id;
            v.value = m.readU32(at + 16);
            v.type = m.readU32(at + 12) == 0 ? TypeFloat : TypeInteger;
            values.push_back(std::move(v));
        }
    }
    deliverRegistered(registered, values);
}

void SimulatorProtocol::handleOutputReply(const RawMessage& m) {
    const std::size_t n = entriesInside(m, m.readU32(16), 20, 48);
    std::vector<OutputRegistration> registered;
    std::vector<OutputRecord> publish;
    {
        RegistryHold g(*this);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = 20 + i * 48;
            const std::string id = wire::readText(m, at + 16, wire::kIdFieldLength);
            const std::uint32_t serverId = m.readU32(at);
            auto it = outputs_.find(id);
            if (it == outputs_.end()) {
                error("Parameter not found: " + id + "(" + std::to_string(serverId) + ")");
                continue;
            }
            info("Successful registration of SE output " + id + " as ID " + std::to_string(serverId));
            it->second.serverId = serverId;
            outputById_[serverId] = id;
            registered.push_back({id, it->second.type});
            if (it->second.publishOnRegistration) publish.push_back(it->second);
        }
    }
    deliverOutputs(registered);
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
