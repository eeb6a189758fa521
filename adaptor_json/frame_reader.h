#pragma once

#include <cstddef>
#include <string>

// Wire frame of the unit link, both directions: 0x02, the length of the JSON text as
// decimal digits (left-padded with '0' to four digits, more digits when needed), the
// JSON text, 0x03.
namespace halvex::adaptor_json {

constexpr char kFrameStart = '\x02';
constexpr char kFrameEnd = '\x03';
constexpr std::size_t kMinLengthDigits = 4;
// A unit that sends this many bytes without a frame end is not speaking our protocol;
// the reader gives up rather than grow without bound.
constexpr std::size_t kMaxBufferedBytes = 1024 * 1024;

// 0x02, length field, text, 0x03.
std::string buildFrame(const std::string& json);

// Assembles response frames from the bytes of one connection. Free of I/O: feed what
// the socket delivered, then take complete frames until it says "need more". Bytes
// after a frame end stay buffered for the next frame, so two frames arriving in one
// read are both delivered. One reader per connection, so a half frame from a dead
// socket never leaks into the next one.
class FrameReader {
public:
    // Appends received bytes. Throws std::length_error (and forgets the buffer) when
    // kMaxBufferedBytes are held without a frame end.
    void feed(const char* data, std::size_t size);

    // Takes the next complete frame, if there is one: the length field followed by the
    // JSON text, without the start and end bytes. Bytes before the frame start (a line
    // end left after the previous frame) are skipped. Returns false when more bytes are
    // needed. A frame end with no frame start before it throws std::out_of_range (the
    // frame is consumed).
    bool next(std::string& response);

    std::size_t buffered() const { return buffer_.size(); }
    void clear() { buffer_.clear(); }

private:
    std::string buffer_;
};

// Checks the announced length of a response and returns its JSON text.
// The length field is the first four characters (leading '0's removed, then the
// standard decimal conversion) together with any further digits that follow four
// digits, as the sender writes five or more for long texts.
// Throws std::invalid_argument when the field is no number ("0000" included),
// std::out_of_range when the response is shorter than four characters or the number
// overflows, and std::runtime_error (after printing a warning) on a length mismatch.
std::string checkResponseLength(const std::string& response);

}  // namespace halvex::adaptor_json
