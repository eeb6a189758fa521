#pragma once

// Assembles the unit's replies from the datagrams that reach the transport, free of
// I/O: feed it each datagram as received and it hands back a reply once one is
// complete. A reply is everything up to and including the first '@'; it may arrive
// over several datagrams. What follows the '@' in the same datagram is dropped.

#include <cstddef>
#include <optional>
#include <string>

namespace halvex::adaptor_v22 {

class ReplyReader {
public:
    // One datagram is received into a buffer of this size; bytes beyond it are lost.
    static constexpr std::size_t kDatagramBytes = 250;
    static constexpr char kTerminator = '@';
    // Text gathered without a terminator is thrown away once it reaches this size, so
    // a peer that never sends '@' cannot make the reader grow without limit.
    static constexpr std::size_t kAccumulatorLimit = 4096;

    // One datagram's bytes: only the first kDatagramBytes count, and of those only
    // the text before the first NUL byte. Returns the reply it completes, if any.
    std::optional<std::string> feed(const char* data, std::size_t size);
    std::optional<std::string> feed(const std::string& datagram) { return feed(datagram.data(), datagram.size()); }

    // Bytes gathered so far towards the next reply.
    std::size_t pending() const { return accumulator_.size(); }
    // How many times gathered text was thrown away at kAccumulatorLimit.
    std::size_t discarded() const { return discarded_; }

private:
    std::string accumulator_;
    std::size_t discarded_ = 0;
};

}  // namespace halvex::adaptor_v22
