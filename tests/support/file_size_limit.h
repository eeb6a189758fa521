#pragma once

// POSIX only: the limit is the process's RLIMIT_FSIZE.
#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

namespace halvex::test {

// Limits the size of the files this process writes (a full disk, even for root) for
// the object's life. Writes past the limit fail with an error instead of a signal.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler_ = ::signal(SIGXFSZ, SIG_IGN);
        EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &previous_), 0);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        ::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};

}  // namespace halvex::test
