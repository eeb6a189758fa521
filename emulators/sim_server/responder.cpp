#include "emulators/sim_server/responder.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace halvex::emulators::sim_server {

namespace {

// SIM message types.
constexpr std::uint16_t kSimSubscribeInputs = 0x0001;
constexpr std::uint16_t kSimUnsubscribeInputs = 0x0004;
constexpr std::uint16_t kSimServerInfo = 0x0006;
constexpr std::uint16_t kSimUpdate = 0x0003;
constexpr std::uint16_t kSimInputReply = 0x0101;
constexpr std::uint16_t kSimInfoReply = 0x0106;

// APP message types, by service.
constexpr std::uint8_t kAppServiceSession = 1;
constexpr std::uint8_t kAppServiceParameters = 2;
constexpr std::uint8_t kAppServiceEvents = 3;
constexpr std::uint16_t kAppPatientListRequest = 0x0001;
constexpr std::uint16_t kAppPatientList = 0x0002;
constexpr std::uint16_t kAppSubscribeAllEvents = 0x0020;
constexpr std::uint16_t kAppSubscribeInputs = 0x0006;
constexpr std::uint16_t kAppUnsubscribeInputs = 0x0014;
constexpr std::uint16_t kAppVersionRequest = 0x0051;
constexpr std::uint16_t kAppUpdate = 0x0008;
constexpr std::uint16_t kAppInputReply = 0x0106;
constexpr std::uint16_t kAppAnnouncement = 0x0102;
constexpr std::uint16_t kAppEndNotice = 0x0103;
constexpr std::uint16_t kAppDetailNotice = 0x0150;
constexpr std::uint16_t kAppVersionReply = 0x0151;

// Entry sizes of the subscription requests the server reads.
constexpr std::size_t kSimInputEntry = 44;
constexpr std::size_t kAppInputEntry = 40;

// The flow-control request starts with 0; the periodic message (3, ...) is not answered.
constexpr std::uint32_t kFlowControlRequestWord = 0;

// Server ids start here so that a client reading 0 or a small number by mistake does
// not hit a real parameter.
constexpr std::uint32_t kFirstServerId = 101;

// How many entries of `size` bytes from `offset` the payload really holds, at most
// `count`: a count larger than the payload is not trusted.
std::size_t entriesPresent(const Bytes& payload, std::size_t offset, std::uint32_t count, std::size_t size) {
    if (payload.size() < offset) return 0;
    return std::min<std::size_t>(count, (payload.size() - offset) / size);
}

}  // namespace

const char* protocolName(Protocol p) { return p == Protocol::Sim ? "SIM" : "APP"; }

bool valueFits(const Parameter& p, double v) {
    if (p.isFloat) return true;
    return std::isfinite(v) && v == std::trunc(v) && v >= std::numeric_limits<std::int32_t>::min() &&
           v <= std::numeric_limits<std::int32_t>::max();
}

Responder::Responder(Settings settings)
    : versionText_(std::move(settings.versionText)),
      protocolVersion_(settings.protocolVersion),
      simulatorId_(settings.simulatorId),
      patient_(settings.patient),
      appPublishMode_(settings.appPublishMode) {
    std::uint32_t next = kFirstServerId;
    for (const Parameter& p : settings.parameters) {
        if (parameters_.count(p.id)) continue;  // the first definition of an id wins
        parameters_[p.id] = p;
        serverIds_[p.id] = next;
        idsByServerId_[next] = p.id;
        ++next;
    }
}

// --- requests -------------------------------------------------------------------------

Responder::Answer Responder::answer(Client& client, int kind, const Bytes& payload) {
    if (client.protocol == Protocol::Sim) return answerSim(client, payload);
    return answerApp(client, kind, payload);
}

