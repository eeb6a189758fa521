#pragma once

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace halvex::test {

#ifndef _WIN32
// Starting programs is POSIX-only here; the Windows build leaves out the tests that do.
// A program started by a test, with its standard output and error collected as it
// runs. The destructor kills the program if it still runs, so no test leaves one
// behind.
class ChildProcess {
public:
    // argv[0] is the program path. workingDirectory may be empty (inherit).
    ChildProcess(std::vector<std::string> argv, std::string workingDirectory = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Waits for the program to end; the exit status, or -1 when it did not end in
    // time (it keeps running), or 128 + signal when a signal ended it.
    int wait(std::chrono::milliseconds timeout);
    // Sends a signal unless the program has already been reaped.
    void kill(int signal);

    // Waits until a whole line equal to `line` appeared on the stream.
    bool waitForLine(const std::string& line, std::chrono::milliseconds timeout, bool onStderr = false);
    // Waits until some line contains `text`.
    bool waitForText(const std::string& text, std::chrono::milliseconds timeout, bool onStderr = false);
    // Waits until a whole line (ended) contains `text` and returns that line.
    std::optional<std::string> lineContaining(const std::string& text, std::chrono::milliseconds timeout,
                                              bool onStderr = false);

    std::string out();
    std::string err();

private:
    void readLoop(int fd, std::string& into, bool& ended);
    // Waits until test(all the stream's text so far) holds, the stream has ended or
    // the time is up; test's last answer. test runs under lock_.
    bool waitUntil(bool onStderr, std::chrono::milliseconds timeout,
                   const std::function<bool(const std::string&)>& test);

    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::mutex lock_;
    std::condition_variable output_;  // more output, or a stream ended
    bool outEnded_ = false;
    bool errEnded_ = false;
    std::string out_;
    std::string err_;
    std::thread outReader_;
    std::thread errReader_;
};

#endif  // !_WIN32

// A fresh temporary directory, removed with its contents by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

}  // namespace halvex::test
