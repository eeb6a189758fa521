#pragma once

namespace halvex::platform {

// Hides the console window of the process. On Windows this is the window the
// operator started the bridge in; on POSIX terminals there is no such window and
// the call does nothing.
void hideConsoleWindow();

}  // namespace halvex::platform
