#pragma once

// A stand-in for the JSON unit: a TCP server on a loopback address that reads the
// bridge's frames, keeps what they carry (UnitStore), answers CalListRequest and
// StatusRequest, and misbehaves on demand for tests.
//
// Threads:
//   caller   constructs, calls start/stop and the hooks below; every hook is
//            thread-safe and only posts work to the I/O thread or reads state
//            under the lock.
//   I/O      one thread running the io_context: accepts, reads, writes, timers.
//            It alone touches the acceptor and the sockets. The message listener
//            runs on it, after the lock is released: it must not block for long
//            and must not call stop().
//
// One connection at a time: a new connection replaces (closes) the current one,
// and each connection starts with a fresh frame reader, so half a frame of a dead
// connection never leaks into the next.

#include <boost/asio.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "emulators/unit_json/frame.h"
#include "emulators/unit_json/unit_store.h"
#include "platform/io_thread.h"

namespace halvex::emulators::unit_json {

constexpr unsigned short kDefaultUnitPort = 14997;
// Frames kept for framesReceived(); older ones are dropped (and counted) so a
// long run does not grow without bound.
constexpr std::size_t kDefaultKeptFrames = 20000;
// Bytes kept for bytesReceived(); older ones are dropped.
constexpr std::size_t kDefaultKeptBytes = 4 * 1024 * 1024;

struct ReceivedFrame {
    Clock::time_point at;
    std::uint64_t connection = 0; // 1 for the first accepted connection
    Frame frame;
    std::string messageType; // empty when undecodable
    monitor::Received values; // the numerics and samples it carried, at `at`
};

class UnitEmulator {
public:
    using Listener = std::function<void(const ReceivedFrame&, const std::string& line)>;

    // Only loopback addresses are accepted (std::invalid_argument otherwise).
    explicit UnitEmulator(const std::string& address = "127.0.0.1",
                          unsigned short port = kDefaultUnitPort,
                          std::size_t keptFrames = kDefaultKeptFrames);
    ~UnitEmulator();
    UnitEmulator(const UnitEmulator&) = delete;
    UnitEmulator& operator=(const UnitEmulator&) = delete;

    // Binds and starts the I/O thread; throws boost::system::system_error when the
    // address cannot be bound. Port 0 picks a free port (see port()).
    void start();
    // Closes everything and joins the I/O thread. Idempotent; the destructor calls it.
    void stop();

    unsigned short port() const { return port_; }
    const std::string& address() const { return address_; }

    // Called on the I/O thread for every frame, with the compact line.
    void setListener(Listener listener);

    // --- what was received ---
    UnitStats snapshot() const;
    std::vector<ReceivedFrame> framesReceived() const;
    std::uint64_t framesDropped() const;
    bool connected() const;
    // Waits until `count` messages of `type` have arrived in total.
    bool waitForMessage(const std::string& type, std::uint64_t count,
                        std::chrono::milliseconds timeout) const;
    // Waits until `count` connections have been accepted in total.
    bool waitForConnections(std::uint64_t count, std::chrono::milliseconds timeout) const;
    // Waits until `count` frames have arrived in total.
    bool waitForFrames(std::uint64_t count, std::chrono::milliseconds timeout) const;
    // Every byte received, of all connections in order, as on the wire (the last
    // kDefaultKeptBytes of them).
    std::string bytesReceived() const;

    // --- misbehaviour on demand ---
    void closeConnection();                    // drop the current connection now
    void stall();                              // read, but hold what arrives until release()
    void stallFor(std::chrono::milliseconds d); // stop reading for a while
    void release();
    // Accept connections and never read from them, the current one included: the
    // peer's writes fill the socket buffers until its writes block. Off again with
    // false (reading resumes).
    void setNeverRead(bool on);
    // Reset the current connection (RST): the peer's next writes fail at once.
    void resetConnection();
    // Read requests but never answer them.
    void setSilent(bool on);
    // WifiCredentials fail to join the network: the next NetworkStatusData says so.
    void setWifiJoins(bool on);
    void setAnswerDelay(std::chrono::milliseconds d); // answer requests late
    // Bytes written in the same write just before the next answer (e.g. another
    // frame, so two frames arrive in one read).
    void prependToNextAnswer(std::string raw);
    // The next answer's length field announces its size plus `delta`.
    void misstateNextAnswerLength(int delta);
    // Unsolicited writes to the current connection; false when there is none.
    bool sendFrames(const std::vector<std::string>& jsonTexts); // all in one write
    bool sendRaw(std::string bytes);
    // Once: at the n-th message of this MessageType from now (counted from 1), after
    // keeping it, drop the connection or leave its answer out.
    enum class Fault { Drop, Silence };
    void faultAtMessage(Fault fault, const std::string& messageType, int n);
    void refuseConnections(); // close the listener: connection attempts are refused
    void acceptConnections(); // listen again on the same port

private:
    struct Connection;
    void openAcceptor();
    void doAccept();
    void doRead(const std::shared_ptr<Connection>& c);
    void onBytes(const std::shared_ptr<Connection>& c, const char* data, std::size_t n);
    void sendAnswer(const std::shared_ptr<Connection>& c, const std::string& json);
    void write(const std::shared_ptr<Connection>& c, std::string bytes);
    void doWrite(const std::shared_ptr<Connection>& c);
    void closeCurrent(bool reset = false);
    void resumeReading();

    const std::string address_;
    unsigned short port_;
    const std::size_t keptFrames_;

    halvex::platform::IoThread ioThread_;
    boost::asio::io_context& io_ = ioThread_.context();
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer stallTimer_;
    std::set<std::shared_ptr<boost::asio::steady_timer>> answerTimers_; // I/O thread only
    std::shared_ptr<Connection> current_; // I/O thread only
    bool stalled_ = false;                 // I/O thread only
    bool neverRead_ = false;               // I/O thread only
    bool started_ = false;

    // Guards everything below; never held while calling the listener.
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    UnitStore store_;
    std::deque<ReceivedFrame> frames_;
    std::uint64_t framesDropped_ = 0;
    bool isConnected_ = false;
    std::chrono::milliseconds answerDelay_{0};
    std::string prependNext_;
    int misstateNext_ = 0;
    bool silent_ = false;
    struct PlannedFault {
        Fault fault;
        std::string messageType;
        int left;
    };
    std::optional<PlannedFault> plannedFault_;
    std::string bytes_;
    Listener listener_;
};

// True for a dotted IPv4 text inside 127.0.0.0/8.
bool isLoopbackAddress(const std::string& address);

} // namespace halvex::emulators::unit_json
