#include "platform/console.h"

#include <windows.h>

#include <limits>

namespace halvex::platform {

void hideConsoleWindow() {
    // A process started without a console window of its own (a service, a redirected
    // start) has nothing to hide.
    if (HWND window = ::GetConsoleWindow()) {
        ::ShowWindow(window, SW_HIDE);
    }
}

void writeConsole(Channel channel, const char* data, std::size_t size) {
    const HANDLE handle = ::GetStdHandle(channel == Channel::Err ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;  // no console to write to: the line is dropped, never the process
    }
    // WriteFile goes straight to the console, pipe or file, past the C runtime's
    // buffers and its text-mode translation: one call carries the whole line. A write
    // cut short (a full pipe) goes on where it stopped.
    while (size > 0) {
        const DWORD chunk = size > std::numeric_limits<DWORD>::max() ? std::numeric_limits<DWORD>::max()
                                                                     : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(handle, data, chunk, &written, nullptr) || written == 0) {
            return;
        }
        data += written;
        size -= written;
    }
}

}  // namespace halvex::platform