Responder::Answer Responder::answerSim(Client& client, const Bytes& p) {
    if (p.size() < kAppHeaderSize || p[0] != kFamilySim || p[1] != 2) return {};
    switch (readU16(p, 10)) {
        case kSimServerInfo: {
            std::uint32_t simId;
            {
                std::lock_guard<std::mutex> g(mutex_);
                simId = simulatorId_;
            }
            PayloadWriter w(kFamilySim, 2, kSimInfoReply);
            w.u32(simId << 16).text(versionText_, kVersionTextSize).u32(protocolVersion_).u32(1);
            return {{frameApplication(w.finish())}, "SIM client asked for server information"};
        }
        case kSimSubscribeInputs: return subscribeSim(client, p);
        case kSimUnsubscribeInputs: return unsubscribe(client, p);
        default: return {};  // outputs and publishing are recorded only
    }
}

Responder::Answer Responder::subscribeSim(Client& client, const Bytes& p) {
    const std::size_t n = entriesPresent(p, 20, readU32(p, 16), kSimInputEntry);
    std::uint32_t simId;
    std::size_t refused = 0;
    std::vector<Bytes> entries;
    {
        std::lock_guard<std::mutex> g(mutex_);
        simId = simulatorId_;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = 20 + i * kSimInputEntry;
            const std::string id = readText(p, at + 12, kIdFieldSize);
            auto it = parameters_.find(id);
            if (it == parameters_.end() || it->second.protocol != Protocol::Sim) {
                ++refused;
                continue;
            }
            const std::uint32_t sid = serverIds_.at(id);
            client.subscribed.insert(sid);
            const Parameter& par = it->second;
            PayloadWriter e;
            e.u32(sid).u32(readU32(p, at)).u32(readU32(p, at + 8));
            if (par.isFloat)
                e.u32(0).f32(static_cast<float>(par.value));
            else
                e.u32(1).u32(static_cast<std::uint32_t>(static_cast<std::int32_t>(par.value)));
            e.id32(id);
            entries.push_back(e.finish());
        }
    }
    PayloadWriter w(kFamilySim, 2, kSimInputReply);
    w.u32(simId << 16).u32(static_cast<std::uint32_t>(entries.size()));
    for (const Bytes& e : entries) w.bytes(e);
    std::string line = "SIM client subscribed " + std::to_string(entries.size()) + " ids";
    if (refused) line += " (" + std::to_string(refused) + " not offered)";
    return {{frameApplication(w.finish())}, line};
}

Responder::Answer Responder::unsubscribe(Client& client, const Bytes& p) {
    const std::size_t n = entriesPresent(p, 20, readU32(p, 16), 4);
    for (std::size_t i = 0; i < n; ++i) client.subscribed.erase(readU32(p, 20 + i * 4));
    return {{}, std::string(protocolName(client.protocol)) + " client unsubscribed " + std::to_string(n) + " ids"};
}

Responder::Answer Responder::answerApp(Client& client, int kind, const Bytes& p) {
    if (kind == KindFlowControl) {
        if (p.size() >= 4 && readU32(p, 0) == kFlowControlRequestWord) {
            PayloadWriter w;
            w.u32(1).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(3);
            return {{frameFlowControl(w.finish())}, "APP client flow control accepted"};
        }
        return {};
    }
    if (kind != KindApplication || p.size() < kAppHeaderSize) return {};
    const std::uint8_t service = p[1];
    const std::uint16_t type = readU16(p, 10);
    if (service == kAppServiceSession && type == kAppSubscribeAllEvents) {
        return {{}, "APP client subscribed to all events"};
    } else if (service == kAppServiceSession && type == kAppPatientListRequest) {
        PatientInfo pi = patient();
        PayloadWriter w(kFamilyApp, kAppServiceSession, kAppPatientList);
        w.u32(pi.count);
        // Further patients are listed after the first, with following SCE and patient ids.
        for (std::uint32_t i = 0; i < pi.count && i < 16; ++i)
            w.u32(pi.sceId + i).u32(pi.patientId + i).u32(pi.state).f32(pi.speed);
        return {{frameApplication(w.finish())},
                "APP client asked for the patient list (" + std::to_string(pi.count) + " patients)"};
    } else if (service == kAppServiceParameters && type == kAppVersionRequest) {
        PayloadWriter w(kFamilyApp, kAppServiceParameters, kAppVersionReply);
        // The text ends at 140; validity is read at 144, so one word (the protocol
        // version, as in the SIM reply) sits between them.
        w.text(versionText_, kVersionTextSize).u32(protocolVersion_).u32(1);
        return {{frameApplication(w.finish())}, "APP client asked for the server version"};
    } else if (service == kAppServiceParameters && type == kAppSubscribeInputs) {
        return subscribeApp(client, p);
    } else if (service == kAppServiceParameters && type == kAppUnsubscribeInputs) {
        return unsubscribe(client, p);
    }
    return {};
}

