#include "emulators/sim_server/frame_log.h"

#include <algorithm>
#include <utility>

namespace halvex::emulators::sim_server {

ReceivedFrame describeFrame(Protocol protocol, int connection, int kind, const Bytes& payload) {
    ReceivedFrame f;
    f.protocol = protocol;
    f.connection = connection;
    f.kind = kind;
    f.payload = payload;
    if (kind == KindApplication && payload.size() >= kAppHeaderSize) {
        f.family = payload[0];
        f.service = payload[1];
        f.type = readU16(payload, 10);
    }
    return f;
}

void FrameLog::record(ReceivedFrame frame) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        frames_.push_back(std::move(frame));
        if (frames_.size() > kMaxFrames) {
            frames_.pop_front();
            ++first_;
        }
    }
    changed_.notify_all();
}

std::size_t FrameLog::count() const {
    std::lock_guard<std::mutex> g(mutex_);
    return first_ + frames_.size();
}

std::vector<ReceivedFrame> FrameLog::frames() const {
    std::lock_guard<std::mutex> g(mutex_);
    return {frames_.begin(), frames_.end()};
}

std::optional<ReceivedFrame> FrameLog::waitFor(const std::function<bool(const ReceivedFrame&)>& match,
                                               std::chrono::milliseconds timeout, std::size_t from) const {
    std::unique_lock<std::mutex> g(mutex_);
    std::optional<ReceivedFrame> found;
    std::size_t next = from;
    changed_.wait_for(g, timeout, [&] {
        for (next = std::max(next, first_); next < first_ + frames_.size(); ++next) {
            if (match(frames_[next - first_])) {
                found = frames_[next - first_];
                return true;
            }
        }
        return false;
    });
    return found;
}

std::size_t FrameLog::waitForCount(const std::function<bool(const ReceivedFrame&)>& match, std::size_t count,
                                   std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> g(mutex_);
    std::size_t n = 0;
    changed_.wait_for(g, timeout, [&] {
        n = static_cast<std::size_t>(std::count_if(frames_.begin(), frames_.end(), match));
        return n >= count;
    });
    return n;
}

}  // namespace halvex::emulators::sim_server
