#pragma once

// Shared helpers of the controller tests: batches of updates and a capture of the
// console that the controller's threads may write to while the test reads it.

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "simlink/types.h"

using Batch = std::vector<com_krel::ParameterValue>;

inline com_krel::ParameterValue intUpdate(const std::string& id, int value) {
    return com_krel::ParameterValue::ofInt(id, value);
}
inline com_krel::ParameterValue floatUpdate(const std::string& id, float value) {
    return com_krel::ParameterValue::ofFloat(id, value);
}

// n samples of one waveform, valued first, first + 1, ...
inline Batch samples(const std::string& id, int n, float first = 1.0f) {
    Batch batch;
    for (int i = 0; i < n; ++i)
        batch.push_back(floatUpdate(id, first + static_cast<float>(i)));
    return batch;
}

inline Batch join(std::initializer_list<Batch> parts) {
    Batch all;
    for (const Batch& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Redirects one standard stream into a buffer guarded by a mutex.
class StreamCapture {
public:
    explicit StreamCapture(std::ostream& stream) : stream_(stream), previous_(stream.rdbuf(&buffer_)) {}
    ~StreamCapture() { stream_.rdbuf(previous_); }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    std::string text() const { return buffer_.text(); }
    // Waits until the text holds `part`; false after the deadline.
    bool waitFor(const std::string& part, std::chrono::milliseconds deadline = std::chrono::seconds(10)) const {
        return buffer_.waitFor(part, deadline);
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }

private:
    class LockedBuffer : public std::streambuf {
    public:
        std::string text() const {
            std::lock_guard<std::mutex> guard(mutex_);
            return text_;
        }
        bool waitFor(const std::string& part, std::chrono::milliseconds deadline) const {
            std::unique_lock<std::mutex> guard(mutex_);
            return written_.wait_for(guard, deadline, [&] { return text_.find(part) != std::string::npos; });
        }

    protected:
        int_type overflow(int_type c) override {
            if (c != traits_type::eof()) {
                std::lock_guard<std::mutex> guard(mutex_);
                text_.push_back(traits_type::to_char_type(c));
                written_.notify_all();
            }
            return c;
        }
        std::streamsize xsputn(const char* s, std::streamsize n) override {
            std::lock_guard<std::mutex> guard(mutex_);
            text_.append(s, static_cast<std::size_t>(n));
            written_.notify_all();
            return n;
        }

    private:
        mutable std::mutex mutex_;
        mutable std::condition_variable written_;
        std::string text_;
    };

    std::ostream& stream_;
    LockedBuffer buffer_;
    std::streambuf* previous_;
};
