#pragma once

// The messages the server sends, decoded from a payload into plain structs, free of
// I/O: nothing here touches the registry, a callback or a socket. Each struct names
// the offsets its fields are read from (payload offsets, the 12-byte payload header
// included; entry fields relative to their entry). A field beyond the end of a short
// payload reads as 0, and only entries lying wholly inside the payload are decoded,
// whatever count the message announces. Payloads a protocol ignores decode to
// std::monostate.

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "simlink/raw_message.h"
#include "simlink/wire.h"

namespace com_krel {

// ---- entries, alike in both protocols ----------------------------------------------

// A value in a parameter update.
struct UpdateEntry {
    std::uint32_t serverId = 0;
    std::uint32_t valueKind = 0;  // SIM: 0 = f32, otherwise i32; APP sends f32 only (0)
    std::uint32_t value = 0;      // the value's 32 bits
};

// An input the server accepted, with its current value.
struct InputReplyEntry {
    std::uint32_t serverId = 0;
    std::string id;
    std::uint32_t valueKind = 0;  // as in UpdateEntry
    std::uint32_t value = 0;
};

// An output the server accepted.
struct OutputReplyEntry {
    std::uint32_t serverId = 0;
    std::string id;
};

// ---- SIM protocol (family 4, service 2) ----------------------------------------------

namespace sim {

// 0x0003: values of subscribed inputs.
struct ParameterUpdate {
    static constexpr std::uint16_t kType = 0x0003;
    static constexpr wire::EntryTable kEntries{20, 24, 12};
    static constexpr std::size_t kServerIdAt = 0, kValueKindAt = 4, kValueAt = 8;
    std::vector<UpdateEntry> entries;
};

// 0x0101: server ids of inputs and their current values.
struct InputReply {
    static constexpr std::uint16_t kType = 0x0101;
    static constexpr wire::EntryTable kEntries{16, 20, 52};
    static constexpr std::size_t kServerIdAt = 0, kValueKindAt = 12, kValueAt = 16, kIdAt = 20;
    std::vector<InputReplyEntry> entries;
};

// 0x0102: server ids of outputs.
struct OutputReply {
    static constexpr std::uint16_t kType = 0x0102;
    static constexpr wire::EntryTable kEntries{16, 20, 48};
    static constexpr std::size_t kServerIdAt = 0, kIdAt = 16;
    std::vector<OutputReplyEntry> entries;
};

// 0x0106: the server's version, simulator id and protocol version.
struct ServerInfo {
    static constexpr std::uint16_t kType = 0x0106;
    static constexpr std::size_t kSimulatorWordAt = 12, kVersionAt = 16, kVersionLength = 128,
                                 kProtocolVersionAt = 144, kValidityAt = 148;
    std::uint32_t simulatorWord = 0;  // the simulator id in the upper 16 bits
    std::string version;              // up to the first NUL
    std::uint32_t protocolVersion = 0;
    std::uint32_t validity = 0;  // the reply counts only when it is 1
};

using Message = std::variant<std::monostate, ParameterUpdate, InputReply, OutputReply, ServerInfo>;

Message decode(const RawMessage& payload);

}  // namespace sim

// ---- APP protocol (family byte not checked; dispatch on the service byte) --------------

namespace app {

// Kind 2: the server's answer to a flow-control request.
struct FlowControlReply {
    static constexpr std::size_t kWordAt = 0;
    std::uint32_t word = 0;  // 1 lets the handshake go on
};

// Service 1, 0x0002: the patients; only the first one is read.
struct PatientList {
    static constexpr std::uint16_t kType = 0x0002;
    static constexpr std::size_t kCountAt = 12, kSceIdAt = 16, kPatientIdAt = 20, kStateAt = 24, kSpeedAt = 28;
    static constexpr std::uint32_t kStarted = 5;
    std::uint32_t count = 0;
    std::uint32_t sceId = 0, patientId = 0, state = 0;
    float speed = 0.0f;
};

// Service 2, 0x0008: values of subscribed inputs.
struct ParameterUpdate {
    static constexpr std::uint16_t kType = 0x0008;
    static constexpr std::size_t kPublishModeAt = 16;
    static constexpr wire::EntryTable kEntries{20, 24, 8};
    static constexpr std::size_t kServerIdAt = 0, kValueAt = 4;
    std::uint32_t publishMode = 0;  // 1: ignore the message; 2: the values are flagged
    std::uint32_t count = 0;        // as announced
    std::vector<UpdateEntry> entries;
};

// Service 2, 0x0102 (at least 24 bytes).
struct SceAnnouncement {
    static constexpr std::uint16_t kType = 0x0102;
    static constexpr std::size_t kMinimumSize = 24, kPatientIdAt = 16, kSceIdAt = 20, kStatusAt = 24,
                                 kSizeWithStatus = 28;
    std::uint32_t patientId = 0, sceId = 0;
    bool hasStatus = false;  // the payload is exactly kSizeWithStatus bytes
    std::uint32_t status = 0;
};

// Service 2, 0x0103 (at least 20 bytes).
struct SceEndNotice {
    static constexpr std::uint16_t kType = 0x0103;
    static constexpr std::size_t kMinimumSize = 20, kSceIdAt = 12, kErrorAt = 16;
    std::uint32_t sceId = 0, error = 0;
};

// Service 2, 0x0106.
struct InputReply {
    static constexpr std::uint16_t kType = 0x0106;
    static constexpr std::size_t kSceIdAt = 12;
    static constexpr wire::EntryTable kEntries{16, 20, 48};
    static constexpr std::size_t kServerIdAt = 0, kValueAt = 12, kIdAt = 16;
    std::uint32_t sceId = 0;
    std::vector<InputReplyEntry> entries;
};

// Service 2, 0x0107.
struct OutputReply {
    static constexpr std::uint16_t kType = 0x0107;
    static constexpr std::size_t kSceIdAt = 12;
    static constexpr wire::EntryTable kEntries{16, 20, 44};
    static constexpr std::size_t kServerIdAt = 0, kIdAt = 12;
    std::uint32_t sceId = 0;
    std::vector<OutputReplyEntry> entries;
};

// Service 2, 0x0150.
struct SceDetailNotice {
    static constexpr std::uint16_t kType = 0x0150;
    static constexpr std::size_t kPatientIdAt = 12, kDetailAt = 16, kSceIdAt = 20, kStatusAt = 24;
    std::uint32_t patientId = 0, detail = 0, sceId = 0, status = 0;
};

// Service 2, 0x0151.
struct ServerVersionReply {
    static constexpr std::uint16_t kType = 0x0151;
    static constexpr std::size_t kVersionAt = 12, kVersionLength = 128, kValidityAt = 144;
    std::string version;
    std::uint32_t validity = 0;  // the reply counts only when it is 1
};

// Service 3: SCE events 0x0111 to 0x0115 and 0x0117 (0x0116 and others are ignored).
struct SceEvent {
    enum : std::uint16_t {
        Created = 0x0111,
        Started = 0x0112,
        Paused = 0x0113,
        Ended = 0x0114,
        Report = 0x0115,
        SpeedChanged = 0x0117,
    };
    static constexpr std::size_t kMinimumSize = 20, kSpeedMinimumSize = 24;
    static constexpr std::size_t kSceIdAt = 12, kPatientIdAt = 16, kSpeedAt = 16;
    // The status word is here for Created and SpeedChanged, at 16 for the others.
    static constexpr std::size_t kLateStatusAt = 20, kStatusAt = 16;
    std::uint16_t type = 0;
    std::uint32_t sceId = 0;
    std::uint32_t patientId = 0;  // Created only
    float speed = 0.0f;           // SpeedChanged only
    std::uint32_t status = 0;     // 1 is success
};

using Message = std::variant<std::monostate, FlowControlReply, PatientList, ParameterUpdate, SceAnnouncement,
                             SceEndNotice, InputReply, OutputReply, SceDetailNotice, ServerVersionReply, SceEvent>;

Message decode(const RawMessage& payload);

}  // namespace app

}  // namespace com_krel
