#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A small TCP client socket layer for the simulator link. Each call maps onto one
// operating-system call; the caller decides what to print. The POSIX version is in
// posix/net_socket_posix.cpp; a Win32 file with the same functions can sit beside it.
namespace halvex::platform::net {

// Wide enough for every platform's handle: a Win32 SOCKET is an unsigned,
// pointer-sized value; a POSIX descriptor fits in it.
using SocketHandle = std::uintptr_t;
constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

// Results of recvAll besides a byte count.
constexpr int kRecvClosed = 0;     // orderly close or connection reset
constexpr int kRecvError = -1;     // any other socket error
constexpr int kRecvTimedOut = -2;  // nothing arrived within the receive time-out

// Socket library start-up and clean-up, one clean-up per successful start-up.
bool startup();
void cleanup();

SocketHandle createTcp();
bool setReceiveTimeout(SocketHandle s, int seconds, int microseconds);
bool setSendTimeout(SocketHandle s, int seconds, int microseconds);
bool setLinger(SocketHandle s, bool on, int seconds);
bool setReuseAddress(SocketHandle s, bool on);
bool setNoDelay(SocketHandle s, bool on);
bool setSendBufferSize(SocketHandle s, int bytes);
bool setReceiveBufferSize(SocketHandle s, int bytes);
// address: IPv4 in network byte order; port: host order.
bool connectTo(SocketHandle s, std::uint32_t address, int port);
// Bytes sent, or -1. Never raises SIGPIPE.
int send(SocketHandle s, const void* data, std::size_t count);
// Waits for all count bytes (or the receive time-out); a byte count, or one of kRecv*.
int recvAll(SocketHandle s, void* data, std::size_t count);
// Ends both directions of a connection without closing the socket: a receive
// blocked on it returns at once (kRecvClosed), and the handle stays valid until close.
void shutdownBoth(SocketHandle s);
void close(SocketHandle s);
// The error code of the last failed call on this thread.
int lastError();

// Dotted IPv4 text to an address in network byte order; 0xFFFFFFFF when the text
// does not parse (connection attempts to it then fail).
std::uint32_t parseDottedAddress(const std::string& text);

}  // namespace halvex::platform::net
