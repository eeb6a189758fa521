#pragma once

#include <cstddef>

#include "platform/line_sink.h"

namespace halvex::platform {

// Hides the console window of the process. On Windows this is the window the
// operator started the bridge in; on POSIX terminals there is no such window and
// the call does nothing.
void hideConsoleWindow();

// Writes the bytes to the process's standard output or error, all of them, retrying
// a write the system cut short. Only the line sink calls this.
void writeConsole(Channel channel, const char* data, std::size_t size);

}  // namespace halvex::platform
