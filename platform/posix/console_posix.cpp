#include "platform/console.h"

#include <unistd.h>

#include <cerrno>

namespace halvex::platform {

void hideConsoleWindow() {
    // A POSIX process has no console window of its own to hide.
}

void writeConsole(Channel channel, const char* data, std::size_t size) {
    const int fd = channel == Channel::Err ? STDERR_FILENO : STDOUT_FILENO;
    // One write carries the whole text; a pipe or terminal takes a line of usual length
    // at once. A write cut short (a full pipe, a signal) goes on where it stopped.
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;  // no console to write to: the line is dropped, never the process
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

}  // namespace halvex::platform
