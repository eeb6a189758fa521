#pragma once
// SimServerEmulator: a stand-in for the patient-simulator server, serving the SIM and
// the APP protocol on loopback, for tests and demos of the bridge.
//
// Threads (actors):
//   - the caller's threads: start/stop, the hooks below. Every hook is safe to call
//     from any thread while the server runs.
//   - one I/O thread of its own (started by start(), joined by stop() and by the
//     destructor): accepts connections, reads and answers requests, writes updates.
//     All socket work happens there; hooks that touch connections post work to it.
//
// The event sink (one line per client event) runs on the I/O thread with no lock
// held; it should be short and must not block. Hooks called from it run inline.
//
// The host of the server: accept, I/O, connection control and the misbehaviour cues.
// What the server answers and its state are the Responder's (responder.h), the record
// of received frames the FrameLog's (frame_log.h).

#include <boost/asio.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "emulators/sim_server/frame_log.h"
#include "emulators/sim_server/responder.h"
#include "emulators/sim_server/wire.h"
#include "platform/io_thread.h"

namespace halvex::emulators::sim_server {

class SimServerEmulator {
public:
    struct Options {
        std::string address = "127.0.0.1";  // must be in 127.0.0.0/8
        std::uint16_t simPort = 0;           // 0 = ephemeral
        std::uint16_t appPort = 0;
        std::vector<Parameter> parameters;
        std::uint32_t simulatorId = 1;
        std::string versionText = "Sim server emulator 1.0";
        std::uint32_t protocolVersion = 2;
        PatientInfo patient;
        std::uint32_t appPublishMode = 0;    // publish mode of APP updates
    };

    using EventSink = std::function<void(const std::string&)>;

    explicit SimServerEmulator(Options options);
    ~SimServerEmulator();
    SimServerEmulator(const SimServerEmulator&) = delete;
    SimServerEmulator& operator=(const SimServerEmulator&) = delete;

    // Set before start(); receives one line per client event.
    void setEventSink(EventSink sink);

    // Binds both listeners and starts the I/O thread. False, with a reason, when the
    // address is not loopback or a port cannot be bound.
    bool start(std::string* error = nullptr);
    // Closes every connection and listener and joins the I/O thread. Idempotent.
    void stop();

    std::uint16_t simPort() const;
    std::uint16_t appPort() const;

    // --- the simulated values -------------------------------------------------------
    // Sets one value and sends one update to each connection that subscribed it.
    // False for an id the server does not offer or an integer value out of range.
    bool setValue(const std::string& id, double value);
    // Sets several values; each connection gets one update message carrying the
    // entries it subscribed (an id may appear several times, e.g. waveform samples).
    // False, and nothing is changed, when any entry is refused.
    bool setValues(const std::vector<std::pair<std::string, double>>& values);
    std::optional<double> value(const std::string& id) const;
    std::optional<Parameter> parameter(const std::string& id) const;
    std::optional<std::uint32_t> serverId(const std::string& id) const;

    // --- what the server announces -------------------------------------------------
    void setSimulatorId(std::uint32_t id);
    void setPatient(const PatientInfo& patient);  // reported by later patient lists
    PatientInfo patient() const;
    void setAppPublishMode(std::uint32_t mode);
    // With auto-reply off, requests are recorded but not answered (time-out tests).
    void setAutoReply(bool on);

    // --- SCE life, sent to every APP connection --------------------------------------
    // Also updates the patient model: Started makes sceId the started SCE, Paused sets
    // speed 0, Speed sets the speed, Ended leaves no patient and forgets the APP
    // subscriptions (clients subscribe again when the next SCE starts).
    void sendSceEvent(SceEvent event, std::uint32_t sceId, std::uint32_t status = 1,
                      std::uint32_t patientId = 0, float speed = 0.0f);
    // 0x0102; with a status the payload is 28 bytes long, without it 24.
    void sendSceAnnouncement(std::uint32_t patientId, std::uint32_t sceId,
                             std::optional<std::uint32_t> status = std::nullopt);
    void sendSceEndNotice(std::uint32_t sceId, std::uint32_t error = 0);                 // 0x0103
    void sendSceDetail(std::uint32_t patientId, std::uint32_t detail, std::uint32_t sceId,
                       std::uint32_t status = 1);                                       // 0x0150

