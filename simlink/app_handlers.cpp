#include "simlink/app_protocol.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <variant>

// What each incoming APP message does: the SCE state (id, patient, detail, run
// state), the handshake's next step, bindings and values, and the SCE callbacks.

namespace com_krel {

namespace {
// Status arguments of the SCE callbacks.
constexpr int kStatusOk = 0;
constexpr int kStatusFailed = 6;

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

std::optional<AppRunState> runStateOfSpeed(std::uint32_t speed) {
    switch (speed) {
    case 0: return AppRunState::Speed0;
    case 1: return AppRunState::Speed1x;
    case 4: return AppRunState::Speed4x;
    case 8: return AppRunState::Speed8x;
    default: return std::nullopt;
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

void AppProtocol::sceStatusReport(int sceId, int patientId, int detail, int status) {
    forAppCallbacks("sceStatusReport",
                    [&](AppClient::Callback* c) { c->sceStatusReport(sceId, patientId, detail, status); });
}

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
            runState_ = AppRunState::NotStarted;
        } else {
            std::optional<AppRunState> rs = runStateOfSpeed(speed);
            if (!rs) {
                error("Patient started but unknown speed " + std::to_string(speed) + ". Reporting as 4x");
                rs = AppRunState::Speed4x;
            }
            runState_ = *rs;
        }
    }
    if (getState() == Connected && n > 0) {
        const int sce = sceId_, patient = patientId_, detail = sceDetail_;
        sceStatusReport(sce, patient, detail, kStatusOk);
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
        sceStatusReport(s, p, detail, kStatusFailed);
        return;
    }
    runState_ = AppRunState::Announced;
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
    sceStatusReport(s, patient, detail, kStatusFailed);
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
            runState_ = AppRunState::Speed0;
            sceId_ = x;
        } else {
            sceStatusReport(x, static_cast<int>(m.patientId), sceDetail_, kStatusFailed);
        }
        break;
    case E::Started: {
        if (ok) {
            runState_ = AppRunState::Speed1x;
            sceId_ = x;
            if (pendingInputs() + pendingOutputs() != 0) registerWithSce();
        }
        sceStatusReport(x, patientId_, sceDetail_, code);
        break;
    }
    case E::Paused:
        if (ok && x == sceId_) runState_ = AppRunState::Speed0;
        forAppCallbacks("sceRunStateChanged", [&](AppClient::Callback* c) {
            c->sceRunStateChanged(x, static_cast<int>(AppRunState::Speed0), code);
        });
        break;
    case E::Ended: {
        int p = 0, d = 0;
        if (ok) {
            RegistryHold g(*this);
            p = patientId_.exchange(0);
            d = sceDetail_.exchange(0);
            sceId_ = 0;
            runState_ = AppRunState::NotStarted;
            forgetServerIds();
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
        // A speed event never pauses: speed 0 is as unknown as any other.
        const std::optional<AppRunState> rs = speed == 0 ? std::nullopt : runStateOfSpeed(speed);
        if (!rs) {
            quietError("Sce " + std::to_string(x) + " Event with unknown speed: " + std::to_string(speed));
            break;
        }
        if (ok && x == sceId_) runState_ = *rs;
        const int runState = static_cast<int>(*rs);
        forAppCallbacks("sceRunStateChanged", [&](AppClient::Callback* c) { c->sceRunStateChanged(x, runState, code); });
        break;
    }
    default: break;
    }
}

}  // namespace com_krel
