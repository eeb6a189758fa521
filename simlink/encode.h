#pragma once

// The messages the client sends, built into payloads, free of I/O: the counterpart of
// decode.h. Each builder gives a payload (kind 1, or kind 2 for flow control) that
// wire::frame turns into the frame to write. Field order and words as the server
// expects them; ids as 32-byte NUL-padded fields.

#include <cstdint>
#include <vector>

#include "simlink/raw_message.h"
#include "simlink/registry.h"

namespace com_krel {

// ---- SIM protocol (family 4, service 2); the first word carries the simulator id ----

namespace sim {

enum RequestType : std::uint16_t {
    kSubscribeInputs = 0x0001,
    kSubscribeOutputs = 0x0002,
    kPublishOutputs = 0x0003,
    kUnsubscribeInputs = 0x0004,
    kUnsubscribeOutputs = 0x0005,
    kServerInfoRequest = 0x0006,
};

RawMessage buildInputSubscription(int simulatorId, const std::vector<InputRecord>& records);
RawMessage buildOutputSubscription(int simulatorId, const std::vector<OutputRecord>& records);
// Each entry: server id, value kind (0 float, 1 integer) and the value; a record of
// neither type goes out as a float 0.
RawMessage buildPublish(int simulatorId, int publishMode, const std::vector<OutputRecord>& records);
RawMessage buildInputUnsubscription(int simulatorId, const std::vector<std::uint32_t>& serverIds);
RawMessage buildOutputUnsubscription(int simulatorId, const std::vector<std::uint32_t>& serverIds);
RawMessage buildServerInfoRequest(int simulatorId);

}  // namespace sim

// ---- APP protocol (family 1); subscriptions carry the active SCE's id ----------------

namespace app {

enum RequestType : std::uint16_t {
    kPatientListRequest = 0x0001,  // service 1
    kSubscribeAllEvents = 0x0020,  // service 1
    kSubscribeInputs = 0x0006,
    kSubscribeOutputs = 0x0007,
    kPublishOutputs = 0x0008,
    kPublishOutputsAlt = 0x0038,  // sent instead of kPublishOutputs under the AltPublish flag
    kUnsubscribeInputs = 0x0014,
    kUnsubscribeOutputs = 0x0015,
    kServerVersionRequest = 0x0051,
};

// Kind 2: the request that opens the handshake, and the periodic one.
RawMessage buildFlowControlRequest();
RawMessage buildFlowControlPeriodic();
RawMessage buildSubscribeAllEvents();
RawMessage buildPatientListRequest();
RawMessage buildServerVersionRequest();
RawMessage buildInputSubscription(int sceId, const std::vector<InputRecord>& records);
RawMessage buildOutputSubscription(int sceId, const std::vector<OutputRecord>& records);
RawMessage buildInputUnsubscription(int sceId, const std::vector<std::uint32_t>& serverIds);
RawMessage buildOutputUnsubscription(int sceId, const std::vector<std::uint32_t>& serverIds);
// Every value as a float (an integer record converted, any other type 0); type is
// kPublishOutputs or kPublishOutputsAlt.
RawMessage buildPublish(std::uint16_t type, int sceId, int publishMode, const std::vector<OutputRecord>& records);

}  // namespace app

}  // namespace com_krel
