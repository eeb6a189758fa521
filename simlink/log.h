#pragma once

#include <functional>
#include <string>

namespace com_krel {

// Where the library's lines go: error lines to standard error, the others to
// standard output. Tests replace it to look at the lines.
using LogSink = std::function<void(bool error, const std::string& line)>;

// Writes one whole line through the process's line sink (platform/line_sink.h).
void printLine(bool error, const std::string& line);

}  // namespace com_krel
