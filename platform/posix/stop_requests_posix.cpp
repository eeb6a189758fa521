#include "platform/stop_requests.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/line_sink.h"

// SIGINT and SIGTERM reach the process through a self-pipe: the signal handler only
// writes the signal's number into it, and the listener thread turns each byte into a
// request. The stop signals are blocked in every other thread (the mask is set on the
// main thread before any other thread starts, and threads inherit it), so no blocking
// call anywhere else is ever cut short by them.
namespace halvex::platform {

namespace {

// What the signal handler may touch: lock-free atomics only.
std::atomic<int> wakeFd{-1};
std::atomic<int> signalsSeen{0};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr unsigned char kQuit = 0;  // no signal has number 0: the destructor's byte

extern "C" void onStopSignal(int signal) {
    const int savedErrno = errno;
    // A second signal: the stop hangs, or the operator insists. No teardown.
    if (signalsSeen.fetch_add(1) > 0)
        ::_exit(128 + signal);
    const unsigned char byte = static_cast<unsigned char>(signal);
    const int fd = wakeFd.load();
    if (fd >= 0) {
        const ssize_t ignored = ::write(fd, &byte, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

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
    int readFd = -1;
    int writeFd = -1;
    struct sigaction previousInt {};
    struct sigaction previousTerm {};
    sigset_t previousMask{};
    std::thread thread;
};

std::unique_ptr<StopRequests::Listener, StopRequests::ListenerEnd> StopRequests::startListener(StopRequests& owner) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("stop requests: pipe failed");
    // The handler must never block on a full pipe.
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    std::unique_ptr<Listener, ListenerEnd> listener(new Listener);
    listener->readFd = fds[0];
    listener->writeFd = fds[1];
    signalsSeen = 0;
    wakeFd = listener->writeFd;

    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, &listener->previousMask);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &listener->previousInt);
    ::sigaction(SIGTERM, &action, &listener->previousTerm);

    const int readFd = listener->readFd;
    listener->thread = std::thread([&owner, readFd] {
        const sigset_t mine = stopSignals();
        pthread_sigmask(SIG_UNBLOCK, &mine, nullptr);
        for (;;) {
            unsigned char byte = kQuit;
            const ssize_t got = ::read(readFd, &byte, 1);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0 || byte == kQuit)
                return;
            try {
                owner.deliver(signalName(byte));
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
        const unsigned char quit = kQuit;
        while (::write(listener->writeFd, &quit, 1) < 0 && errno == EINTR) {
        }
        listener->thread.join();
    }
    // The system's handling first, so no handler writes into a closed pipe.
    ::sigaction(SIGINT, &listener->previousInt, nullptr);
    ::sigaction(SIGTERM, &listener->previousTerm, nullptr);
    wakeFd = -1;
    ::close(listener->readFd);
    ::close(listener->writeFd);
    pthread_sigmask(SIG_SETMASK, &listener->previousMask, nullptr);
    delete listener;
}

}  // namespace halvex::platform
