#pragma once

// A stand-in for the Halvex v2.2 unit: UDP on a loopback address, port 14996 (with
// address reuse, so a bridge bound to every address on the same port still gets the
// replies sent to it). It answers as UnitModel describes, keeps what it received and
// misbehaves on demand for tests.
//
// Threads:
//   caller   constructs, calls start/stop and the hooks; every hook is thread-safe.
//   I/O      one thread running the io_context: receives on every socket, sends the
//            replies (late ones through timers). It alone touches the sockets. The
//            listener runs on it, without the lock held: keep it short, and do not
//            call stop() from it.
//
// Replies always leave from the unit's own address, also for requests that reached
// one of its other listening addresses (a broadcast address, say), as a real unit
// answers a broadcast from its own address.

#include <boost/asio.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "emulators/unit_v22/unit_model.h"
#include "platform/io_thread.h"

namespace halvex::emulators::unit_v22 {

constexpr unsigned short kDefaultUnitPort = 14996;
constexpr const char* kDefaultSerialId = "HX22-0001";
// Datagrams kept for datagramsReceived(); older ones are dropped.
constexpr std::size_t kKeptDatagrams = 20000;

struct ReceivedDatagram {
    Clock::time_point at;
    std::string from;       // sender's address:port
    std::string to;         // the unit's address it arrived on
    std::string text;
    bool ignored = false;   // arrived while silent
    monitor::Received values;  // the run-mode values it gave the unit, at `at`
};

class UnitEmulator {
public:
    struct Options {
        std::string address = "127.0.0.2";    // the unit's own address, inside 127.0.0.0/8
        unsigned short port = kDefaultUnitPort;
        std::string serialId = kDefaultSerialId;
        std::vector<std::string> alsoListenOn;  // more loopback addresses (a broadcast address)
    };
    // Called on the I/O thread with each datagram and its compact line; replies too.
    using Listener = std::function<void(const ReceivedDatagram&, const std::string& line)>;

    // Only loopback addresses other than 127.0.0.1 are accepted (std::invalid_argument):
    // the bridge receives its replies on 127.0.0.1.
    explicit UnitEmulator(Options options);
    ~UnitEmulator();
    UnitEmulator(const UnitEmulator&) = delete;
    UnitEmulator& operator=(const UnitEmulator&) = delete;

    // Binds every address and starts the I/O thread; throws boost::system::system_error
    // when an address cannot be bound.
    void start();
    // Closes the sockets and joins the I/O thread. Idempotent; the destructor calls it.
    void stop();

    const Options& options() const { return options_; }
    void setListener(Listener listener);

    // --- what was received ---
    UnitStats snapshot() const;
    std::vector<ReceivedDatagram> datagramsReceived() const;
    // Waits until the condition on the stats holds; false at the time-out.
    bool waitFor(const std::function<bool(const UnitStats&)>& condition, std::chrono::milliseconds timeout) const;
    // Waits until `count` commands with this word have arrived in all.
    bool waitForCommand(const std::string& word, std::uint64_t count, std::chrono::milliseconds timeout) const;
    bool waitForDatagrams(std::uint64_t count, std::chrono::milliseconds timeout) const;

    // --- misbehaviour on demand ---
    void setSilent(bool on);                            // receive nothing, answer nothing
    void setAnswerDelay(std::chrono::milliseconds delay); // answer late
    void setSplitReplies(bool on);                      // each reply in two datagrams
    void dropReplies(int count);                        // the next `count` replies are not sent
    void setIdentitySerial(std::optional<std::string> serial);  // answer [ID] with another serial
    void setRefuseAssociation(bool on);
    // Answers this word with these replies instead (none: no answer), each after its delay.
    void overrideReply(const std::string& word, std::vector<Reply> replies);
    void clearOverrides();
    void restart();                                     // forget association and enabling
    // Bytes sent as they are, from the unit's address to the last sender; false when
    // nobody has sent anything yet.
    bool sendToLastSender(const std::string& bytes);

private:
    struct Listening;
    void receiveOn(const std::shared_ptr<Listening>& socket);
    void onDatagram(const std::string& text, const boost::asio::ip::udp::endpoint& from, const std::string& to);
    void reply(const Reply& reply, const boost::asio::ip::udp::endpoint& to);
    void sendNow(std::string bytes, const boost::asio::ip::udp::endpoint& to);

    const Options options_;
    halvex::platform::IoThread ioThread_;
    boost::asio::io_context& io_ = ioThread_.context();
    std::vector<std::shared_ptr<Listening>> sockets_;  // [0] is the unit's own address
    std::set<std::shared_ptr<boost::asio::steady_timer>> timers_;  // I/O thread only
    bool started_ = false;

    // Guards everything below; never held while calling the listener.
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    UnitModel model_;
    std::deque<ReceivedDatagram> datagrams_;
    std::optional<boost::asio::ip::udp::endpoint> lastSender_;
    bool silent_ = false;
    bool split_ = false;
    int dropReplies_ = 0;
    std::chrono::milliseconds answerDelay_{0};
    Listener listener_;
};

// True for a dotted IPv4 text inside 127.0.0.0/8.
bool isLoopbackAddress(const std::string& address);

// The compact line of one datagram: "<from> -> <n> chars: HR 72, SBP 120, ABP x6".
std::string compactLine(const ReceivedDatagram& datagram);

}  // namespace halvex::emulators::unit_v22
