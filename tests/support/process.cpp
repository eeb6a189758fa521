#include "tests/support/process.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "tests/support/wait.h"

namespace halvex::test {

#ifndef _WIN32
ChildProcess::ChildProcess(std::vector<std::string> argv, std::string workingDirectory) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) {
            ::dup2(devNull, STDIN_FILENO);
        }
        if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0) {
            ::_exit(126);
        }
        // The program gets nothing of the test but its three standard streams: a socket
        // of an in-process stand-in must not stay bound while the program lives.
        ::close_range(3, ~0U, 0);
        // Nor the signals the test's thread blocks (a stop listener blocks SIGINT and
        // SIGTERM): the program starts as it would from a shell.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    outReader_ = std::thread([this, fd = outPipe[0]] { readLoop(fd, out_, outEnded_); });
    errReader_ = std::thread([this, fd = errPipe[0]] { readLoop(fd, err_, errEnded_); });
}

ChildProcess::~ChildProcess() {
    if (wait(std::chrono::milliseconds(0)) == -1) {
        kill(SIGKILL);
        wait(std::chrono::seconds(10));
    }
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
}

void ChildProcess::readLoop(int fd, std::string& into, bool& ended) {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        {
            std::lock_guard<std::mutex> guard(lock_);
            into.append(buffer, static_cast<std::size_t>(n));
        }
        output_.notify_all();
    }
    ::close(fd);
    {
        std::lock_guard<std::mutex> guard(lock_);
        ended = true;
    }
    output_.notify_all();
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (exited_) return status_;
    int raw = 0;
    if (!eventually([&] { return ::waitpid(pid_, &raw, WNOHANG) == pid_; }, timeout)) return -1;
    exited_ = true;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    // The output is complete once the pipes are drained.
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
    return status_;
}

void ChildProcess::kill(int signal) {
    if (!exited_) ::kill(pid_, signal);
}

namespace {

// The first ended line of text for which match holds.
template <class Match>
std::optional<std::string> firstLine(const std::string& text, Match match) {
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        std::string line = text.substr(start, end - start);
        if (match(line)) return line;
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace

bool ChildProcess::waitUntil(bool onStderr, std::chrono::milliseconds timeout,
                             const std::function<bool(const std::string&)>& test) {
    std::unique_lock<std::mutex> guard(lock_);
    const std::string& text = onStderr ? err_ : out_;
    const bool& ended = onStderr ? errEnded_ : outEnded_;
    output_.wait_for(guard, timeout, [&] { return ended || test(text); });
    return test(text);
}

bool ChildProcess::waitForLine(const std::string& line, std::chrono::milliseconds timeout, bool onStderr) {
    return waitUntil(onStderr, timeout, [&](const std::string& text) {
        return firstLine(text, [&](const std::string& l) { return l == line; }).has_value();
    });
}

bool ChildProcess::waitForText(const std::string& text, std::chrono::milliseconds timeout, bool onStderr) {
    return waitUntil(onStderr, timeout,
                     [&](const std::string& all) { return all.find(text) != std::string::npos; });
}

std::optional<std::string> ChildProcess::lineContaining(const std::string& text, std::chrono::milliseconds timeout,
                                                        bool onStderr) {
    std::optional<std::string> found;
    waitUntil(onStderr, timeout, [&](const std::string& all) {
        found = firstLine(all, [&](const std::string& l) { return l.find(text) != std::string::npos; });
        return found.has_value();
    });
    return found;
}

std::string ChildProcess::out() {
    std::lock_guard<std::mutex> guard(lock_);
    return out_;
}

std::string ChildProcess::err() {
    std::lock_guard<std::mutex> guard(lock_);
    return err_;
}

#endif  // !_WIN32

TempDir::TempDir() {
#ifdef _WIN32
    // No mkdtemp here: create_directory fails on a name that exists, so a fresh name
    // is taken atomically all the same.
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto candidate =
            std::filesystem::temp_directory_path() / ("halvex-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.generic_string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "halvex-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
#endif
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& content) const {
    std::ofstream(file(name), std::ios::binary) << content;
}

}  // namespace halvex::test
