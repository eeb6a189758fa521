// The single-instance guard on Windows: one holder at a time across processes, freed
// when the holder ends however it ends. The second process is this test program again,
// running only the helper below.

#include "platform/instance_guard.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

using halvex::platform::InstanceGuard;

constexpr const char* kModeVariable = "HALVEX_GUARD_TEST_MODE";
constexpr const char* kNameVariable = "HALVEX_GUARD_TEST_NAME";
constexpr const char* kReadyVariable = "HALVEX_GUARD_TEST_READY";
constexpr DWORD kAcquired = 10;
constexpr DWORD kRefused = 11;
constexpr DWORD kChildTimeoutMs = 30000;

// A distinct name per test run, so a bridge running on this machine is not disturbed.
std::string testName(const char* what) {
    return std::string("Global\\HalvexGuardTest-") + what + "-" + std::to_string(::GetCurrentProcessId());
}

// The other process's side: "try" reports whether it got the guard and ends; "hold"
// takes it, says so through the ready event and stays until it is killed.
TEST(InstanceGuardChild, DISABLED_Helper) {
    const char* mode = std::getenv(kModeVariable);
    const char* name = std::getenv(kNameVariable);
    ASSERT_TRUE(mode && name);
    static InstanceGuard guard(name);
    const bool acquired = guard.tryAcquire();
    if (std::string(mode) == "hold" && acquired) {
        const char* ready = std::getenv(kReadyVariable);
        HANDLE event = ready ? ::OpenEventA(EVENT_MODIFY_STATE, FALSE, ready) : nullptr;
        if (event) ::SetEvent(event);
        ::Sleep(kChildTimeoutMs);  // bounded: a parent that never kills us is not outlived for long
    }
    ::ExitProcess(acquired ? kAcquired : kRefused);
}

class OtherProcess {
public:
    OtherProcess(const char* mode, const std::string& name, const std::string& readyEvent = {}) {
        char self[MAX_PATH];
        const DWORD length = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
        EXPECT_TRUE(length > 0 && length < MAX_PATH);
        ::SetEnvironmentVariableA(kModeVariable, mode);
        ::SetEnvironmentVariableA(kNameVariable, name.c_str());
        ::SetEnvironmentVariableA(kReadyVariable, readyEvent.empty() ? nullptr : readyEvent.c_str());
        std::string commandLine = std::string("\"") + self +
                                  "\" --gtest_also_run_disabled_tests --gtest_filter=InstanceGuardChild.DISABLED_Helper";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        started_ = ::CreateProcessA(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                    &startup, &info_);
        EXPECT_TRUE(started_) << "CreateProcess failed: " << ::GetLastError();
    }
    ~OtherProcess() {
        if (!started_) return;
        if (::WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(info_.hProcess, 1);
            ::WaitForSingleObject(info_.hProcess, kChildTimeoutMs);
        }
        ::CloseHandle(info_.hThread);
        ::CloseHandle(info_.hProcess);
    }
    OtherProcess(const OtherProcess&) = delete;
    OtherProcess& operator=(const OtherProcess&) = delete;

    // Its exit code, or 0 when it did not end in time.
    DWORD exitCode() {
        if (!started_ || ::WaitForSingleObject(info_.hProcess, kChildTimeoutMs) != WAIT_OBJECT_0) return 0;
        DWORD code = 0;
        ::GetExitCodeProcess(info_.hProcess, &code);
        return code;
    }
    // Ends it the hard way, as a crash or Task Manager would, and waits until it is gone.
    void kill() {
        ASSERT_TRUE(started_);
        ::TerminateProcess(info_.hProcess, 1);
        ASSERT_EQ(::WaitForSingleObject(info_.hProcess, kChildTimeoutMs), WAIT_OBJECT_0);
    }

private:
    bool started_ = false;
    PROCESS_INFORMATION info_{};
};

TEST(InstanceGuard, OneHolderAtATimeAndFreeOnceItEnds) {
    const std::string name = testName("one");
    {
        InstanceGuard first(name);
        ASSERT_TRUE(first.tryAcquire());
        EXPECT_TRUE(first.tryAcquire()) << "taking it again in the same holder is fine";
        EXPECT_EQ(OtherProcess("try", name).exitCode(), kRefused);
        EXPECT_FALSE(InstanceGuard(name).tryAcquire()) << "a second guard in the same process is refused too";
    }
    EXPECT_EQ(OtherProcess("try", name).exitCode(), kAcquired);
}

TEST(InstanceGuard, FreedWhenTheHolderIsKilled) {
    const std::string name = testName("kill");
    const std::string ready = "Local\\HalvexGuardTestReady-" + std::to_string(::GetCurrentProcessId());
    HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, ready.c_str());
    ASSERT_NE(event, nullptr);
    OtherProcess holder("hold", name, ready);
    const DWORD waited = ::WaitForSingleObject(event, kChildTimeoutMs);
    ::CloseHandle(event);
    ASSERT_EQ(waited, WAIT_OBJECT_0) << "the holder never took the guard";
    EXPECT_FALSE(InstanceGuard(name).tryAcquire());
    holder.kill();
    EXPECT_TRUE(InstanceGuard(name).tryAcquire());
}

}  // namespace