    // --- misbehaviour ---------------------------------------------------------------
    // Writes bytes as they are (a whole frame, half a frame, garbage) to every
    // connection of the protocol.
    void sendRaw(Protocol protocol, const Bytes& bytes);
    // Frames a payload (kind 1 or 2) and sends it to every connection of the protocol.
    void sendPayload(Protocol protocol, int kind, const Bytes& payload);

    // --- connections ----------------------------------------------------------------
    void dropConnections();   // closes every client connection; returns when done
    // Once: the next connection of the protocol that reaches its n-th frame (counted
    // from 1, flow control included) is closed on it, before it is answered; 0 clears.
    void dropAtFrame(Protocol protocol, std::size_t n);
    bool stopAccepting();     // closes both listeners: new connections are refused
    bool resumeAccepting();   // listens again on the same ports
    std::size_t connectionCount(Protocol protocol) const;
    bool waitForConnections(Protocol protocol, std::size_t count, std::chrono::milliseconds timeout) const;

    // --- received frames --------------------------------------------------------------
    // Frames are numbered from 0 in arrival order; the oldest are forgotten beyond
    // kMaxRecordedFrames, their numbers are not reused.
    static constexpr std::size_t kMaxRecordedFrames = FrameLog::kMaxFrames;
    std::size_t frameCount() const;  // number of the next frame to arrive
    std::vector<ReceivedFrame> frames() const;
    // The waits below run `match` under the log's lock: it must not call the server.
    // First frame numbered from `from` on that matches, waiting up to `timeout`.
    std::optional<ReceivedFrame> waitForFrame(const std::function<bool(const ReceivedFrame&)>& match,
                                              std::chrono::milliseconds timeout, std::size_t from = 0) const;
    // Waits up to `timeout` until at least `count` recorded frames match; the number
    // that match when the wait ends.
    std::size_t waitForFrameCount(const std::function<bool(const ReceivedFrame&)>& match, std::size_t count,
                                  std::chrono::milliseconds timeout) const;

private:
    struct Connection;
    using ConnectionPtr = std::shared_ptr<Connection>;
    struct Listener;

    // I/O thread only.
    void startAccept(Listener& listener);
    void readHeader(const ConnectionPtr& c);
    void readPayload(const ConnectionPtr& c);
    void handleFrame(const ConnectionPtr& c, int kind);
    void send(const ConnectionPtr& c, Bytes frame);
    void writeNext(const ConnectionPtr& c);
    void closeConnection(const ConnectionPtr& c, const std::string& why);
    void sendToAll(Protocol protocol, const Bytes& frame);
    void sendUpdates(const Responder::Entries& entries, Protocol protocol);
    void appSubscriptionsEnded();
    bool openListener(Listener& listener, std::string* error);
    void event(const std::string& line);

    // Runs fn on the I/O thread and waits (bounded) for it; inline when already there.
    void runOnIo(const std::function<void()>& fn);
    void post(std::function<void()> fn);

    const Options options_;
    EventSink sink_;
    Responder responder_;
    FrameLog log_;

    // Keeps running while nothing is pending (listeners closed, no clients).
    halvex::platform::IoThread ioThread_;
    boost::asio::io_context& io_ = ioThread_.context();
    std::unique_ptr<Listener> simListener_;
    std::unique_ptr<Listener> appListener_;
    std::map<int, ConnectionPtr> connections_;  // I/O thread only
    int nextConnection_ = 1;                     // I/O thread only
    bool started_ = false;                       // caller's side: start/stop

    // Guards everything below. Never held while calling the sink or touching sockets.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool autoReply_ = true;
    std::optional<std::pair<Protocol, std::size_t>> dropAt_;
    std::size_t simConnections_ = 0;
    std::size_t appConnections_ = 0;
};

}  // namespace halvex::emulators::sim_server
