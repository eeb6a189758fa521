#include "simlink/frame_receiver.h"

#include <algorithm>
#include <string>

namespace com_krel {

using Assembler = wire::FrameAssembler;

FrameReceiver::Outcome FrameReceiver::receive(CSCommsInterface& transport, const LogSink* log,
                                              const FrameHandler& onFrame) {
    // Nothing is wanted while a complete frame waits or the framing is bad: no read then.
    if (const std::size_t want = std::min(assembler_.wanted(), kMaxReadSize); want != 0) {
        readBuffer_.bytes().clear();
        const ReadResult result = transport.read(static_cast<int>(want), readBuffer_);
        // A time-out, also in the middle of a frame, is no error: the caller looks at
        // its state and reads on, the assembler keeping what came so far.
        if (result == ReadResult::TimedOut) return Outcome::Open;
        if (result != ReadResult::Received) {
            if (log) reportLoss(result, *log);
            return Outcome::Lost;
        }
        assembler_.feed(readBuffer_.bytes().data(), readBuffer_.size());
    }
    for (;;) {
        switch (assembler_.next(payload_)) {
        case Assembler::Result::NeedMore:
            return Outcome::Open;
        case Assembler::Result::Frame:
            if (!onFrame(payload_)) return Outcome::Open;
            break;
        case Assembler::Result::Invalid:
            if (log) {
                (*log)(true, "Invalid message data received (" + std::to_string(assembler_.invalidLength()) +
                                 "). Closing connection.");
            }
            return Outcome::Lost;
        }
    }
}

void FrameReceiver::reportLoss(ReadResult result, const LogSink& log) const {
    const bool closed = result == ReadResult::Closed;
    switch (assembler_.stage()) {
    case Assembler::Stage::BetweenFrames:
        log(true, closed ? "Connection closed by server." : "Read error. Closing connection.");
        break;
    case Assembler::Stage::InHeader:
        log(true, "Couldn't read a complete header. Closing connection.");
        break;
    case Assembler::Stage::InPayload:
        // A close inside a payload is reported as progress, not as an error.
        if (closed) {
            log(false, "Connection closed by server.");
        } else {
            log(true, "Read error. Closing connection.");
        }
        break;
    }
}

}  // namespace com_krel
