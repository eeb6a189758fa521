#include "platform/stop_requests.h"

#include <windows.h>

#include <atomic>
#include <exception>

#include "platform/line_sink.h"

// The console's control events reach the process on a thread the system starts for
// each of them; the handler reports the event there and returns.
namespace halvex::platform {

namespace {

std::atomic<StopRequests*> currentOwner{nullptr};

// The status of a process ended at once by a second request, as a POSIX shell reports
// an interrupted program (128 + SIGINT's number).
constexpr int kInterruptedStatus = 130;
// For a closed console the system ends the process as soon as the handler returns
// (and after about 5 s in any case): the handler gives the main thread this long to
// tear down and return from main first.
constexpr DWORD kCloseGraceMs = 4000;

const char* eventName(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT: return "Ctrl-C";
    case CTRL_BREAK_EVENT: return "Ctrl-Break";
    case CTRL_CLOSE_EVENT: return "console closed";
    case CTRL_LOGOFF_EVENT: return "logoff";
    case CTRL_SHUTDOWN_EVENT: return "shutdown";
    default: return "console event";
    }
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    StopRequests* owner = currentOwner.load();
    if (owner == nullptr)
        return FALSE;  // the system's default: end the process
    try {
        if (!owner->deliver(eventName(event)))
            StopRequests::endProcessNow(kInterruptedStatus);
    } catch (const std::exception& error) {
        printErr(std::string("HX>ERROR>stop request: ") + error.what());
    } catch (...) {
        printErr("HX>ERROR>stop request: unknown error");
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(kCloseGraceMs);
    return TRUE;
}

}  // namespace

struct StopRequests::Listener {};

std::unique_ptr<StopRequests::Listener, StopRequests::ListenerEnd> StopRequests::startListener(StopRequests& owner) {
    currentOwner = &owner;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    return std::unique_ptr<Listener, ListenerEnd>(new Listener);
}

void StopRequests::ListenerEnd::operator()(Listener* listener) const {
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    currentOwner = nullptr;
    delete listener;
}

}  // namespace halvex::platform
