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
    if (buffered() < kFrameHeaderLength) return Result::NeedMore;
    const std::uint8_t* front = buffer_.data() + start_;
    const HeaderInfo h = parseHeader(front);
    if (!h.valid()) {
        invalid_ = true;
        invalidLength_ = h.totalLength;
        return Result::Invalid;
    }
    if (buffered() < h.totalLength) return Result::NeedMore;
    payload.reset(h.kind);
    payload.bytes().assign(front + kFrameHeaderLength, front + h.totalLength);
    start_ += h.totalLength;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return Result::Frame;
}

std::size_t FrameAssembler::wanted() const {
    if (invalid_) return 0;
    const std::size_t have = buffered();
    if (have < kFrameHeaderLength) return kFrameHeaderLength - have;
    const HeaderInfo h = parseHeader(buffer_.data() + start_);
    if (!h.valid() || have >= h.totalLength) return 0;
    return h.totalLength - have;
}

FrameAssembler::Stage FrameAssembler::stage() const {
    const std::size_t have = buffered();
    if (have == 0) return Stage::BetweenFrames;
    return have < kFrameHeaderLength ? Stage::InHeader : Stage::InPayload;
}

void FrameAssembler::reset() {
    // Swapped out, not cleared: a large frame's buffer is given back.
    std::vector<std::uint8_t>().swap(buffer_);
    start_ = 0;
    invalid_ = false;
    invalidLength_ = 0;
}

}  // namespace com_krel::wire
