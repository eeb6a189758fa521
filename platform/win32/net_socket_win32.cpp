#include "platform/net_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <mutex>

namespace halvex::platform::net {

namespace {
thread_local int lastErrorCode = 0;

// Winsock is started once for the process, by the first startup(), and cleaned up by
// the clean-up that balances the last one; Boost.Asio keeps its own start-up beside it.
std::mutex startupLock;
int startupCount = 0;

SOCKET sock(SocketHandle s) { return static_cast<SOCKET>(s); }

bool failed() {
    lastErrorCode = ::WSAGetLastError();
    return false;
}

bool setOption(SocketHandle s, int level, int name, const void* value, int size) {
    if (::setsockopt(sock(s), level, name, static_cast<const char*>(value), size) == 0) return true;
    return failed();
}

bool setInt(SocketHandle s, int level, int name, int value) {
    return setOption(s, level, name, &value, sizeof value);
}

// Winsock takes send and receive time-outs as milliseconds, where 0 means none. A
// time-out below a millisecond becomes one: it must not turn into an endless wait.
bool setTimeout(SocketHandle s, int name, int seconds, int microseconds) {
    long long ms = static_cast<long long>(seconds) * 1000 + microseconds / 1000;
    if (ms == 0 && microseconds > 0) ms = 1;
    if (ms < 0) ms = 0;
    const DWORD value = ms > static_cast<long long>(MAXDWORD) ? MAXDWORD : static_cast<DWORD>(ms);
    return setOption(s, SOL_SOCKET, name, &value, sizeof value);
}

int clampLength(std::size_t count) { return count > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(count); }
}  // namespace

bool startup() {
    std::lock_guard<std::mutex> g(startupLock);
    if (startupCount == 0) {
        WSADATA data{};
        const int r = ::WSAStartup(MAKEWORD(2, 2), &data);
        if (r != 0) {
            lastErrorCode = r;
            return false;
        }
    }
    ++startupCount;
    return true;
}

void cleanup() {
    std::lock_guard<std::mutex> g(startupLock);
    if (startupCount == 0) return;
    if (--startupCount == 0) ::WSACleanup();
}

SocketHandle createTcp() {
    // WSA_FLAG_NO_HANDLE_INHERIT: programs the process starts do not keep the socket.
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        lastErrorCode = ::WSAGetLastError();
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
    l.l_linger = static_cast<u_short>(seconds < 0 ? 0 : seconds > USHRT_MAX ? USHRT_MAX : seconds);
    return setOption(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

bool setReuseAddress(SocketHandle s, bool on) { return setInt(s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }
bool setNoDelay(SocketHandle s, bool on) { return setInt(s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }
bool setSendBufferSize(SocketHandle s, int bytes) { return setInt(s, SOL_SOCKET, SO_SNDBUF, bytes); }
bool setReceiveBufferSize(SocketHandle s, int bytes) { return setInt(s, SOL_SOCKET, SO_RCVBUF, bytes); }

bool connectTo(SocketHandle s, std::uint32_t address, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(static_cast<u_short>(port));
    if (::connect(sock(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return true;
    return failed();
}

int send(SocketHandle s, const void* data, std::size_t count) {
    // Winsock raises no signal on a closed peer; the error comes back as a result.
    const int r = ::send(sock(s), static_cast<const char*>(data), clampLength(count), 0);
    if (r == SOCKET_ERROR) {
        lastErrorCode = ::WSAGetLastError();
        return -1;
    }
    return r;
}

int recvAll(SocketHandle s, void* data, std::size_t count) {
    // Winsock's MSG_WAITALL may drop the bytes it already took when the time-out ends
    // the call; reading in steps keeps them, and a time-out or close after part of the
    // count returns that part, as the caller expects.
    char* at = static_cast<char*>(data);
    const int want = clampLength(count);
    int got = 0;
    while (got < want) {
        const int r = ::recv(sock(s), at + got, want - got, 0);
        if (r > 0) {
            got += r;
            continue;
        }
        if (r == 0) return got > 0 ? got : kRecvClosed;
        const int e = ::WSAGetLastError();
        lastErrorCode = e;
        if (e == WSAEINTR) continue;
        if (got > 0) return got;
        if (e == WSAETIMEDOUT || e == WSAEWOULDBLOCK) return kRecvTimedOut;
        if (e == WSAECONNRESET || e == WSAECONNABORTED) return kRecvClosed;
        return kRecvError;
    }
    return got;
}

void shutdownBoth(SocketHandle s) {
    if (s != kInvalidSocket) ::shutdown(sock(s), SD_BOTH);
}

void close(SocketHandle s) {
    if (s != kInvalidSocket) ::closesocket(sock(s));
}

int lastError() { return lastErrorCode; }

std::uint32_t parseDottedAddress(const std::string& text) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return 0xFFFFFFFFu;
    return a.s_addr;
}

}  // namespace halvex::platform::net
