#pragma once

#include <ostream>
#include <string>

// Writes one whole line and flushes it, so that lines from different threads never
// mix and none is lost when the process is killed.
inline void printLine(std::ostream& stream, const std::string& line) {
    stream << (line + '\n') << std::flush;
}
