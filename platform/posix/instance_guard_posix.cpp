#include "platform/instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace halvex::platform {

namespace {

// The guard is an advisory lock on a file in the system-wide temporary directory.
// The kernel drops the lock with the last descriptor of the process, so it cannot
// outlive the process that took it.
constexpr const char* kGuardDirectory = "/tmp";

std::string guardPath(const std::string& name) {
    // Keep only characters that are safe in a file name ("Global\X" -> "Global_X").
    std::string file;
    for (char c : name) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '.';
        file += safe ? c : '_';
    }
    return std::string(kGuardDirectory) + "/" + file + ".lock";
}

}  // namespace

InstanceGuard::InstanceGuard(std::string name) : name_(std::move(name)) {}

InstanceGuard::~InstanceGuard() {
    if (handle_ >= 0) {
        ::close(handle_);
    }
}

bool InstanceGuard::tryAcquire() {
    if (handle_ >= 0) {
        return true;
    }
    // Read-only is enough for flock, and lets every user open a file that another
    // user created. The mode is widened explicitly because the umask may narrow it.
    const std::string path = guardPath(name_);
    int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    ::fchmod(fd, 0644);
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return false;
    }
    handle_ = fd;
    return true;
}

std::string InstanceGuard::location() const { return guardPath(name_); }

}  // namespace halvex::platform
