#include "simlink/wire.h"

#include <algorithm>
#include <cstring>

namespace com_krel::wire {

std::uint32_t classWord(int updateClass) {
    if (updateClass == 1) return 12000;
    if (updateClass == 3) return 120000;
    return 0;
}

std::uint32_t isIntWord(int type) { return type == TypeInteger ? 1 : 0; }

std::uint32_t simWord(int simulatorId) { return static_cast<std::uint32_t>(simulatorId) << 16; }

std::uint32_t floatBits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

RawMessage beginPayload(std::uint8_t family, std::uint8_t service, std::uint16_t type) {
    RawMessage m(KindApplication);
    m.bytes().reserve(64);
    const std::uint8_t header[kPayloadHeaderLength] = {family, service, 0x7F, 0xFF, 0, 0, 0, 0,
                                                        0x00, 0x7F, static_cast<std::uint8_t>(type >> 8),
                                                        static_cast<std::uint8_t>(type)};
    m.appendBytes(header, sizeof header);
    return m;
}

void appendId(RawMessage& m, const std::string& id) {
    std::uint8_t field[kIdFieldLength] = {};
    std::memcpy(field, id.data(), std::min(id.size(), kIdFieldLength));
    m.appendBytes(field, sizeof field);
}

std::string readText(const RawMessage& m, std::size_t offset, std::size_t length) {
    const auto& b = m.bytes();
    if (offset >= b.size()) return std::string();
    const std::size_t n = std::min(length, b.size() - offset);
    const auto* start = reinterpret_cast<const char*>(b.data() + offset);
    const auto* nul = static_cast<const char*>(std::memchr(start, 0, n));
    return std::string(start, nul ? static_cast<std::size_t>(nul - start) : n);
}

std::size_t entriesInside(const RawMessage& m, const EntryTable& table) {
    if (m.size() <= table.first || table.size == 0) return 0;
    return std::min<std::size_t>(m.readU32(table.countAt), (m.size() - table.first) / table.size);
}

RawMessage frame(const RawMessage& payload) {
    RawMessage f(payload.kind());
    if (payload.kind() != KindApplication && payload.kind() != KindFlowControl) return f;
    auto& b = f.bytes();
    b.assign(kFrameHeaderLength, 0);
    std::fill(b.begin() + 16, b.begin() + 32, 0xFF);
    b.insert(b.end(), payload.bytes().begin(), payload.bytes().end());
    f.setU32(4, static_cast<std::uint32_t>(kFrameHeaderLength));
    if (payload.kind() == KindApplication) {
        f.setU32(kFrameHeaderLength + 4, static_cast<std::uint32_t>(payload.size()));
    } else {
        f.setU32(8, 3);
        f.setU32(12, 2);
        f.setByte(31, 0xFE);
    }
    f.setU32(0, static_cast<std::uint32_t>(b.size()));
    return f;
}

HeaderInfo parseHeader(const RawMessage& header) {
    HeaderInfo h;
    h.totalLength = header.readU32(0);
    const std::uint32_t cls = header.readU32(8);
    h.kind = cls == 0 ? KindApplication : cls == 3 ? KindFlowControl : KindUnknown;
    return h;
}

ReadResult readFrame(CSCommsInterface& transport, bool quiet, const LogSink& log,
                     const std::function<bool()>& keepWaiting, RawMessage& payload) {
    RawMessage header;
    const int want32 = static_cast<int>(kFrameHeaderLength);
    int r = transport.read(want32, header);
    if (r == -2) return ReadResult::Nothing;
    // A header split by a time-out is completed; one cut off by a close is not.
    while (r > 0 && header.size() < kFrameHeaderLength) {
        r = transport.read(want32 - static_cast<int>(header.size()), header);
        if (r == -2) {
            if (!keepWaiting()) return ReadResult::Nothing;
            r = 1;
        }
    }
    if (header.size() != kFrameHeaderLength) {
        if (!quiet) {
            log(true, header.size() > 0 ? "Couldn't read a complete header. Closing connection."
                      : r == 0          ? "Connection closed by server."
                                        : "Read error. Closing connection.");
        }
        return ReadResult::Lost;
    }
    const HeaderInfo h = parseHeader(header);
    if (!h.valid()) {
        if (!quiet) {
            log(true, "Invalid message data received (" + std::to_string(h.totalLength) +
                          "). Closing connection.");
        }
        return ReadResult::Lost;
    }
    payload = RawMessage(h.kind);
    const std::size_t want = h.payloadLength();
    payload.bytes().reserve(want);
    while (payload.size() < want) {
        const int n = transport.read(static_cast<int>(want - payload.size()), payload);
        if (n == -2) {
            if (!keepWaiting()) return ReadResult::Nothing;
            continue;
        }
        if (n == 0) {
            if (!quiet) log(false, "Connection closed by server.");
            return ReadResult::Lost;
        }
        if (n < 0) {
            if (!quiet) log(true, "Read error. Closing connection.");
            return ReadResult::Lost;
        }
    }
    return ReadResult::Message;
}

}  // namespace com_krel::wire
