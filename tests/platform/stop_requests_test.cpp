// Stop requests: the first SIGINT or SIGTERM reaches the handler on the listener's
// thread, no other thread is disturbed by it, and a second one ends the process at once.

#include "platform/stop_requests.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/wait.h"

namespace {

using halvex::platform::StopRequests;
using namespace std::chrono_literals;

bool blocksStopSignals() {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1;
}

// A child process running a body of the test; it writes a byte to `ready` at each
// step the parent waits for.
struct Child {
    pid_t pid = -1;
    int ready = -1;
};

Child startChild(void (*body)(int readyFd)) {
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        body(fds[1]);
        ::_exit(0);
    }
    ::close(fds[1]);
    return {pid, fds[0]};
}

bool readByte(int fd) {
    char byte = 0;
    return ::read(fd, &byte, 1) == 1;
}

// The child's exit status (128 + the signal that ended it), or -1 when it did not end
// within `limit` (it is killed then).
int statusOf(pid_t pid, std::chrono::seconds limit) {
    int status = 0;
    if (halvex::test::eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit))
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

// In a child process of its own: threads that exist before the object is built (a
// sanitizer's, say) would take the signal for themselves. The child's status says
// which check failed.
TEST(StopRequests, TheFirstSignalReachesTheHandlerOnceOnTheListenersThread) {
    const Child child = startChild([](int readyFd) {
        std::mutex lock;
        int calls = 0;
        std::string reason;
        std::thread::id handlerThread;
        {
            StopRequests stop;
            stop.onRequest([&](const std::string& why) {
                std::lock_guard<std::mutex> guard(lock);
                ++calls;
                reason = why;
                handlerThread = std::this_thread::get_id();
            });
            // Threads started from here on leave the signals to the listener, so their
            // blocking calls are never cut short by them.
            bool workerBlocks = false;
            std::thread([&] { workerBlocks = blocksStopSignals(); }).join();
            if (!workerBlocks)
                ::_exit(10);
            if (stop.waitFor(10ms))
                ::_exit(11);
            const char byte = 'r';
            (void)!::write(readyFd, &byte, 1);
            if (!stop.waitFor(5s) || !stop.requested() || stop.reason() != "SIGTERM")
                ::_exit(12);
            // A handler set afterwards learns of the request at once, on its caller's thread.
            std::string late;
            stop.onRequest([&](const std::string& why) { late = why; });
            if (late != "SIGTERM")
                ::_exit(13);
        }
        std::lock_guard<std::mutex> guard(lock);
        if (calls != 1 || reason != "SIGTERM")
            ::_exit(14);
        if (handlerThread == std::this_thread::get_id())
            ::_exit(15);
        if (blocksStopSignals())
            ::_exit(16);  // the destructor gives the thread its mask back
        ::_exit(0);
    });
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(readByte(child.ready));
    ASSERT_EQ(::kill(child.pid, SIGTERM), 0);
    EXPECT_EQ(statusOf(child.pid, 10s), 0) << "10: a new thread takes the signals; 11: a request before any; "
                                               "12: not requested; 13: late handler; 14: handler calls; "
                                               "15: handler on the main thread; 16: mask kept";
    ::close(child.ready);
}

TEST(StopRequests, ASecondSignalEndsAStopThatHangs) {
    // The child's stop never ends: only the second signal gets it out.
    const Child child = startChild([](int readyFd) {
        StopRequests stop;
        const char byte = 'r';
        (void)!::write(readyFd, &byte, 1);
        if (!stop.waitFor(20s))
            ::_exit(2);
        (void)!::write(readyFd, &byte, 1);
        std::this_thread::sleep_for(20s);
        ::_exit(3);
    });
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(readByte(child.ready));
    ASSERT_EQ(::kill(child.pid, SIGINT), 0);
    ASSERT_TRUE(readByte(child.ready)) << "the first signal was taken as a request";
    ASSERT_EQ(::kill(child.pid, SIGTERM), 0);
    EXPECT_EQ(statusOf(child.pid, 5s), 128 + SIGTERM);
    ::close(child.ready);
}

TEST(StopRequests, AfterDestructionASignalHasItsDefaultEffect) {
    const Child child = startChild([](int readyFd) {
        { StopRequests stop; }
        const char byte = 'r';
        (void)!::write(readyFd, &byte, 1);
        std::this_thread::sleep_for(20s);
        ::_exit(3);
    });
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(readByte(child.ready));
    ASSERT_EQ(::kill(child.pid, SIGINT), 0);
    EXPECT_EQ(statusOf(child.pid, 5s), 128 + SIGINT);
    ::close(child.ready);
}

}  // namespace
