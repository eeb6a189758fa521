#include "simlink/frame_assembler.h"

namespace com_krel::wire {


void FrameAssembler::feed(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    // What was taken goes before anything is appended, so the buffer holds no more
    // than the frames still in progress.
    if (start_ != 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

FrameAssembler::Result FrameAssembler::next(RawMessage& payload) {
    if (invalid_) return Result::Invalid;
    if (buffered() < need_) return Result::NeedMore;
    const std::uint8_t* front = buffer_.data() + start_;
    if (total_ == 0) {
        // The header is in: checked once, before a byte of its payload is kept.
        const HeaderInfo h = parseHeader(front);
        if (!h.valid()) {
            invalid_ = true;
            invalidLength_ = h.totalLength;
            return Result::Invalid;
        }
        total_ = h.totalLength;
        kind_ = h.kind;
        need_ = total_;
        if (buffered() < need_) return Result::NeedMore;
    }
    payload.reset(kind_);
    payload.bytes().assign(front + kFrameHeaderLength, front + total_);
    start_ += total_;
    total_ = 0;
    need_ = kFrameHeaderLength;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return Result::Frame;
}

std::size_t FrameAssembler::wanted() const {
    if (invalid_) return 0;
    const std::size_t have = buffered();
    std::size_t need = need_;
    if (total_ == 0 && have >= kFrameHeaderLength) {
        // A header next has not looked at yet.
        const HeaderInfo h = parseHeader(buffer_.data() + start_);
        if (!h.valid()) return 0;
        need = h.totalLength;
    }
    return have < need ? need - have : 0;
}

FrameAssembler::Stage FrameAssembler::stage() const {
    const std::size_t have = buffered();
    if (have == 0) return Stage::BetweenFrames;
    return have < kFrameHeaderLength ? Stage::InHeader : Stage::InPayload;
}

void FrameAssembler::reset() {
    // A large frame's buffer is given back; a small one is kept for the next stream.
    if (buffer_.capacity() > kKeptCapacity) {
        std::vector<std::uint8_t>().swap(buffer_);
    } else {
        buffer_.clear();
    }
    start_ = 0;
    total_ = 0;
    kind_ = KindUnknown;
    need_ = kFrameHeaderLength;
    invalid_ = false;
    invalidLength_ = 0;
}

}  // namespace com_krel::wire
