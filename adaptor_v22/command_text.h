#pragma once

// The unit's command texts and their payload formats, and the batch that gathers
// commands into one datagram. No I/O here.
//
// A command is '[', its upper-case word, ']', the payload and '@', with nothing else:
// [HR]72@, [ENABLE]@, [PLETH]10,27,43@.

#include <cstddef>
#include <string>

namespace halvex::v22 {

std::string commandText(const std::string& word, const std::string& payload);

// Payload formats.
std::string integerPayload(int value);
// At most six significant digits, no trailing zeros: 0 is "0", 0.5 is "0.5".
std::string realPayload(float value);
// Fixed notation with one decimal: 36.96 is "37.0".
std::string temperaturePayload(float value);
// Fixed notation with three decimals: 0.2505 is "0.251".
std::string co2SamplePayload(float value);

// The commands of one batch, back to back, bound for one datagram.
class CommandBatch {
public:
    // A batch datagram holds at most this many characters, unless one command alone is
    // longer (it then travels alone).
    static constexpr std::size_t kDatagramLimit = 230;

    // True when a command of this length does not fit behind what is pending, so the
    // pending text must leave first.
    bool mustLeaveBefore(std::size_t commandLength) const { return text_.size() + commandLength > kDatagramLimit; }
    void append(const std::string& command) { text_ += command; }
    const std::string& text() const { return text_; }
    // The pending text; the batch is empty afterwards.
    std::string take();

private:
    std::string text_;
};

}  // namespace halvex::v22
