#include "platform/instance_guard.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace halvex::platform {

namespace {

// The guard is a Unix-domain socket bound to a name in the abstract namespace: the
// name belongs to the socket, not to a file, so no user can plant or keep it, and the
// kernel frees it the moment the process's last descriptor of the socket closes,
// however the process ended. One name per machine (per network namespace).
constexpr const char* kAbstractPrefix = "halvex-relay:";

std::string abstractName(const std::string& name) { return kAbstractPrefix + name; }

}  // namespace

InstanceGuard::InstanceGuard(std::string name) : name_(std::move(name)) {}

InstanceGuard::~InstanceGuard() {
    if (handle_ != kNone) {
        ::close(static_cast<int>(handle_));
    }
}

bool InstanceGuard::tryAcquire() {
    if (handle_ != kNone) {
        return true;
    }
    const std::string name = abstractName(name_);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // sun_path[0] stays NUL: that selects the abstract namespace.
    if (name.size() > sizeof address.sun_path - 1) {
        return false;
    }
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    // EADDRINUSE: another process holds the name.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return false;
    }
    handle_ = static_cast<std::uintptr_t>(fd);
    return true;
}

std::string InstanceGuard::location() const { return "abstract Unix socket @" + abstractName(name_); }

}  // namespace halvex::platform
