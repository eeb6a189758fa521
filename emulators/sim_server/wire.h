#pragma once
// Big-endian framing of the simulator server's SIM and APP protocols, seen from the
// server's side. Free of I/O: build payloads, frame them, and read fields out of
// received bytes.
//
// This framing is the stand-in's own, written from what the server puts on the wire,
// and deliberately shares no code with the bridge's link library (simlink/): a
// mistake in one is then caught by the other instead of hiding in both.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace halvex::emulators::sim_server {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kFrameHeaderSize = 32;
constexpr std::size_t kAppHeaderSize = 12;
constexpr std::size_t kIdFieldSize = 32;
constexpr std::size_t kVersionTextSize = 128;
// Largest frame the emulator reads; a length beyond it is treated as garbage and the
// connection is closed rather than allocating whatever a broken peer announces.
constexpr std::uint32_t kMaxFrameLength = 1u << 20;

// Frame kinds as derived from the frame class word.
enum FrameKind : int { KindUnknown = 0, KindApplication = 1, KindFlowControl = 2 };

// Payload families.
constexpr std::uint8_t kFamilySim = 4;
constexpr std::uint8_t kFamilyApp = 1;

// Payload under construction: appends big-endian words.
class PayloadWriter {
public:
    PayloadWriter() = default;
    // Starts an application payload with the 12-byte header; the length word is
    // filled in by finish().
    PayloadWriter(std::uint8_t family, std::uint8_t service, std::uint16_t type);

    PayloadWriter& u32(std::uint32_t v);
    PayloadWriter& f32(float v);
    PayloadWriter& id32(const std::string& id);      // NUL-padded, at most 31 characters kept
    PayloadWriter& text(const std::string& s, std::size_t width);  // NUL-padded, cut to width
    PayloadWriter& bytes(const Bytes& b);

    // The payload, with the application header's length word written.
    Bytes finish() const;

private:
    Bytes buf_;
    bool app_ = false;
};

// Whole frame (32-byte header + payload) for an application or flow-control payload.
Bytes frameApplication(const Bytes& payload);
Bytes frameFlowControl(const Bytes& payload);

// Field readers; a field that does not lie wholly inside the buffer reads as 0.
std::uint32_t readU32(const Bytes& b, std::size_t offset);
std::uint16_t readU16(const Bytes& b, std::size_t offset);
float readF32(const Bytes& b, std::size_t offset);
// Text up to the first NUL within width bytes (or what of them is present).
std::string readText(const Bytes& b, std::size_t offset, std::size_t width);

std::uint32_t floatBits(float v);
float bitsFloat(std::uint32_t v);

// What the 32-byte frame header says: total length and kind.
struct FrameHeader {
    std::uint32_t totalLength = 0;
    int kind = KindUnknown;
};
FrameHeader parseFrameHeader(const std::uint8_t* header);

}  // namespace halvex::emulators::sim_server
