// The stand-in's own framing, independent of the bridge's link library on purpose
// (see wire.h).
#include "emulators/sim_server/wire.h"

#include <algorithm>
#include <cstring>

namespace halvex::emulators::sim_server {

namespace {

void putU32(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 24));
    b.push_back(static_cast<std::uint8_t>(v >> 16));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

void setU32(Bytes& b, std::size_t offset, std::uint32_t v) {
    b[offset] = static_cast<std::uint8_t>(v >> 24);
    b[offset + 1] = static_cast<std::uint8_t>(v >> 16);
    b[offset + 2] = static_cast<std::uint8_t>(v >> 8);
    b[offset + 3] = static_cast<std::uint8_t>(v);
}

Bytes frame(const Bytes& payload, std::uint32_t frameClass, std::uint32_t classArg, std::uint8_t lastRouting) {
    Bytes out;
    out.reserve(kFrameHeaderSize + payload.size());
    putU32(out, static_cast<std::uint32_t>(kFrameHeaderSize + payload.size()));
    putU32(out, kFrameHeaderSize);
    putU32(out, frameClass);
    putU32(out, classArg);
    out.insert(out.end(), 15, 0xFF);
    out.push_back(lastRouting);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

}  // namespace

std::uint32_t floatBits(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

float bitsFloat(std::uint32_t v) {
    float f;
    std::memcpy(&f, &v, sizeof f);
    return f;
}

PayloadWriter::PayloadWriter(std::uint8_t family, std::uint8_t service, std::uint16_t type) : app_(true) {
    buf_ = {family, service, 0x7F, 0xFF, 0, 0, 0, 0, 0x00, 0x7F,
            static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type)};
}

PayloadWriter& PayloadWriter::u32(std::uint32_t v) {
    putU32(buf_, v);
    return *this;
}

PayloadWriter& PayloadWriter::f32(float v) { return u32(floatBits(v)); }

PayloadWriter& PayloadWriter::id32(const std::string& id) {
    // One NUL always ends the field, so at most 31 characters fit.
    return text(id.substr(0, kIdFieldSize - 1), kIdFieldSize);
}

PayloadWriter& PayloadWriter::text(const std::string& s, std::size_t width) {
    const std::size_t n = std::min(s.size(), width);
    buf_.insert(buf_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    buf_.insert(buf_.end(), width - n, 0);
    return *this;
}

PayloadWriter& PayloadWriter::bytes(const Bytes& b) {
    buf_.insert(buf_.end(), b.begin(), b.end());
    return *this;
}

Bytes PayloadWriter::finish() const {
    Bytes out = buf_;
    if (app_) setU32(out, 4, static_cast<std::uint32_t>(out.size()));
    return out;
}

Bytes frameApplication(const Bytes& payload) { return frame(payload, 0, 0, 0xFF); }
Bytes frameFlowControl(const Bytes& payload) { return frame(payload, 3, 2, 0xFE); }

std::uint32_t readU32(const Bytes& b, std::size_t offset) {
    if (offset > b.size() || b.size() - offset < 4) return 0;
    return (std::uint32_t{b[offset]} << 24) | (std::uint32_t{b[offset + 1]} << 16) |
           (std::uint32_t{b[offset + 2]} << 8) | std::uint32_t{b[offset + 3]};
}

std::uint16_t readU16(const Bytes& b, std::size_t offset) {
    if (offset > b.size() || b.size() - offset < 2) return 0;
    return static_cast<std::uint16_t>((b[offset] << 8) | b[offset + 1]);
}

float readF32(const Bytes& b, std::size_t offset) { return bitsFloat(readU32(b, offset)); }

std::string readText(const Bytes& b, std::size_t offset, std::size_t width) {
    std::string s;
    for (std::size_t i = offset; i < b.size() && i < offset + width && b[i] != 0; ++i)
        s.push_back(static_cast<char>(b[i]));
    return s;
}

FrameHeader parseFrameHeader(const std::uint8_t* header) {
    Bytes h(header, header + kFrameHeaderSize);
    FrameHeader fh;
    fh.totalLength = readU32(h, 0);
    switch (readU32(h, 8)) {
        case 0: fh.kind = KindApplication; break;
        case 3: fh.kind = KindFlowControl; break;
        default: fh.kind = KindUnknown; break;
    }
    return fh;
}

}  // namespace halvex::emulators::sim_server
