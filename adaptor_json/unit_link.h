#pragma once

// The TCP link to the JSON unit: connect, write a frame, read a response frame,
// every one of them within a named time limit.
//
// Threads:
//
//   callers (any thread)            link I/O thread (one per link)
//   connect / write / readFrame     runs the io_context: the only thread that
//     post the operation  ------->    touches the socket; completes operations
//     wait for its end, at most       and wakes their callers
//     the operation's limit   <-------
//
// A caller never holds a lock of the link while it waits, and the link's lock is
// never held across a socket call: the I/O thread only takes it to record an end.
// When a write does not end within its limit the connection counts as lost (isUp()
// false) and the I/O thread closes the socket. shutdown() wakes every waiting caller
// at once and makes later operations fail without waiting.
//
// Each connection has a generation number: a late end of an operation on a replaced
// connection never changes the state of the current one, and every connection starts
// with a fresh frame reader.

#include <chrono>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace halvex::adaptor_json {

constexpr unsigned short kUnitPort = 14997;
// A connection attempt that has not been answered by then has failed ("connect:
// Connection timed out"); the unit is on the local network and answers at once.
constexpr std::chrono::milliseconds kConnectTimeout{3000};
// A frame not written by then (a unit that stops reading fills the socket buffer)
// ends the connection, exactly like a reset.
constexpr std::chrono::milliseconds kWriteTimeout{5000};
// An exchange's answer not complete by then raises "read_until: no answer ...".
constexpr std::chrono::milliseconds kAnswerTimeout{10000};

struct LinkLimits {
    std::chrono::milliseconds connect = kConnectTimeout;
    std::chrono::milliseconds write = kWriteTimeout;
    std::chrono::milliseconds answer = kAnswerTimeout;
};

class UnitLink {
public:
    explicit UnitLink(LinkLimits limits = {});
    // Shuts the link down and joins its I/O thread.
    ~UnitLink();
    UnitLink(const UnitLink&) = delete;
    UnitLink& operator=(const UnitLink&) = delete;

    // Closes the current connection, if any, and makes one attempt to `endpoint`.
    // Raises boost::system::system_error ("connect: ...") on failure or time-out; the
    // failed socket stays current (writes to it fail).
    void connect(const boost::asio::ip::tcp::endpoint& endpoint);
    // The current connection is up: connected, and no write on it failed since.
    bool isUp() const;
    void markDown();

    // Writes all bytes on the current connection. The error, if it failed or did not
    // end within the write limit (then asio::error::timed_out and the connection is
    // down); no error on success.
    boost::system::error_code write(const std::string& bytes);

    // The next response frame of the current connection: its length field and JSON
    // text, without the frame bytes. Bytes after it stay for the next call. Raises
    // boost::system::system_error ("read_until: ...") on a socket error, when there
    // is no connection, or when no complete frame arrived within the answer limit;
    // the frame reader's errors (std::out_of_range, std::length_error) as they are.
    // Read errors leave isUp() unchanged.
    std::string readFrame();

    // Closes the socket; waiting callers return at once, later calls fail at once.
    void shutdown();

    const LinkLimits& limits() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace halvex::adaptor_json
