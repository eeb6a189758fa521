#pragma once

// UdpAdaptor: the datagram link to one Halvex v2.2 unit. It sends text datagrams to
// one remote endpoint (the unit, or during discovery a broadcast address) and keeps
// the latest '@'-terminated reply that arrives on its port, with its sender, in a
// one-place reply slot that the caller takes replies from.
//
// Threads:
//
//   caller (the adaptor's one  send() ------------------------> socket (to remoteEndpoint)
//   operation at a time)       waitReply*(): polls the slot --+
//                                                            | replyLock: held only
//   receive thread             socket -> ReplyReader -> slot -+ to read, fill or empty
//   (startReceiving .. stop)                                     the slot
//
// stop() (run by the destructor) clears `running`, sends "[STOPME]@", shuts the
// socket down so the blocked receive returns, joins the receive thread and only then
// closes the socket: no two threads ever close and use it at once. No lock is held
// across a socket operation.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "adaptor_v22/reply_reader.h"

namespace halvex::adaptor_v22 {

// The unit listens on this port, and the bridge receives its replies on it.
inline constexpr unsigned short kUnitPort = 14996;

// How long the two waits look for a reply: `polls` looks, each after a pause.
struct ReplyWaits {
    static constexpr int kPolls = 30;
    static constexpr std::chrono::milliseconds kReplyPause{10};   // waitReply: about 300 ms
    static constexpr std::chrono::milliseconds kSenderPause{20};  // waitReplyWithSender: about 600 ms

    int polls = kPolls;
    std::chrono::milliseconds replyPause = kReplyPause;
    std::chrono::milliseconds senderPause = kSenderPause;
};

struct TransportOptions {
    // The local end: every local address by default. Tests bind their own 127.0.0.x so
    // that replies to different tests never meet.
    std::string localAddress = "0.0.0.0";
    unsigned short localPort = kUnitPort;
    // The remote end's port.
    unsigned short unitPort = kUnitPort;
    ReplyWaits waits;
};

class UdpAdaptor {
public:
    static constexpr const char* kStopText = "[STOPME]@";
    // After a failed receive the loop pauses this long before the next one, so a
    // socket that keeps failing does not take a whole core.
    static constexpr std::chrono::milliseconds kReceiveErrorPause{10};

    // Opens, sets address reuse and the broadcast permission, binds, and resolves
    // `address` (dotted IPv4 or a host name; IPv4 only). Raises
    // boost::system::system_error when one of these fails. `io` must outlive the
    // transport.
    UdpAdaptor(boost::asio::io_context& io, const std::string& address, const TransportOptions& options = {});
    virtual ~UdpAdaptor();
    UdpAdaptor(const UdpAdaptor&) = delete;
    UdpAdaptor& operator=(const UdpAdaptor&) = delete;

    // Starts the receive thread once; later calls do nothing.
    void startReceiving();
    // Empties the reply slot, then sends `text` as one datagram. Send errors are not
    // reported: the following wait finds no reply.
    void send(const std::string& text);
    // The reply in the slot (taken out of it), waiting up to waits.polls pauses of
    // replyPause; empty text when none came.
    std::string waitReply();
    // The same with pauses of senderPause; also gives the reply's sender (dotted).
    bool waitReplyWithSender(std::string& reply, std::string& sender);
    // Ends the link: "[STOPME]@" to the remote end, then the receive thread is stopped
    // and joined. Does nothing when receiving was never started or already stopped.
    void stop();

    const boost::asio::ip::udp::endpoint& remoteEndpoint() const { return remoteEndpoint_; }
    // Replies the receive thread has put into the slot so far.
    std::uint64_t repliesReceived() const { return repliesReceived_.load(); }

private:
    void receiveLoop();
    void wakeReceiver();
    bool takeReply(std::string& reply, std::string* sender);

    const ReplyWaits waits_;
    boost::asio::ip::udp::socket socket_;
    boost::asio::ip::udp::endpoint remoteEndpoint_;

    std::mutex replyLock_;  // guards lastReply_ and lastSender_, nothing else
    std::string lastReply_;
    std::string lastSender_;

    std::atomic<std::uint64_t> repliesReceived_{0};
    std::atomic<bool> running_{false};
    std::thread receiveThread_;  // owned; joined by stop()
};

}  // namespace halvex::adaptor_v22
