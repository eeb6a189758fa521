// The line sink writes each line whole, whichever threads print at once.

#include "platform/line_sink.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/console_capture.h"

namespace {

using halvex::platform::Channel;

#ifdef _WIN32
constexpr int kStdout = 1;
constexpr int kStderr = 2;

// Standard output (or error) sent into a pipe while the object lives, with a thread
// that drains the pipe so writers never wait on a full one. The sink looks the
// standard handle up on every write, so swapping the handle redirects it.
class RedirectedStream {
public:
    explicit RedirectedStream(int stream) : which_(stream == kStderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE) {
        EXPECT_TRUE(::CreatePipe(&readEnd_, &writeEnd_, nullptr, 0));
        saved_ = ::GetStdHandle(which_);
        ::SetStdHandle(which_, writeEnd_);
        reader_ = std::thread([this] {
            char chunk[4096];
            DWORD got = 0;
            while (::ReadFile(readEnd_, chunk, sizeof chunk, &got, nullptr) && got > 0)
                text_.append(chunk, got);
        });
    }
    // Restores the stream and returns everything written to it.
    std::string finish() {
        ::SetStdHandle(which_, saved_);
        ::CloseHandle(writeEnd_);  // the pipe's only write end: the reader sees its end
        reader_.join();
        ::CloseHandle(readEnd_);
        return text_;
    }

private:
    DWORD which_;
    HANDLE saved_ = nullptr;
    HANDLE readEnd_ = nullptr;
    HANDLE writeEnd_ = nullptr;
    std::thread reader_;
    std::string text_;
};
#else
constexpr int kStdout = STDOUT_FILENO;
constexpr int kStderr = STDERR_FILENO;

// Standard output (or error) sent into a pipe while the object lives, with a thread
// that drains the pipe so writers never wait on a full one.
class RedirectedStream {
public:
    explicit RedirectedStream(int fd) : fd_(fd) {
        int ends[2];
        EXPECT_EQ(::pipe(ends), 0);
        saved_ = ::dup(fd_);
        ::dup2(ends[1], fd_);
        ::close(ends[1]);
        readEnd_ = ends[0];
        reader_ = std::thread([this] {
            char chunk[4096];
            for (;;) {
                const ssize_t got = ::read(readEnd_, chunk, sizeof chunk);
                if (got <= 0)
                    return;
                text_.append(chunk, static_cast<std::size_t>(got));
            }
        });
    }
    // Restores the stream and returns everything written to it.
    std::string finish() {
        ::dup2(saved_, fd_);  // closes the pipe's last write end: the reader sees its end
        ::close(saved_);
        reader_.join();
        ::close(readEnd_);
        return text_;
    }

private:
    int fd_;
    int saved_ = -1;
    int readEnd_ = -1;
    std::thread reader_;
    std::string text_;
};
#endif

TEST(LineSink, LinesOfManyThreadsArriveWholeAndInEachThreadsOrder) {
    constexpr int kThreads = 8;
    constexpr int kLinesEach = 400;
    // Long lines make a split write likely if lines were written in pieces.
    const std::string padding(300, '.');
    RedirectedStream out(kStdout);
    {
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([&, t] {
                for (int i = 0; i < kLinesEach; ++i)
                    halvex::platform::printOut("T" + std::to_string(t) + " " + std::to_string(i) + " " + padding);
            });
        }
        for (auto& writer : writers)
            writer.join();
    }
    const std::string text = out.finish();

    std::map<int, int> next;  // thread -> the line number expected next
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        int thread = -1, number = -1;
        char rest[512] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "T%d %d %511s", &thread, &number, rest), 3) << line;
        ASSERT_EQ(std::string(rest), padding) << "a line was cut or mixed: " << line;
        ASSERT_EQ(number, next[thread]) << "thread " << thread << " out of order";
        ++next[thread];
    }
    EXPECT_EQ(count, kThreads * kLinesEach);
}

TEST(LineSink, ErrorsGoToStandardErrorAndCapturesNest) {
    RedirectedStream err(kStderr);
    halvex::platform::printErr("HX>ERROR>first");
    {
        halvex::test::ConsoleCapture outer;
        halvex::platform::printOut("to the outer capture");
        {
            halvex::test::ConsoleCapture inner;
            halvex::platform::printErr("to the inner capture");
            EXPECT_EQ(inner.err(), "to the inner capture\n");
        }
        halvex::platform::printOut("outer again");
        EXPECT_EQ(outer.out(), "to the outer capture\nouter again\n");
        EXPECT_EQ(outer.err(), "");
    }
    halvex::platform::printErr("HX>ERROR>last");
    EXPECT_EQ(err.finish(), "HX>ERROR>first\nHX>ERROR>last\n");
}

}  // namespace
