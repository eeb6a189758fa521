#include "platform/console.h"

namespace halvex::platform {

void hideConsoleWindow() {
    // A POSIX process has no console window of its own to hide.
}

}  // namespace halvex::platform
