#include "platform/thread.h"

#include <windows.h>

namespace halvex::platform {

void raiseCurrentThreadPriority() {
    // THREAD_PRIORITY_HIGHEST is the top of the normal range; time-critical is left to
    // the system's own threads.
    (void)::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}

}  // namespace halvex::platform
