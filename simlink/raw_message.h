#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace com_krel {

// Message kinds.
enum MessageKind : int { KindUnknown = 0, KindApplication = 1, KindFlowControl = 2 };

// A growable byte buffer holding a payload (while building or after reading) or a
// whole frame (while sending). All words are big-endian; reads outside the buffer
// give 0 so that short payloads can never be read past their end.
class RawMessage {
public:
    explicit RawMessage(int kind = KindUnknown) : kind_(kind) {}
    virtual ~RawMessage() = default;
    RawMessage(const RawMessage&) = default;
    RawMessage& operator=(const RawMessage&) = default;
    RawMessage(RawMessage&&) = default;
    RawMessage& operator=(RawMessage&&) = default;

    void appendU32(std::uint32_t v);
    void appendF32(float v);
    void appendBytes(const void* data, std::size_t count);

    std::uint32_t readU32(std::size_t offset) const;
    float readF32(std::size_t offset) const;
    std::uint16_t readU16(std::size_t offset) const;
    std::int8_t family() const { return bytes_.empty() ? 0 : static_cast<std::int8_t>(bytes_[0]); }
    std::int8_t service() const { return bytes_.size() < 2 ? 0 : static_cast<std::int8_t>(bytes_[1]); }

    void setU32(std::size_t offset, std::uint32_t v);
    void setByte(std::size_t offset, std::uint8_t v);

    // Empties the buffer (keeping its storage) and sets the kind: a message to be
    // filled anew.
    void reset(int kind) {
        bytes_.clear();
        kind_ = kind;
    }

    int kind() const { return kind_; }
    std::size_t size() const { return bytes_.size(); }
    std::vector<std::uint8_t>& bytes() { return bytes_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
    int kind_;
};

}  // namespace com_krel
