#pragma once

#include <cstddef>
#include <functional>

#include "simlink/comms.h"
#include "simlink/frame_assembler.h"
#include "simlink/log.h"
#include "simlink/raw_message.h"

namespace com_krel {

// The receiving thread's reading on one connection: a thin loop around a
// FrameAssembler. Each receive reads what the frame in progress still needs, feeds
// it and hands every complete payload on. reset when a connection opens.
class FrameReceiver {
public:
    // Most bytes one read asks for: a large payload arrives in pieces of this size
    // instead of into one buffer of the length its header announces.
    static constexpr std::size_t kMaxReadSize = 64 * 1024;

    enum class Outcome {
        Open,  // the connection goes on (bytes taken, or a receive time-out)
        Lost,  // closed, failed or invalid framing: the line was logged
    };
    // Called with each complete payload; returns false when the connection ended
    // while it was handled, and whatever else arrived on it is dropped.
    using FrameHandler = std::function<bool(const RawMessage& payload)>;

    // One read from the transport, then every complete frame to onFrame. log, when
    // set, receives the line of a lost connection ("Connection closed by server.",
    // ...); null keeps quiet.
    Outcome receive(CSCommsInterface& transport, const LogSink* log, const FrameHandler& onFrame);

    void reset() { assembler_.reset(); }

private:
    void reportLoss(ReadResult result, const LogSink& log) const;

    wire::FrameAssembler assembler_;
    RawMessage readBuffer_;
    RawMessage payload_;
};

}  // namespace com_krel
