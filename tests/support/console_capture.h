#pragma once

// Collects the lines the code under test prints through the line sink, from any
// thread, while the object lives; the test can wait for a line to appear.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/line_sink.h"

namespace halvex::test {

class ConsoleCapture {
public:
    using Channel = halvex::platform::Channel;

    ConsoleCapture()
        : capture_([this](Channel channel, const std::string& line) {
              {
                  std::lock_guard<std::mutex> guard(mutex_);
                  (channel == Channel::Err ? err_ : out_) += line + '\n';
                  lines_.push_back({channel, line});
              }
              changed_.notify_all();
          }) {}

    // Everything printed on one channel, each line with its line end.
    std::string out() const { return text(Channel::Out); }
    std::string err() const { return text(Channel::Err); }
    std::string text(Channel channel) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return channel == Channel::Err ? err_ : out_;
    }
    // The lines of one channel, in order. A text printed with line ends inside it
    // counts as one line here.
    std::vector<std::string> lines(Channel channel) const {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<std::string> result;
        for (const auto& entry : lines_)
            if (entry.channel == channel)
                result.push_back(entry.text);
        return result;
    }
    // Waits until the channel's text holds `part`; false after the deadline.
    bool waitFor(const std::string& part, Channel channel = Channel::Out,
                 std::chrono::milliseconds deadline = std::chrono::seconds(10)) const {
        std::unique_lock<std::mutex> guard(mutex_);
        return changed_.wait_for(guard, deadline, [&] {
            return (channel == Channel::Err ? err_ : out_).find(part) != std::string::npos;
        });
    }
    // Waits until the channel's text holds `part` at least n times.
    bool waitForCount(const std::string& part, std::size_t n, Channel channel = Channel::Out,
                      std::chrono::milliseconds deadline = std::chrono::seconds(10)) const {
        std::unique_lock<std::mutex> guard(mutex_);
        return changed_.wait_for(guard, deadline, [&] { return countLocked(part, channel) >= n; });
    }
    std::size_t count(const std::string& part, Channel channel = Channel::Out) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return countLocked(part, channel);
    }

private:
    struct Line {
        Channel channel;
        std::string text;
    };

    std::size_t countLocked(const std::string& part, Channel channel) const {
        const std::string& text = channel == Channel::Err ? err_ : out_;
        std::size_t n = 0;
        for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
            ++n;
        return n;
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string out_;
    std::string err_;
    std::vector<Line> lines_;
    // Last, so it is removed first: no line arrives once the fields above go away.
    halvex::platform::ScopedLineCapture capture_;
};

}  // namespace halvex::test
