#pragma once

// The virtual monitor of a unit stand-in: a small web server on a loopback address
// that serves one static page (assets.h) and, over a WebSocket at /live, what the
// unit has received: its numerics and the ABP, PAP, CVP, pleth and CO2 samples, at
// the rate they arrive, as a bedside monitor would show them.
//
// Threads:
//   unit I/O   calls received() for every frame or datagram: the values are mapped
//              to monitor channels and queued under the lock, nothing else.
//   monitor    one thread of its own running the io_context (started by start(),
//              joined by stop() and the destructor): HTTP, WebSocket sessions and a
//              timer that every kPushPeriod sends one update to each session.
//
// A session that does not keep up (more than kMaxQueuedUpdates unsent) is closed; a
// request is read within kRequestTimeout or the connection is closed. Samples are
// queued between two pushes up to kMaxQueuedSamples per wave; older ones are dropped.

#include <boost/asio.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "emulators/monitor/received.h"
#include "platform/io_thread.h"

namespace halvex::emulators::monitor {

constexpr std::chrono::milliseconds kPushPeriod{100};
// A wave that sent nothing for this long is shown as stopped.
constexpr std::chrono::milliseconds kStoppedAfter{1000};
// The rate shown is that of the samples received over this window.
constexpr std::chrono::milliseconds kRateWindow{3000};
constexpr std::size_t kMaxQueuedSamples = 2000;
constexpr std::size_t kMaxQueuedUpdates = 50;
constexpr std::chrono::seconds kRequestTimeout{10};
constexpr std::size_t kMaxRequestBytes = 8192;

// The monitor's channels, in display order.
const std::vector<std::string>& numericChannels();  // hr sbp dbp mbp spo2 rr etco2 t1 t2 ...
const std::vector<std::string>& waveChannels();     // abp pap cvp pleth co2

// The unit's names for the monitor's channels.
using ChannelMap = std::map<std::string, std::string>;  // unit name -> channel
const ChannelMap& jsonUnitChannels();                   // VitalsData and WaveformData keys
const ChannelMap& v22UnitChannels();                    // v2.2 command words

// "PORT" or "ADDRESS:PORT"; the address defaults to 127.0.0.1 and must lie in
// 127.0.0.0/8. False with a reason otherwise.
bool parseHttpAddress(const std::string& text, std::string& address, unsigned short& port, std::string& error);

class MonitorServer : public ReceivedSink {
public:
    // `unitName` heads the page ("JSON unit", "Halvex v2.2 unit"). Only loopback
    // addresses are accepted (std::invalid_argument).
    MonitorServer(std::string address, unsigned short port, ChannelMap channels, std::string unitName);
    ~MonitorServer() override;
    MonitorServer(const MonitorServer&) = delete;
    MonitorServer& operator=(const MonitorServer&) = delete;

    // Binds and starts the thread; boost::system::system_error when the address
    // cannot be bound. Port 0 picks a free port (see port()).
    void start();
    void stop();  // idempotent
    unsigned short port() const { return port_; }
    std::string url() const;

    void received(const Received& values) override;

    // The text of the next update as sessions would get it, for tests; it takes the
    // queued samples like a push does.
    std::string takeUpdate();
    std::size_t sessions() const;

private:
    struct WaveState {
        std::vector<double> queued;            // since the last push
        std::deque<std::pair<Clock::time_point, std::size_t>> arrivals;  // within kRateWindow
        std::optional<Clock::time_point> last;
        std::uint64_t total = 0;
        std::uint64_t dropped = 0;
    };
    class HttpSession;
    class LiveSession;

    void doAccept();
    void schedulePush();
    void push();
    std::string buildUpdate(Clock::time_point now);

    const std::string address_;
    unsigned short port_;
    const ChannelMap channels_;
    const std::string unitName_;

    halvex::platform::IoThread ioThread_;
    boost::asio::io_context& io_ = ioThread_.context();
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer pushTimer_;
    std::set<std::shared_ptr<LiveSession>> live_;  // monitor thread only
    std::set<std::weak_ptr<HttpSession>, std::owner_less<std::weak_ptr<HttpSession>>> http_;  // monitor thread only
    bool started_ = false;

    mutable std::mutex lock_;  // guards everything below
    std::map<std::string, std::string> numerics_;
    std::map<std::string, WaveState> waves_;
    std::size_t sessionCount_ = 0;
};

}  // namespace halvex::emulators::monitor
