#include "platform/stop_requests.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <string>
#include <thread>

#include "platform/line_sink.h"

// SIGINT and SIGTERM are blocked in every thread (the mask is set on the main thread
// before any other thread starts, and threads inherit it) and taken by the listener
// thread alone with sigtimedwait: no signal handler runs, and no blocking call
// anywhere else is ever cut short by them.
namespace halvex::platform {

namespace {

// How long the listener waits for a signal before it looks whether it must end.
constexpr long kListenerPollNs = 50L * 1000 * 1000;

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

std::string signalName(int signal) {
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "signal " + std::to_string(signal);
    }
}

}  // namespace

struct StopRequests::Listener {
    sigset_t previousMask{};
    std::atomic<bool> quit{false};
    std::thread thread;
};

std::unique_ptr<StopRequests::Listener, StopRequests::ListenerEnd> StopRequests::startListener(StopRequests& owner) {
    std::unique_ptr<Listener, ListenerEnd> listener(new Listener);
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, &listener->previousMask);
    Listener* state = listener.get();
    listener->thread = std::thread([&owner, state] {
        const sigset_t wanted = stopSignals();
        const timespec poll{0, kListenerPollNs};
        bool requested = false;
        while (!state->quit.load()) {
            const int signal = sigtimedwait(&wanted, nullptr, &poll);
            if (signal < 0)
                continue;  // the poll's end, or EINTR
            // A second signal: the stop hangs, or the operator insists. No teardown.
            if (requested)
                endProcessNow(128 + signal);
            requested = true;
            try {
                owner.deliver(signalName(signal));
            } catch (const std::exception& error) {
                printErr(std::string("HX>ERROR>stop request: ") + error.what());
            } catch (...) {
                printErr("HX>ERROR>stop request: unknown error");
            }
        }
    });
    return listener;
}

void StopRequests::ListenerEnd::operator()(Listener* listener) const {
    if (listener->thread.joinable()) {
        listener->quit = true;
        listener->thread.join();
    }
    // A request that comes from here on has the system's default effect.
    pthread_sigmask(SIG_SETMASK, &listener->previousMask, nullptr);
    delete listener;
}

}  // namespace halvex::platform
