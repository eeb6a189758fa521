#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace com_krel {

// Connection states, as passed to CallbackIface::connectionStateChanged.
enum ConnectionState : int {
    Idle = 0,
    Connecting = 1,
    Connected = 2,
    Stopping = 3,
    Ready = 4,
    ReconnectWait = 5,
};

// Client flags, a bit mask given to a client's constructor.
enum ClientFlags : int {
    AutoReconnect = 1,
    Quiet = 2,
    HighPriority = 4,
    AltPublish = 8,
};

// Parameter value types.
enum ParameterType : int {
    TypeInvalid = 0,
    TypeFloat = 1,
    TypeInteger = 2,
};

// Result codes of the library's operations.
enum Result : int {
    ResultOk = 0,
    ResultNotConnected = 1,
    ResultFailed = 2,
    ResultInvalid = 3,
    ResultNoActiveSce = 4,
};

// Longest parameter id the server accepts; on the wire an id is a 32-byte field
// that always ends with at least one NUL.
constexpr std::size_t kMaxParameterIdLength = 31;

// One entry of an input subscription, and of the inputsRegistered list.
struct ParameterRequest {
    std::string id;
    int type = TypeInvalid;
    int updateClass = 0;
};

// One delivered value. The 32 bits hold a float when type is TypeFloat and a signed
// integer when type is TypeInteger.
struct ParameterValue {
    std::string id;
    std::uint32_t value = 0;
    int type = TypeInvalid;
    int flagged = 0;

    float asFloat() const {
        float f;
        std::memcpy(&f, &value, sizeof f);
        return f;
    }
    std::int32_t asInt() const { return static_cast<std::int32_t>(value); }

    static ParameterValue ofFloat(std::string id, float v, int flagged = 0) {
        ParameterValue p;
        p.id = std::move(id);
        std::memcpy(&p.value, &v, sizeof v);
        p.type = TypeFloat;
        p.flagged = flagged;
        return p;
    }
    static ParameterValue ofInt(std::string id, std::int32_t v, int flagged = 0) {
        ParameterValue p;
        p.id = std::move(id);
        p.value = static_cast<std::uint32_t>(v);
        p.type = TypeInteger;
        p.flagged = flagged;
        return p;
    }
};

// One entry of the outputsRegistered list.
struct OutputRegistration {
    std::string id;
    int type = TypeInvalid;
};

// Socket buffer sizes requested for a connection; 0 leaves the platform default.
struct BufferSizes {
    int receive = 0;
    int send = 0;
};

}  // namespace com_krel
