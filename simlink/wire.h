#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "simlink/raw_message.h"
#include "simlink/types.h"

// The frame and payload encoding, free of I/O: the frame header, the payload header,
// the id field and the entry tables the messages are built from and read with.
namespace com_krel::wire {

constexpr std::size_t kFrameHeaderLength = 32;
constexpr std::size_t kPayloadHeaderLength = 12;
constexpr std::size_t kIdFieldLength = 32;
// A frame may announce at most this total length; more is taken as invalid data
// instead of being allocated.
constexpr std::uint32_t kMaxFrameLength = 16u * 1024u * 1024u;

constexpr std::uint8_t kFamilySim = 4;
constexpr std::uint8_t kFamilyApp = 1;

// The word sent as the class of an input: 1 -> 12000, 3 -> 120000, else 0.
std::uint32_t classWord(int updateClass);
std::uint32_t isIntWord(int type);
std::uint32_t simWord(int simulatorId);
std::uint32_t floatBits(float f);

// A kind-1 payload started with the 12-byte template of its family, service and type.
RawMessage beginPayload(std::uint8_t family, std::uint8_t service, std::uint16_t type);
// Appends the 32-byte NUL-padded id field.
void appendId(RawMessage& m, const std::string& id);
// The id text of a 32-byte field at offset (up to the first NUL).
std::string readText(const RawMessage& m, std::size_t offset, std::size_t length);

// A table of fixed-size entries in a reply or update: the count word, the first
// entry and the size of one entry.
struct EntryTable {
    std::size_t countAt;
    std::size_t first;
    std::size_t size;
};
// How many entries of the table lie wholly inside the payload: a count larger than
// the payload holds is never read past its end.
std::size_t entriesInside(const RawMessage& m, const EntryTable& table);
// Calls atEntry(offset) for each entry that lies inside the payload, in order.
template <class F>
void forEachEntry(const RawMessage& m, const EntryTable& table, F&& atEntry) {
    const std::size_t n = entriesInside(m, table);
    for (std::size_t i = 0; i < n; ++i) atEntry(table.first + i * table.size);
}

// The whole frame for a payload: 32-byte header in front, lengths filled in. Kind 0
// gives an empty message.
RawMessage frame(const RawMessage& payload);

// The two fields of a received frame header that count.
struct HeaderInfo {
    std::uint32_t totalLength = 0;  // offset 0: header and payload
    int kind = KindUnknown;         // from the frame class at offset 8
    bool valid() const { return totalLength > kFrameHeaderLength && totalLength <= kMaxFrameLength; }
};
// Parses the kFrameHeaderLength bytes at header.
HeaderInfo parseHeader(const std::uint8_t* header);

}  // namespace com_krel::wire
