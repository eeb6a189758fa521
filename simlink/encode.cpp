#include "simlink/encode.h"

#include <cstring>
#include <initializer_list>

#include "simlink/wire.h"

namespace com_krel {

namespace {

RawMessage serverIds(RawMessage m, std::uint32_t firstWord, const std::vector<std::uint32_t>& ids) {
    m.appendU32(firstWord);
    m.appendU32(static_cast<std::uint32_t>(ids.size()));
    for (std::uint32_t id : ids) m.appendU32(id);
    return m;
}

}  // namespace

namespace sim {

namespace {
constexpr std::uint8_t kService = 2;
// The class word of an output subscription entry, in both protocols.
constexpr std::uint32_t kOutputClassWord = 1200;

RawMessage begin(std::uint16_t type) { return wire::beginPayload(wire::kFamilySim, kService, type); }
}  // namespace

RawMessage buildInputSubscription(int simulatorId, const std::vector<InputRecord>& records) {
    RawMessage m = begin(kSubscribeInputs);
    m.bytes().reserve(wire::kPayloadHeaderLength + 8 + records.size() * 44);
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

RawMessage buildOutputSubscription(int simulatorId, const std::vector<OutputRecord>& records) {
    RawMessage m = begin(kSubscribeOutputs);
    m.appendU32(wire::simWord(simulatorId));
    m.appendU32(static_cast<std::uint32_t>(records.size()));
    for (const OutputRecord& r : records) {
        m.appendU32(kOutputClassWord);
        m.appendU32(wire::isIntWord(r.type));
        wire::appendId(m, r.id);
    }
    return m;
}

RawMessage buildPublish(int simulatorId, int publishMode, const std::vector<OutputRecord>& records) {
    RawMessage m = begin(kPublishOutputs);
    m.appendU32(wire::simWord(simulatorId));
    m.appendU32(static_cast<std::uint32_t>(publishMode));
    m.appendU32(static_cast<std::uint32_t>(records.size()));
    for (const OutputRecord& r : records) {
        m.appendU32(r.serverId);
        const bool known = r.type == TypeFloat || r.type == TypeInteger;
        m.appendU32(r.type == TypeInteger ? 1 : 0);
        m.appendU32(known ? r.value : 0);
    }
    return m;
}

RawMessage buildInputUnsubscription(int simulatorId, const std::vector<std::uint32_t>& ids) {
    return serverIds(begin(kUnsubscribeInputs), wire::simWord(simulatorId), ids);
}

RawMessage buildOutputUnsubscription(int simulatorId, const std::vector<std::uint32_t>& ids) {
    return serverIds(begin(kUnsubscribeOutputs), wire::simWord(simulatorId), ids);
}

RawMessage buildServerInfoRequest(int simulatorId) {
    RawMessage m = begin(kServerInfoRequest);
    m.appendU32(wire::simWord(simulatorId));
    m.appendU32(0);
    return m;
}

}  // namespace sim

namespace app {

namespace {
constexpr std::uint32_t kOutputClassWord = 1200;

RawMessage begin(std::uint8_t service, std::uint16_t type) {
    return wire::beginPayload(wire::kFamilyApp, service, type);
}

RawMessage flowControl(std::initializer_list<std::uint32_t> words) {
    RawMessage m(KindFlowControl);
    for (std::uint32_t w : words) m.appendU32(w);
    return m;
}
}  // namespace

RawMessage buildFlowControlRequest() { return flowControl({0u, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 3u}); }

RawMessage buildFlowControlPeriodic() {
    return flowControl({3u, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu});
}

RawMessage buildSubscribeAllEvents() {
    RawMessage m = begin(1, kSubscribeAllEvents);
    for (std::uint32_t w : {0u, 0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFFu}) m.appendU32(w);
    return m;
}

RawMessage buildPatientListRequest() { return begin(1, kPatientListRequest); }

RawMessage buildServerVersionRequest() {
    RawMessage m = begin(2, kServerVersionRequest);
    m.appendU32(0);
    return m;
}

RawMessage buildInputSubscription(int sceId, const std::vector<InputRecord>& records) {
    RawMessage m = begin(2, kSubscribeInputs);
    m.bytes().reserve(wire::kPayloadHeaderLength + 8 + records.size() * 40);
    m.appendU32(static_cast<std::uint32_t>(sceId));
    m.appendU32(static_cast<std::uint32_t>(records.size()));
    for (const InputRecord& r : records) {
        m.appendU32(wire::classWord(r.updateClass));
        m.appendU32(0);
        wire::appendId(m, r.id);
    }
    return m;
}

RawMessage buildOutputSubscription(int sceId, const std::vector<OutputRecord>& records) {
    RawMessage m = begin(2, kSubscribeOutputs);
    m.appendU32(static_cast<std::uint32_t>(sceId));
    m.appendU32(static_cast<std::uint32_t>(records.size()));
    for (const OutputRecord& r : records) {
        m.appendU32(kOutputClassWord);
        wire::appendId(m, r.id);
    }
    return m;
}

RawMessage buildInputUnsubscription(int sceId, const std::vector<std::uint32_t>& ids) {
    return serverIds(begin(2, kUnsubscribeInputs), static_cast<std::uint32_t>(sceId), ids);
}

RawMessage buildOutputUnsubscription(int sceId, const std::vector<std::uint32_t>& ids) {
    return serverIds(begin(2, kUnsubscribeOutputs), static_cast<std::uint32_t>(sceId), ids);
}

RawMessage buildPublish(std::uint16_t type, int sceId, int publishMode, const std::vector<OutputRecord>& records) {
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

}  // namespace app

}  // namespace com_krel
