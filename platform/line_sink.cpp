#include "platform/line_sink.h"

#include <mutex>

#include "platform/console.h"

namespace halvex::platform {

namespace {

std::mutex& sinkLock() {
    static std::mutex lock;
    return lock;
}

// The innermost capture, or null: guarded by sinkLock().
ScopedLineCapture*& currentCapture() {
    static ScopedLineCapture* capture = nullptr;
    return capture;
}

}  // namespace

void printLine(Channel channel, const std::string& line) {
    std::string text;
    text.reserve(line.size() + 1);
    text += line;
    text += '\n';
    std::lock_guard<std::mutex> guard(sinkLock());
    if (ScopedLineCapture* capture = currentCapture()) {
        capture->deliver(channel, line);
        return;
    }
    writeConsole(channel, text.data(), text.size());
}

ScopedLineCapture::ScopedLineCapture(LineCapture capture) : capture_(std::move(capture)) {
    std::lock_guard<std::mutex> guard(sinkLock());
    previous_ = currentCapture();
    currentCapture() = this;
}

ScopedLineCapture::~ScopedLineCapture() {
    std::lock_guard<std::mutex> guard(sinkLock());
    // Captures end in the reverse order of their start; one that ends out of order
    // is taken out of the chain where it stands.
    ScopedLineCapture** link = &currentCapture();
    while (*link && *link != this)
        link = &(*link)->previous_;
    if (*link)
        *link = previous_;
}

void ScopedLineCapture::deliver(Channel channel, const std::string& line) { capture_(channel, line); }

}  // namespace halvex::platform