Responder::Answer Responder::subscribeApp(Client& client, const Bytes& p) {
    const std::uint32_t sce = readU32(p, 12);
    const std::size_t n = entriesPresent(p, 20, readU32(p, 16), kAppInputEntry);
    std::size_t refused = 0;
    std::vector<Bytes> entries;
    {
        std::lock_guard<std::mutex> g(mutex_);
        // Only the active SCE takes subscriptions.
        if (patient_.count == 0 || sce != patient_.sceId)
            return {{}, "APP client subscribed for SCE " + std::to_string(sce) + ", which is not active; ignored"};
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = 20 + i * kAppInputEntry;
            const std::string id = readText(p, at + 8, kIdFieldSize);
            auto it = parameters_.find(id);
            if (it == parameters_.end() || it->second.protocol != Protocol::App) {
                ++refused;
                continue;
            }
            const std::uint32_t sid = serverIds_.at(id);
            client.subscribed.insert(sid);
            PayloadWriter e;
            e.u32(sid).u32(readU32(p, at)).u32(0).f32(static_cast<float>(it->second.value)).id32(id);
            entries.push_back(e.finish());
        }
    }
    PayloadWriter w(kFamilyApp, kAppServiceParameters, kAppInputReply);
    w.u32(sce).u32(static_cast<std::uint32_t>(entries.size()));
    for (const Bytes& e : entries) w.bytes(e);
    std::string line = "APP client subscribed " + std::to_string(entries.size()) + " ids";
    if (refused) line += " (" + std::to_string(refused) + " not offered)";
    return {{frameApplication(w.finish())}, line};
}

// --- values ---------------------------------------------------------------------------

std::optional<Responder::Changes> Responder::setValues(const std::vector<std::pair<std::string, double>>& values) {
    Changes changes;
    std::lock_guard<std::mutex> g(mutex_);
    for (const auto& [id, v] : values) {
        auto it = parameters_.find(id);
        if (it == parameters_.end() || !valueFits(it->second, v)) return std::nullopt;
    }
    for (const auto& [id, v] : values) {
        Parameter& par = parameters_[id];
        par.value = v;
        (par.protocol == Protocol::Sim ? changes.sim : changes.app).emplace_back(serverIds_.at(id), v);
    }
    return changes;
}

