#include "simlink/raw_message.h"

#include <cstring>

namespace com_krel {

void RawMessage::appendU32(std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    bytes_.insert(bytes_.end(), b, b + 4);
}

void RawMessage::appendF32(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    appendU32(u);
}

void RawMessage::appendBytes(const void* data, std::size_t count) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + count);
}

std::uint32_t RawMessage::readU32(std::size_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 4) return 0;
    const std::uint8_t* p = bytes_.data() + offset;
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

float RawMessage::readF32(std::size_t offset) const {
    std::uint32_t u = readU32(offset);
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

std::uint16_t RawMessage::readU16(std::size_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 2) return 0;
    return static_cast<std::uint16_t>((bytes_[offset] << 8) | bytes_[offset + 1]);
}

void RawMessage::setU32(std::size_t offset, std::uint32_t v) {
    if (offset > bytes_.size() || bytes_.size() - offset < 4) return;
    bytes_[offset] = static_cast<std::uint8_t>(v >> 24);
    bytes_[offset + 1] = static_cast<std::uint8_t>(v >> 16);
    bytes_[offset + 2] = static_cast<std::uint8_t>(v >> 8);
    bytes_[offset + 3] = static_cast<std::uint8_t>(v);
}

void RawMessage::setByte(std::size_t offset, std::uint8_t v) {
    if (offset < bytes_.size()) bytes_[offset] = v;
}

}  // namespace com_krel
