#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simlink/raw_message.h"
#include "simlink/wire.h"

namespace com_krel::wire {

// Cuts the byte stream of one connection into frames, free of I/O: feed it the bytes
// as they arrive, in pieces of any size, and take the complete frames out with next.
// Every connection starts with a fresh assembler (or a reset one), so half a frame of
// a dead connection never prefixes the first frame of the next.
//
// A header is checked as soon as its 32 bytes are in: a total length of
// kFrameHeaderLength or less, or above kMaxFrameLength, is invalid framing. The
// payload is kept as it arrives; nothing is allocated for what a header merely
// announces.
class FrameAssembler {
public:
    enum class Result {
        Frame,     // payload holds the next frame's payload, its kind from the frame class
        NeedMore,  // no complete frame yet
        Invalid,   // the header in front announces an impossible length (see invalidLength)
    };
    // How far the frame in progress has come, for the line that reports a connection
    // lost in the middle of one.
    enum class Stage { BetweenFrames, InHeader, InPayload };

    void feed(const std::uint8_t* data, std::size_t size);
    // Once Invalid, every later call is Invalid until reset: the connection is to be
    // dropped, since nothing after bad framing can be trusted.
    Result next(RawMessage& payload);

    // Bytes that would complete the header or the frame in progress: what the next
    // read may ask for without reaching into the frame after it. 0 once invalid, and
    // while a complete frame waits to be taken.
    std::size_t wanted() const;
    Stage stage() const;
    // The total length announced by the header that made next report Invalid.
    std::uint32_t invalidLength() const { return invalidLength_; }
    std::size_t buffered() const { return buffer_.size() - start_; }

    // Back to the start of a stream: nothing buffered, not invalid. The buffer's
    // storage is kept up to kKeptCapacity.
    void reset();

    static constexpr std::size_t kKeptCapacity = 64 * 1024;

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;  // first byte not taken yet
    // The frame in progress: its header once parsed (total 0 before), and the bytes
    // that must be buffered before next can make progress.
    std::uint32_t total_ = 0;
    int kind_ = KindUnknown;
    std::size_t need_ = kFrameHeaderLength;
    bool invalid_ = false;
    std::uint32_t invalidLength_ = 0;
};

}  // namespace com_krel::wire
