#pragma once

#include <functional>
#include <string>

// The one writer of the console, the operator's log. Every line of the bridge, from
// every thread (entry point, controller, adaptors, the simulator link's log), goes
// through here: the whole line with its end is written in one write under one lock
// and flushed, so lines of different threads never mix and none is lost when the
// process is killed. Nothing else writes to standard output or error.
namespace halvex::platform {

enum class Channel {
    Out,  // progress: standard output
    Err,  // errors: standard error
};

// Writes `line` and a line end. A text with line ends inside it goes out whole, in
// the same single write.
void printLine(Channel channel, const std::string& line);

inline void printOut(const std::string& line) { printLine(Channel::Out, line); }
inline void printErr(const std::string& line) { printLine(Channel::Err, line); }

// While a capture is installed, lines go to it instead of the console (tests read
// what the code under test printed). Captures nest: the newest one gets the lines,
// and removing it brings back the one before. Called under the sink's lock, so a
// capture sees whole lines one at a time and must not print.
using LineCapture = std::function<void(Channel channel, const std::string& line)>;

class ScopedLineCapture {
public:
    explicit ScopedLineCapture(LineCapture capture);
    ~ScopedLineCapture();
    ScopedLineCapture(const ScopedLineCapture&) = delete;
    ScopedLineCapture& operator=(const ScopedLineCapture&) = delete;

private:
    friend void printLine(Channel channel, const std::string& line);
    void deliver(Channel channel, const std::string& line);

    LineCapture capture_;
    ScopedLineCapture* previous_;
};

}  // namespace halvex::platform
