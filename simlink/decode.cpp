#include "simlink/decode.h"

namespace com_krel {

namespace {

constexpr std::size_t kTypeAt = 10;

template <class Entry, class Read>
std::vector<Entry> entriesOf(const RawMessage& m, const wire::EntryTable& table, Read&& read) {
    std::vector<Entry> entries;
    entries.reserve(wire::entriesInside(m, table));
    wire::forEachEntry(m, table, [&](std::size_t at) { entries.push_back(read(at)); });
    return entries;
}

std::string idAt(const RawMessage& m, std::size_t at) { return wire::readText(m, at, wire::kIdFieldLength); }

}  // namespace

namespace sim {

namespace {
constexpr std::uint8_t kService = 2;
}  // namespace

Message decode(const RawMessage& m) {
    if (m.size() < wire::kPayloadHeaderLength || m.family() != wire::kFamilySim || m.service() != kService) return {};
    switch (m.readU16(kTypeAt)) {
    case ParameterUpdate::kType: {
        using U = ParameterUpdate;
        return U{entriesOf<UpdateEntry>(m, U::kEntries, [&](std::size_t at) {
            return UpdateEntry{m.readU32(at + U::kServerIdAt), m.readU32(at + U::kValueKindAt), m.readU32(at + U::kValueAt)};
        })};
    }
    case InputReply::kType: {
        using R = InputReply;
        return R{entriesOf<InputReplyEntry>(m, R::kEntries, [&](std::size_t at) {
            return InputReplyEntry{m.readU32(at + R::kServerIdAt), idAt(m, at + R::kIdAt), m.readU32(at + R::kValueKindAt),
                                   m.readU32(at + R::kValueAt)};
        })};
    }
    case OutputReply::kType: {
        using R = OutputReply;
        return R{entriesOf<OutputReplyEntry>(m, R::kEntries, [&](std::size_t at) {
            return OutputReplyEntry{m.readU32(at + R::kServerIdAt), idAt(m, at + R::kIdAt)};
        })};
    }
    case ServerInfo::kType: {
        using I = ServerInfo;
        return I{m.readU32(I::kSimulatorWordAt), wire::readText(m, I::kVersionAt, I::kVersionLength),
                 m.readU32(I::kProtocolVersionAt), m.readU32(I::kValidityAt)};
    }
    default: return {};
    }
}

}  // namespace sim

namespace app {

namespace {

Message decodeService2(const RawMessage& m, std::uint16_t type) {
    switch (type) {
    case ParameterUpdate::kType: {
        using U = ParameterUpdate;
        return U{m.readU32(U::kPublishModeAt), m.readU32(U::kEntries.countAt),
                 entriesOf<UpdateEntry>(m, U::kEntries, [&](std::size_t at) {
                     return UpdateEntry{m.readU32(at + U::kServerIdAt), 0, m.readU32(at + U::kValueAt)};
                 })};
    }
    case SceAnnouncement::kType: {
        using A = SceAnnouncement;
        if (m.size() < A::kMinimumSize) return {};
        const bool hasStatus = m.size() == A::kSizeWithStatus;
        return A{m.readU32(A::kPatientIdAt), m.readU32(A::kSceIdAt), hasStatus, hasStatus ? m.readU32(A::kStatusAt) : 0};
    }
    case SceEndNotice::kType: {
        using E = SceEndNotice;
        if (m.size() < E::kMinimumSize) return {};
        return E{m.readU32(E::kSceIdAt), m.readU32(E::kErrorAt)};
    }
    case InputReply::kType: {
        using R = InputReply;
        return R{m.readU32(R::kSceIdAt), entriesOf<InputReplyEntry>(m, R::kEntries, [&](std::size_t at) {
                     return InputReplyEntry{m.readU32(at + R::kServerIdAt), idAt(m, at + R::kIdAt), 0,
                                            m.readU32(at + R::kValueAt)};
                 })};
    }
    case OutputReply::kType: {
        using R = OutputReply;
        return R{m.readU32(R::kSceIdAt), entriesOf<OutputReplyEntry>(m, R::kEntries, [&](std::size_t at) {
                     return OutputReplyEntry{m.readU32(at + R::kServerIdAt), idAt(m, at + R::kIdAt)};
                 })};
    }
    case SceDetailNotice::kType: {
        using D = SceDetailNotice;
        return D{m.readU32(D::kPatientIdAt), m.readU32(D::kDetailAt), m.readU32(D::kSceIdAt), m.readU32(D::kStatusAt)};
    }
    case ServerVersionReply::kType: {
        using V = ServerVersionReply;
        return V{wire::readText(m, V::kVersionAt, V::kVersionLength), m.readU32(V::kValidityAt)};
    }
    default: return {};
    }
}

Message decodeEvent(const RawMessage& m, std::uint16_t type) {
    using E = SceEvent;
    switch (type) {
    case E::Created:
    case E::Started:
    case E::Paused:
    case E::Ended:
    case E::Report:
        if (m.size() < E::kMinimumSize) return {};
        break;
    case E::SpeedChanged:
        if (m.size() < E::kSpeedMinimumSize) return {};
        break;
    default: return {};
    }
    E e;
    e.type = type;
    e.sceId = m.readU32(E::kSceIdAt);
    const bool lateStatus = type == E::Created || type == E::SpeedChanged;
    e.status = m.readU32(lateStatus ? E::kLateStatusAt : E::kStatusAt);
    if (type == E::Created) e.patientId = m.readU32(E::kPatientIdAt);
    if (type == E::SpeedChanged) e.speed = m.readF32(E::kSpeedAt);
    return e;
}
}  // namespace

Message decode(const RawMessage& m) {
    if (m.kind() == KindFlowControl) return FlowControlReply{m.readU32(FlowControlReply::kWordAt)};
    if (m.size() < wire::kPayloadHeaderLength) return {};
    const std::uint16_t type = m.readU16(kTypeAt);
    switch (m.service()) {
    case 1: {
        if (type != PatientList::kType) return {};
        using P = PatientList;
        return P{m.readU32(P::kCountAt), m.readU32(P::kSceIdAt), m.readU32(P::kPatientIdAt), m.readU32(P::kStateAt),
                 m.readF32(P::kSpeedAt)};
    }
    case 2: return decodeService2(m, type);
    case 3: return decodeEvent(m, type);
    default: return {};
    }
}

}  // namespace app

}  // namespace com_krel
