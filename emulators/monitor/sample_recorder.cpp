#include "emulators/monitor/sample_recorder.h"

#include <cstdio>
#include <stdexcept>

namespace halvex::emulators::monitor {

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

SampleRecorder::SampleRecorder(const std::string& path)
    : path_(path), start_(Clock::now()), out_(path, std::ios::trunc) {
    out_ << "seconds,name,value\n" << std::flush;
    if (!out_) throw std::runtime_error("cannot write the record file " + path);
}

void SampleRecorder::received(const Received& values) {
    if (values.empty()) return;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.6f",
                  std::chrono::duration<double>(values.at - start_).count());
    // The whole message in one text, then one write: rows of a message stay together.
    std::string rows;
    std::uint64_t count = 0;
    for (const auto& numeric : values.numerics) {
        rows += std::string(seconds) + ',' + csvField(numeric.first) + ',' + csvField(numeric.second) + '\n';
        ++count;
    }
    for (const auto& wave : values.waves) {
        for (double sample : wave.second) {
            char number[32];
            std::snprintf(number, sizeof number, "%.9g", sample);
            rows += std::string(seconds) + ',' + csvField(wave.first) + ',' + number + '\n';
            ++count;
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (!error_.empty()) return;
    out_ << rows << std::flush;
    if (!out_) {
        error_ = "writing " + path_ + " failed after " + std::to_string(rows_) + " rows";
        return;
    }
    rows_ += count;
}

bool SampleRecorder::ok() const {
    std::lock_guard<std::mutex> guard(lock_);
    return error_.empty();
}

std::string SampleRecorder::error() const {
    std::lock_guard<std::mutex> guard(lock_);
    return error_;
}

std::uint64_t SampleRecorder::rows() const {
    std::lock_guard<std::mutex> guard(lock_);
    return rows_;
}

}  // namespace halvex::emulators::monitor
