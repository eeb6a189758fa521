#pragma once

// The unit's wire frame, both directions: 0x02, the JSON text's length in decimal
// (at least four digits, '0'-padded), the JSON text, 0x03.
//
// FrameReader is free of I/O: feed it the bytes as they arrive, in pieces of any
// size, and take complete frames out. It never throws on bad input; what it had to
// skip is counted instead, so a test can see that the peer got the framing wrong.
//
// This framing is the stand-in's own, written from what the unit does, and
// deliberately shares no code with the bridge's adaptor (adaptor_json/): a mistake
// in one is then caught by the other instead of hiding in both.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace halvex::emulators::unit_json {

constexpr char kFrameStart = '\x02';
constexpr char kFrameEnd = '\x03';
constexpr std::size_t kMinLengthDigits = 4;
// A frame still open after this many bytes is dropped: nothing the bridge sends
// comes near it, and an unbounded buffer would let a broken peer eat the memory.
constexpr std::size_t kMaxFrameBytes = 1024 * 1024;

// Builds a frame with the right length field.
std::string encodeFrame(const std::string& json);
// Builds a frame whose length field announces `announced` whatever the text's size.
std::string encodeFrameWithLength(const std::string& json, std::size_t announced);

struct Frame {
    std::string json;             // the text between the length field and 0x03
    bool lengthFieldValid = false; // at least four digits were there
    std::uint64_t announced = 0;   // the length field's value, when valid
    bool lengthMatches() const { return lengthFieldValid && announced == json.size(); }
};

struct FrameReaderCounters {
    std::uint64_t strayBytes = 0;      // bytes outside any frame
    std::uint64_t truncatedFrames = 0; // a new 0x02 came before the open frame's 0x03
    std::uint64_t oversizedFrames = 0; // dropped after kMaxFrameBytes without 0x03
};

class FrameReader {
public:
    void feed(const char* data, std::size_t size);
    // The next complete frame, or nothing when more bytes are needed.
    std::optional<Frame> next();
    const FrameReaderCounters& counters() const { return counters_; }
    // Bytes of an open frame not yet closed.
    std::size_t pending() const { return open_ ? body_.size() + 1 : 0; }

private:
    bool open_ = false;
    std::string body_; // bytes after 0x02 of the open frame
    std::string input_; // fed bytes not yet scanned
    std::size_t scanned_ = 0;
    FrameReaderCounters counters_;
};

} // namespace halvex::emulators::unit_json