std::optional<Bytes> Responder::update(const Client& client, const Entries& entries) const {
    const Protocol protocol = client.protocol;
    std::uint32_t simId, sce, mode;
    PayloadWriter body;
    std::uint32_t count = 0;
    {
        std::lock_guard<std::mutex> g(mutex_);
        // APP values belong to a running SCE.
        if (protocol == Protocol::App && patient_.count == 0) return std::nullopt;
        simId = simulatorId_;
        sce = patient_.sceId;
        mode = appPublishMode_;
        for (const auto& [sid, v] : entries) {
            if (!client.subscribed.count(sid)) continue;
            ++count;
            if (protocol == Protocol::App)
                body.u32(sid).f32(static_cast<float>(v));
            else if (parameters_.at(idsByServerId_.at(sid)).isFloat)
                body.u32(sid).u32(0).f32(static_cast<float>(v));
            else
                body.u32(sid).u32(1).u32(static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
        }
    }
    if (count == 0) return std::nullopt;
    PayloadWriter w = protocol == Protocol::App ? PayloadWriter(kFamilyApp, kAppServiceParameters, kAppUpdate)
                                                : PayloadWriter(kFamilySim, 2, kSimUpdate);
    if (protocol == Protocol::App)
        w.u32(sce).u32(mode);
    else
        w.u32(simId << 16).u32(0);
    w.u32(count).bytes(body.finish());
    return frameApplication(w.finish());
}

std::optional<Parameter> Responder::parameter(const std::string& id) const {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = parameters_.find(id);
    if (it == parameters_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::uint32_t> Responder::serverId(const std::string& id) const {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = serverIds_.find(id);
    if (it == serverIds_.end()) return std::nullopt;
    return it->second;
}

void Responder::setSimulatorId(std::uint32_t id) {
    std::lock_guard<std::mutex> g(mutex_);
    simulatorId_ = id;
}

void Responder::setPatient(const PatientInfo& pi) {
    std::lock_guard<std::mutex> g(mutex_);
    patient_ = pi;
}

PatientInfo Responder::patient() const {
    std::lock_guard<std::mutex> g(mutex_);
    return patient_;
}

void Responder::setAppPublishMode(std::uint32_t mode) {
    std::lock_guard<std::mutex> g(mutex_);
    appPublishMode_ = mode;
}

// --- SCE life -------------------------------------------------------------------------

Responder::SceNotice Responder::sceEvent(SceEvent ev, std::uint32_t sceId, std::uint32_t status,
                                         std::uint32_t patientId, float speed) {
    PayloadWriter w(kFamilyApp, kAppServiceEvents, static_cast<std::uint16_t>(ev));
    w.u32(sceId);
    switch (ev) {
        case SceEvent::Created: w.u32(patientId).u32(status); break;
        case SceEvent::Speed: w.f32(speed).u32(status); break;
        default: w.u32(status); break;
    }
    SceNotice notice{frameApplication(w.finish()), false};
    if (status != 1) return notice;  // a failed event changes nothing
    std::lock_guard<std::mutex> g(mutex_);
    switch (ev) {
        case SceEvent::Started:
            if (patient_.count == 0) patient_.count = 1;
            patient_.sceId = sceId;
            patient_.state = 5;
            if (patient_.speed == 0.0f) patient_.speed = 1.0f;
            break;
        case SceEvent::Paused:
            if (sceId == patient_.sceId) patient_.speed = 0.0f;
            break;
        case SceEvent::Speed:
            if (sceId == patient_.sceId) patient_.speed = speed;
            break;
        case SceEvent::Ended:
            if (sceId == patient_.sceId) {
                patient_.count = 0;
                notice.ended = true;
            }
            break;
        default: break;
    }
    return notice;
}

Bytes Responder::sceAnnouncement(std::uint32_t patientId, std::uint32_t sceId, std::optional<std::uint32_t> status) {
    PayloadWriter w(kFamilyApp, kAppServiceParameters, kAppAnnouncement);
    w.u32(0).u32(patientId).u32(sceId);
    if (status) w.u32(*status);
    return frameApplication(w.finish());
}

Bytes Responder::sceEndNotice(std::uint32_t sceId, std::uint32_t error) {
    PayloadWriter w(kFamilyApp, kAppServiceParameters, kAppEndNotice);
    w.u32(sceId).u32(error);
    return frameApplication(w.finish());
}

Bytes Responder::sceDetail(std::uint32_t patientId, std::uint32_t detail, std::uint32_t sceId, std::uint32_t status) {
    PayloadWriter w(kFamilyApp, kAppServiceParameters, kAppDetailNotice);
    w.u32(patientId).u32(detail).u32(sceId).u32(status);
    return frameApplication(w.finish());
}

}  // namespace halvex::emulators::sim_server
