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

namespace {
std::uint32_t wordAt(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
}  // namespace

HeaderInfo parseHeader(const std::uint8_t* header) {
    HeaderInfo h;
    h.totalLength = wordAt(header);
    const std::uint32_t cls = wordAt(header + 8);
    h.kind = cls == 0 ? KindApplication : cls == 3 ? KindFlowControl : KindUnknown;
    return h;
}

}  // namespace com_krel::wire
