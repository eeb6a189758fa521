#pragma once

// The batch that gathers the unit's commands into one datagram. No I/O here.

#include <cstddef>
#include <string>

namespace halvex::adaptor_v22 {

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

}  // namespace halvex::adaptor_v22
