#include "platform/net_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace halvex::platform::net {

namespace {
thread_local int lastErrorCode = 0;

// The descriptor held in a handle.
int fd(SocketHandle s) { return static_cast<int>(s); }

bool setInt(SocketHandle s, int level, int name, int value) {
    if (::setsockopt(fd(s), level, name, &value, sizeof value) == 0) return true;
    lastErrorCode = errno;
    return false;
}

bool setTimeout(SocketHandle s, int name, int seconds, int microseconds) {
    timeval tv{};
    tv.tv_sec = seconds;
    tv.tv_usec = microseconds;
    if (::setsockopt(fd(s), SOL_SOCKET, name, &tv, sizeof tv) == 0) return true;
    lastErrorCode = errno;
    return false;
}
}  // namespace

bool startup() { return true; }
void cleanup() {}

SocketHandle createTcp() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        lastErrorCode = errno;
        return kInvalidSocket;
    }
    return static_cast<SocketHandle>(s);
}

bool setReceiveTimeout(SocketHandle s, int seconds, int microseconds) {
    return setTimeout(s, SO_RCVTIMEO, seconds, microseconds);
}
bool setSendTimeout(SocketHandle s, int seconds, int microseconds) {
    return setTimeout(s, SO_SNDTIMEO, seconds, microseconds);
}

bool setLinger(SocketHandle s, bool on, int seconds) {
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    if (::setsockopt(fd(s), SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0) return true;
    lastErrorCode = errno;
    return false;
}

bool setReuseAddress(SocketHandle s, bool on) { return setInt(s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }
bool setNoDelay(SocketHandle s, bool on) { return setInt(s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }
bool setSendBufferSize(SocketHandle s, int bytes) { return setInt(s, SOL_SOCKET, SO_SNDBUF, bytes); }
bool setReceiveBufferSize(SocketHandle s, int bytes) { return setInt(s, SOL_SOCKET, SO_RCVBUF, bytes); }

bool connectTo(SocketHandle s, std::uint32_t address, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    for (;;) {
        if (::connect(fd(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return true;
        if (errno == EINTR) continue;
        lastErrorCode = errno;
        return false;
    }
}

int send(SocketHandle s, const void* data, std::size_t count) {
    for (;;) {
        ssize_t r = ::send(fd(s), data, count, MSG_NOSIGNAL);
        if (r >= 0) return static_cast<int>(r);
        if (errno == EINTR) continue;
        lastErrorCode = errno;
        return -1;
    }
}

int recvAll(SocketHandle s, void* data, std::size_t count) {
    for (;;) {
        ssize_t r = ::recv(fd(s), data, count, MSG_WAITALL | MSG_NOSIGNAL);
        if (r >= 0) return static_cast<int>(r);
        int e = errno;
        lastErrorCode = e;
        if (e == EINTR) continue;
        if (e == EAGAIN || e == EWOULDBLOCK || e == ETIMEDOUT) return kRecvTimedOut;
        if (e == ECONNRESET) return kRecvClosed;
        return kRecvError;
    }
}

void shutdownBoth(SocketHandle s) {
    if (s != kInvalidSocket) ::shutdown(fd(s), SHUT_RDWR);
}

void close(SocketHandle s) {
    if (s != kInvalidSocket) ::close(fd(s));
}

int lastError() { return lastErrorCode; }

std::uint32_t parseDottedAddress(const std::string& text) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return 0xFFFFFFFFu;
    return a.s_addr;
}

}  // namespace halvex::platform::net
