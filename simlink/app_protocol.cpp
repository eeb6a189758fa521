#include "simlink/app_protocol.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <variant>

#include "simlink/wire.h"

namespace com_krel {

namespace {
enum : std::uint16_t {
    PatientListRequest = 0x0001,
    SubscribeAllEvents = 0x0020,
    SubscribeInputs = 0x0006,
    SubscribeOutputs = 0x0007,
    PublishOutputs = 0x0008,
    PublishOutputsAlt = 0x0038,
    UnsubscribeInputs = 0x0014,
    UnsubscribeOutputs = 0x0015,
    ServerVersionRequest = 0x0051,
};
constexpr int kStatusOk = 0;
constexpr int kStatusFailed = 6;

RawMessage begin(std::uint8_t service, std::uint16_t type) {
    return wire::beginPayload(wire::kFamilyApp, service, type);
}

// Float to integer toward zero, saturating, NaN as 0: a value the server sends must
// never be undefined behaviour here.
std::int32_t truncateToInt(float f) {
    if (std::isnan(f)) return 0;
    if (f >= 2147483647.0f) return std::numeric_limits<std::int32_t>::max();
    if (f <= -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(f);
}

// Speeds are small whole numbers; anything not representable reads as an unknown speed.
std::uint32_t truncateSpeed(float f) {
    if (std::isnan(f) || f < 0.0f || f >= 4294967296.0f) return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(f);
}

int runStateOfSpeed(std::uint32_t speed) {
    switch (speed) {
    case 0: return 2;
    case 1: return 3;
    case 4: return 4;
    case 8: return 5;
    default: return -1;
    }
}

// APP values travel as floats; the subscribed type says what is delivered.
std::optional<ParameterValue> valueOfType(const std::string& id, std::uint32_t bits, int type, int flagged) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    if (type == TypeInvalid || type == TypeFloat) return ParameterValue::ofFloat(id, f, flagged);
    if (type == TypeInteger) return ParameterValue::ofInt(id, truncateToInt(f), flagged);
    return std::nullopt;
}
}  // namespace

AppProtocol::AppProtocol(int flags, std::unique_ptr<CSCommsInterface> transport)
    : CSClientProtocol(flags, std::move(transport)) {}

AppProtocol::~AppProtocol() {
    stopFlowControl();
    shutdown();
}

// ---- builders ----------------------------------------------------------------------

RawMessage AppProtocol::buildFlowControlRequest() {
    RawMessage m(KindFlowControl);
    for (std::uint32_t w : {0u, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 3u}) m.appendU32(w);
    return m;
}

RawMessage AppProtocol::buildFlowControlPeriodic() {
    RawMessage m(KindFlowControl);
    for (std::uint32_t w : {3u, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}) m.appendU32(w);
    return m;
}

RawMessage AppProtocol::buildSubscribeAllEvents() {
    RawMessage m = begin(1, SubscribeAllEvents);
    for (std::uint32_t w : {0u, 0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFFu}) m.appendU32(w);
    return m;
}

RawMessage AppProtocol::buildPatientListRequest() { return begin(1, PatientListRequest); }

RawMessage AppProtocol::buildServerVersionRequest() {
    RawMessage m = begin(2, ServerVersionRequest);
    m.appendU32(0);
    return m;
}

RawMessage AppProtocol::buildInputSubscription(int sceId, const std::vector<InputRecord>& records) {
    RawMessage m = begin(2, SubscribeInputs);
    m.bytes().reserve(20 + records.size() * 40);
    m.appendU32(static_cast<std::uint32_t>(sceId));
    m.appendU32(static_cast<std::uint32_t>(records.size()));
    for (const InputRecord& r : records) {
        m.appendU32(wire::classWord(r.updateClass));
        m.appendU32(0);
        wire::appendId(m, r.id);
    }
    return m;
}

RawMessage AppProtocol::buildOutputSubscription(int sceId, const std::vector<OutputRecord>& records) {
    RawMessage m = begin(2, SubscribeOutputs);
    m.appendU32(static_cast<std::uint32_t>(sceId));
    m.appendU32(static_cast<std::uint32_t>(records.size()));
    for (const OutputRecord& r : records) {
        m.appendU32(1200);
        wire::appendId(m, r.id);
    }
    return m;
}

RawMessage AppProtocol::buildServerIds(std::uint16_t type, int sceId, const std::vector<std::uint32_t>& ids) {
    RawMessage m = begin(2, type);
    m.appendU32(static_cast<std::uint32_t>(sceId));
    m.appendU32(static_cast<std::uint32_t>(ids.size()));
    for (std::uint32_t id : ids) m.appendU32(id);
    return m;
}

RawMessage AppProtocol::buildPublish(std::uint16_t type, int sceId, int publishMode,
                                     const std::vector<OutputRecord>& records) {
    RawMessage m = begin(2, type);
    m.appendU32(static_cast<std::uint32_t>(sceId));
    m.appendU32(static_cast<std::uint32_t>(publishMode));
    m.appendU32(static_cast<std::uint32_t>(records.size()));
    for (const OutputRecord& r : records) {
        m.appendU32(r.serverId);
        float f = 0.0f;
        if (r.type == TypeFloat) std::memcpy(&f, &r.value, sizeof f);
        else if (r.type == TypeInteger) f = static_cast<float>(static_cast<std::int32_t>(r.value));
        m.appendF32(f);
    }
    return m;
}

// ---- requests ----------------------------------------------------------------------

int AppProtocol::requestServerInfo() {
    info("Sending server version request...");
    return sendMessage(buildServerVersionRequest());
}

template <class Record>
int AppProtocol::sendSubscription(const std::vector<Record>& records, const char* what,
                                  RawMessage (*build)(int, const std::vector<Record>&)) {
    // Without an active SCE the records are held, to be sent when one starts.
    const int sce = sceId_;
    if (records.empty() || sce == 0) return ResultOk;
    if (records.size() > kMaxRecordsPerSubscription) {
        info(std::string("Splitting large ") + what + " subscription: " + std::to_string(records.size()) +
             " parameters requested");
        const auto half = records.begin() + static_cast<std::ptrdiff_t>(records.size() / 2);
        int r = sendSubscription(std::vector<Record>(records.begin(), half), what, build);
        if (r == ResultOk) r = sendSubscription(std::vector<Record>(half, records.end()), what, build);
        return r;
    }
    return asSubscriptionResult(sendMessage(build(sce, records)));
}

int AppProtocol::sendInputSubscription(const std::vector<InputRecord>& records) {
    return sendSubscription(records, "input", &AppProtocol::buildInputSubscription);
}

int AppProtocol::sendOutputSubscription(const std::vector<OutputRecord>& records) {
    return sendSubscription(records, "output", &AppProtocol::buildOutputSubscription);
}

int AppProtocol::sendInputUnsubscription(const std::vector<InputRecord>& records) {
    if (records.empty()) return ResultOk;
    const int sce = sceId_;
    if (sce == 0) return ResultNoActiveSce;
    info("Unsubscribing from " + std::to_string(records.size()) + " inputs for SIM ID: " + std::to_string(sce));
    return asSubscriptionResult(sendMessage(buildServerIds(UnsubscribeInputs, sce, serverIdsOf(records))));
}

int AppProtocol::sendOutputUnsubscription(const std::vector<OutputRecord>& records) {
    if (records.empty()) return ResultOk;
    const int sce = sceId_;
    if (sce == 0) return ResultOk;
    info("Unsubscribing from " + std::to_string(records.size()) + " outputs for SCE ID: " + std::to_string(sce));
    return asSubscriptionResult(sendMessage(buildServerIds(UnsubscribeOutputs, sce, serverIdsOf(records))));
}

int AppProtocol::publishOutputs(const std::vector<OutputRecord>& records, int publishMode) {
    if (records.empty()) return ResultOk;
    const int sce = sceId_;
    if (sce == 0) return ResultNoActiveSce;
    const std::uint16_t type = hasFlags(AltPublish) ? PublishOutputsAlt : PublishOutputs;
    return asSubscriptionResult(sendMessage(buildPublish(type, sce, publishMode, records)));
}

// ---- flow control --------------------------------------------------------------------

int AppProtocol::startFlowControl() {
    std::lock_guard<std::mutex> g(flowControlMutex_);
    if (flowControlThread_.isRunning()) return ResultFailed;
    flowControlStop_ = false;
    if (!flowControlThread_.start(&AppProtocol::flowControlEntry, this)) return ResultFailed;
    return ResultOk;
}

void AppProtocol::stopFlowControl() {
    std::lock_guard<std::mutex> g(flowControlMutex_);
    if (!flowControlThread_.isRunning()) return;
    flowControlStop_ = true;
    flowControlSignal_.notifyAll();
    flowControlThread_.join();
}

void AppProtocol::flowControlEntry(void* self) {
    auto* e = static_cast<AppProtocol*>(self);
    while (!e->flowControlStop_) {
        if (e->getState() == Ready) {
            try {
                e->sendMessage(buildFlowControlPeriodic());
            } catch (const std::exception& ex) {
                e->error(std::string("Flow control send failed: ") + ex.what());
            } catch (...) {
                e->error("Flow control send failed: unknown error");
            }
        }
        e->flowControlSignal_.waitFor(e->flowControlPeriod_, [e] { return e->flowControlStop_.load(); });
    }
}

// ---- handshake -------------------------------------------------------------------------

void AppProtocol::onStateChange(int, int newState) {
    if (newState == Connected) {
        info("Sending flow control request...");
        sendMessage(buildFlowControlRequest());
    } else if (newState == Ready) {
        requestServerInfo();
    } else if (newState == Idle) {
        clearRegistry();
    }
}

void AppProtocol::goReady() {
    // Under stateLock, and only from Connected, so that a stop requested meanwhile
    // is never overwritten by Ready.
    CSLock g(stateLock_);
    if (getState() == Connected) setState(Ready);
}

void AppProtocol::continueHandshake() {
    info("Sending subscribe to all events...");
    sendMessage(buildSubscribeAllEvents());
    info("Refreshing Active Sces...");
    {
        RegistryHold g(*this);
        patientId_ = 0;
        sceId_ = 0;
        sceDetail_ = 0;
        runState_ = 0;
    }
    if (sendMessage(buildPatientListRequest()) != ResultOk) {
        error("Error refreshing active SCE's. Continuing...");
        goReady();
    }
}

void AppProtocol::registerWithSce() {
    if (sceId_ == 0) return;
    info("Registering input parameters (" + std::to_string(pendingInputs()) + ")...");
    reRegisterInputs();
    info("Registering output parameters (" + std::to_string(pendingOutputs()) + ")...");
    reRegisterOutputs();
}

// ---- incoming ------------------------------------------------------------------------------

void AppProtocol::handleMessage(const RawMessage& m) {
    std::visit([this](const auto& message) { handle(message); }, app::decode(m));
}

void AppProtocol::handle(const app::FlowControlReply& m) {
    if (m.word == 1 && getState() == Connected) continueHandshake();
}

void AppProtocol::handle(const app::PatientList& m) {
    const std::uint32_t n = m.count;
    if (n > 1) {
        error("Warning, multiple patients in a patient list response: " + std::to_string(n) +
              ". Handling only the first one!");
    }
    if (n > 0) {
        sceId_ = static_cast<int>(m.sceId);
        patientId_ = static_cast<int>(m.patientId);
        const std::uint32_t speed = truncateSpeed(m.speed);
        if (m.state != app::PatientList::kStarted) {
            runState_ = 0;
        } else {
            int rs = runStateOfSpeed(speed);
            if (rs < 0) {
                error("Patient started but unknown speed " + std::to_string(speed) + ". Reporting as 4x");
                rs = 4;
            }
            runState_ = rs;
        }
    }
    if (getState() == Connected && n > 0) {
        const int sce = sceId_, patient = patientId_, detail = sceDetail_;
        forAppCallbacks("sceStatusReport", [&](AppClient::Callback* c) { c->sceStatusReport(sce, patient, detail, kStatusOk); });
    } else {
        forAppCallbacks("noActiveSce", [&](AppClient::Callback* c) { c->noActiveSce(); });
    }
    if (getState() == Connected) {
        registerWithSce();
        goReady();
    }
}

void AppProtocol::handle(const app::ParameterUpdate& m) {
    if (m.count == 0 || m.publishMode == 1) return;
    const int flagged = m.publishMode == 2 ? 1 : 0;
    deliverUpdate(m.entries,
                  [flagged](const UpdateEntry& e, const std::string&,
                            const InputRecord* rec) -> std::optional<ParameterValue> {
                      if (!rec) return std::nullopt;
                      return valueOfType(rec->id, e.value, rec->type, flagged);
                  });
}

void AppProtocol::handle(const app::InputReply& m) {
    if (static_cast<int>(m.sceId) != sceId_) return;
    acceptInputReply(m.entries, "APP input", [](const InputReplyEntry& e, const InputRecord& rec) {
        return valueOfType(rec.id, e.value, rec.type, 0);
    });
}

void AppProtocol::handle(const app::OutputReply& m) {
    if (static_cast<int>(m.sceId) != sceId_) return;
    std::vector<OutputRecord> mode0, mode2;
    for (OutputRecord& r : acceptOutputReply(m.entries, "APP output")) (r.publishMode2 ? mode2 : mode0).push_back(std::move(r));
    if (!mode0.empty()) publishOutputs(mode0, 0);
    if (!mode2.empty()) publishOutputs(mode2, 2);
}

void AppProtocol::handle(const app::SceAnnouncement& m) {
    const int p = static_cast<int>(m.patientId);
    const int s = static_cast<int>(m.sceId);
    if (m.hasStatus && m.status != 1) {
        const int detail = sceDetail_;
        forAppCallbacks("sceStatusReport", [&](AppClient::Callback* c) { c->sceStatusReport(s, p, detail, kStatusFailed); });
        return;
    }
    runState_ = 1;
    patientId_ = p;
    sceId_ = s;
    const int detail = sceDetail_;
    forAppCallbacks("sceAdopted", [&](AppClient::Callback* c) { c->sceAdopted(s, p, detail); });
}

void AppProtocol::handle(const app::SceEndNotice& m) {
    const int s = static_cast<int>(m.sceId);
    if (m.error != 0) return;
    const int patient = patientId_.exchange(0);
    const int detail = sceDetail_.exchange(0);
    sceId_ = 0;
    forAppCallbacks("sceStatusReport", [&](AppClient::Callback* c) { c->sceStatusReport(s, patient, detail, kStatusFailed); });
}

void AppProtocol::handle(const app::SceDetailNotice& m) {
    if (static_cast<int>(m.sceId) != sceId_) return;
    if (m.status == 1) {
        patientId_ = static_cast<int>(m.patientId);
        sceDetail_ = static_cast<int>(m.detail);
    } else {
        sceId_ = 0;
    }
}

void AppProtocol::handle(const app::ServerVersionReply& m) {
    if (m.validity != 1) return;
    setServerVersion(m.version);
    info("Found server version: " + m.version);
    setProtocolVersion(1);
}

void AppProtocol::handle(const app::SceEvent& m) {
    using E = app::SceEvent;
    const int x = static_cast<int>(m.sceId);
    const bool ok = m.status == 1;
    const int code = ok ? kStatusOk : kStatusFailed;
    switch (m.type) {
    case E::Created:
        if (ok) {
            patientId_ = static_cast<int>(m.patientId);
            runState_ = 2;
            sceId_ = x;
        } else {
            const int p = static_cast<int>(m.patientId), d = sceDetail_;
            forAppCallbacks("sceStatusReport", [&](AppClient::Callback* c) { c->sceStatusReport(x, p, d, kStatusFailed); });
        }
        break;
    case E::Started: {
        if (ok) {
            runState_ = 3;
            sceId_ = x;
            if (pendingInputs() + pendingOutputs() != 0) registerWithSce();
        }
        const int p = patientId_, d = sceDetail_;
        forAppCallbacks("sceStatusReport", [&](AppClient::Callback* c) { c->sceStatusReport(x, p, d, code); });
        break;
    }
    case E::Paused:
        if (ok && x == sceId_) runState_ = 2;
        forAppCallbacks("sceRunStateChanged", [&](AppClient::Callback* c) { c->sceRunStateChanged(x, 2, code); });
        break;
    case E::Ended: {
        int p = 0, d = 0;
        if (ok) {
            RegistryHold g(*this);
            p = patientId_.exchange(0);
            d = sceDetail_.exchange(0);
            sceId_ = 0;
            runState_ = 0;
            inputIdToName_.clear();
            outputById_.clear();
        } else {
            p = patientId_;
            d = sceDetail_;
        }
        forAppCallbacks("sceCleared", [&](AppClient::Callback* c) { c->sceCleared(x, p, d, code); });
        break;
    }
    case E::Report: {
        const int p = patientId_, d = sceDetail_;
        forAppCallbacks("sceEventReport", [&](AppClient::Callback* c) { c->sceEventReport(x, p, d, code); });
        break;
    }
    case E::SpeedChanged: {
        const std::uint32_t speed = truncateSpeed(m.speed);
        const int rs = speed == 0 ? -1 : runStateOfSpeed(speed);
        if (rs < 0) {
            quietError("Sce " + std::to_string(x) + " Event with unknown speed: " + std::to_string(speed));
            break;
        }
        if (ok && x == sceId_) runState_ = rs;
        forAppCallbacks("sceRunStateChanged", [&](AppClient::Callback* c) { c->sceRunStateChanged(x, rs, code); });
        break;
    }
    default: break;
    }
}

}  // namespace com_krel
