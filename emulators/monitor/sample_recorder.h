#pragma once

// --record FILE of the unit emulators: every numeric and every waveform sample the
// unit received, one CSV row each with its receive time, for plots and for checking
// a monitor path after the fact.
//
//   seconds,name,value
//   0.061234,hr,72
//   0.061234,abp,93
//
// `seconds` counts from the recorder's construction on the steady clock; `name` is
// the unit's own name (a VitalsData key or waveform key, or a v2.2 command word);
// `value` is the numeric's text as received, or the sample as a number. Every
// message's rows are flushed together, so a killed emulator loses at most the
// message being written.

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

#include "emulators/monitor/received.h"

namespace halvex::emulators::monitor {

class SampleRecorder : public ReceivedSink {
public:
    // Creates (truncates) the file and writes the header; std::runtime_error when the
    // file cannot be opened or written.
    explicit SampleRecorder(const std::string& path);

    void received(const Received& values) override;

    // False once a write failed; what() of the failure in error(). Rows after a
    // failure are not written.
    bool ok() const;
    std::string error() const;
    std::uint64_t rows() const;

private:
    const std::string path_;
    const Clock::time_point start_;
    mutable std::mutex lock_;  // guards everything below
    std::ofstream out_;
    std::string error_;
    std::uint64_t rows_ = 0;
};

// A CSV field: quoted (with doubled quotes) when it holds a comma, quote or line end.
std::string csvField(const std::string& text);

}  // namespace halvex::emulators::monitor
