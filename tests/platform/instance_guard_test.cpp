// The single-instance guard: one holder at a time whoever started it, freed when the
// holder ends however it ends, and blocked by no file.

#include "platform/instance_guard.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace {

using halvex::platform::InstanceGuard;

// A distinct name per test run, so a bridge running on this machine is not disturbed.
std::string testName(const char* what) {
    return std::string("Global\\HalvexGuardTest-") + what + "-" + std::to_string(::getpid());
}

// Runs `body` in a child process (as `uid` when not -1) and returns its exit status.
int inChild(uid_t uid, const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (uid != static_cast<uid_t>(-1) && (::setgid(uid) != 0 || ::setuid(uid) != 0))
            ::_exit(99);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

constexpr uid_t kNobody = 65534;

TEST(InstanceGuard, OneHolderAtATimeAndFreeOnceItEnds) {
    const std::string name = testName("one");
    {
        InstanceGuard first(name);
        ASSERT_TRUE(first.tryAcquire());
        EXPECT_TRUE(first.tryAcquire()) << "taking it again in the same holder is fine";
        EXPECT_EQ(inChild(-1, [&] { return InstanceGuard(name).tryAcquire() ? 0 : 1; }), 1);
    }
    EXPECT_EQ(inChild(-1, [&] { return InstanceGuard(name).tryAcquire() ? 0 : 1; }), 0);
}

TEST(InstanceGuard, FreedWhenTheHolderIsKilled) {
    const std::string name = testName("kill");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        InstanceGuard guard(name);
        const char held = guard.tryAcquire() ? 'y' : 'n';
        (void)!::write(ready[1], &held, 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(held, 'y');
    EXPECT_FALSE(InstanceGuard(name).tryAcquire());
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_TRUE(InstanceGuard(name).tryAcquire());
}

// Two users: what one user's bridge holds, another user's bridge sees as held, and
// once it is gone the other user takes it.
TEST(InstanceGuard, SharedAcrossUsers) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a second process as another user";
    const std::string name = testName("users");
    {
        InstanceGuard mine(name);
        ASSERT_TRUE(mine.tryAcquire());
        EXPECT_EQ(inChild(kNobody, [&] { return InstanceGuard(name).tryAcquire() ? 0 : 1; }), 1);
    }
    EXPECT_EQ(inChild(kNobody, [&] { return InstanceGuard(name).tryAcquire() ? 0 : 1; }), 0);
}

// The guard used to be a file in /tmp: a file of that name that another user created,
// whatever its mode, made every other user's bridge believe one was running. It must
// block nothing now.
TEST(InstanceGuard, AFilePlantedUnderTheOldPathBlocksNothing) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to take the guard as a user other than the file's owner";
    const std::string name = testName("planted");
    std::string file = "/tmp/";
    for (char c : name)
        file += (c == '\\') ? '_' : c;
    file += ".lock";
    const int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ::chmod(file.c_str(), 0600);  // root's file, closed to everyone else

    EXPECT_EQ(inChild(kNobody, [&] { return InstanceGuard(name).tryAcquire() ? 0 : 1; }), 0)
        << "another user's file must not make the guard look taken";
    ::unlink(file.c_str());
}

}  // namespace
