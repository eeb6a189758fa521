#include "emulators/sim_server/sim_server_emulator.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <sstream>

namespace halvex::emulators::sim_server {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr auto kIoCallTimeout = std::chrono::seconds(5);

// The responder's view of the server's settings.
Responder::Settings settingsOf(const SimServerEmulator::Options& o) {
    Responder::Settings s;
    s.parameters = o.parameters;
    s.simulatorId = o.simulatorId;
    s.versionText = o.versionText;
    s.protocolVersion = o.protocolVersion;
    s.patient = o.patient;
    s.appPublishMode = o.appPublishMode;
    return s;
}

}  // namespace

struct SimServerEmulator::Listener {
    explicit Listener(asio::io_context& io, Protocol p) : acceptor(io), protocol(p) {}
    tcp::acceptor acceptor;
    Protocol protocol;
    std::uint16_t port = 0;  // chosen at the first bind, kept for resumeAccepting
};

struct SimServerEmulator::Connection {
    Connection(tcp::socket s, Protocol p, int n) : socket(std::move(s)), protocol(p), number(n), client(p) {}
    tcp::socket socket;
    Protocol protocol;
    int number;
    Responder::Client client;  // what it subscribed
    bool open = true;
    std::array<std::uint8_t, kFrameHeaderSize> header{};
    Bytes payload;
    std::deque<Bytes> outgoing;
    std::size_t framesIn = 0;
};

SimServerEmulator::SimServerEmulator(Options options)
    : options_(std::move(options)),
      responder_(settingsOf(options_)),
      // A handler that throws must not end the process; report it and carry on.
      ioThread_([this](const std::string& what) { event("emulator error: " + what); }),
      simListener_(std::make_unique<Listener>(io_, Protocol::Sim)),
      appListener_(std::make_unique<Listener>(io_, Protocol::App)) {}

SimServerEmulator::~SimServerEmulator() { stop(); }

void SimServerEmulator::setEventSink(EventSink sink) { sink_ = std::move(sink); }

bool SimServerEmulator::start(std::string* error) {
    if (started_) {
        if (error) *error = "already started";
        return false;
    }
    boost::system::error_code ec;
    const auto address = asio::ip::make_address_v4(options_.address, ec);
    if (ec || (address.to_uint() >> 24) != 127) {
        if (error) *error = "address " + options_.address + " is not a loopback address (127.0.0.0/8)";
        return false;
    }
    simListener_->port = options_.simPort;
    appListener_->port = options_.appPort;
    if (!openListener(*simListener_, error) || !openListener(*appListener_, error)) {
        simListener_->acceptor.close(ec);
        appListener_->acceptor.close(ec);
        return false;
    }
    startAccept(*simListener_);
    startAccept(*appListener_);
    if (!ioThread_.start()) {
        if (error) *error = "cannot start the I/O thread";
        simListener_->acceptor.close(ec);
        appListener_->acceptor.close(ec);
        return false;
    }
    started_ = true;
    return true;
}

void SimServerEmulator::stop() {
    if (!started_) return;
    started_ = false;
    runOnIo([this] {
        boost::system::error_code ec;
        simListener_->acceptor.close(ec);
        appListener_->acceptor.close(ec);
        auto all = connections_;
        for (auto& [n, c] : all) closeConnection(c, "disconnected");
    });
    ioThread_.stop();
}

bool SimServerEmulator::openListener(Listener& l, std::string* error) {
    boost::system::error_code ec;
    const tcp::endpoint ep(asio::ip::make_address_v4(options_.address), l.port);
    l.acceptor.open(ep.protocol(), ec);
    if (!ec) l.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) l.acceptor.bind(ep, ec);
    if (!ec) l.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) l.port = l.acceptor.local_endpoint(ec).port();
    if (ec) {
        if (error)
            *error = std::string("cannot listen for ") + protocolName(l.protocol) + " on " + options_.address + ":" +
                     std::to_string(l.port) + ": " + ec.message();
        boost::system::error_code ignored;
        l.acceptor.close(ignored);
        return false;
    }
    return true;
}

std::uint16_t SimServerEmulator::simPort() const { return simListener_->port; }
std::uint16_t SimServerEmulator::appPort() const { return appListener_->port; }

void SimServerEmulator::event(const std::string& line) {
    if (sink_) sink_(line);
}

void SimServerEmulator::post(std::function<void()> fn) { asio::post(io_, std::move(fn)); }

void SimServerEmulator::runOnIo(const std::function<void()>& fn) {
    if (io_.get_executor().running_in_this_thread()) {
        fn();
        return;
    }
    if (!ioThread_.running() || io_.stopped()) return;
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> f = done->get_future();
    post([fn, done] {
        fn();
        done->set_value();
    });
    f.wait_for(kIoCallTimeout);
}

// --- connections ------------------------------------------------------------------

void SimServerEmulator::startAccept(Listener& l) {
    l.acceptor.async_accept([this, &l](const boost::system::error_code& ec, tcp::socket socket) {
        if (ec) {
            // Closed listener: stop accepting until resumeAccepting opens it again.
            if (ec == asio::error::operation_aborted || !l.acceptor.is_open()) return;
            startAccept(l);
            return;
        }
        boost::system::error_code pec;
        const auto peer = socket.remote_endpoint(pec);
        auto c = std::make_shared<Connection>(std::move(socket), l.protocol, nextConnection_++);
        connections_[c->number] = c;
        {
            std::lock_guard<std::mutex> g(mutex_);
            ++(l.protocol == Protocol::Sim ? simConnections_ : appConnections_);
        }
        changed_.notify_all();
        std::ostringstream line;
        line << protocolName(l.protocol) << " client connected from ";
        if (pec)
            line << "an unknown address";
        else
            line << peer.address().to_string() << ":" << peer.port();
        event(line.str());
        readHeader(c);
        startAccept(l);
    });
}

void SimServerEmulator::closeConnection(const ConnectionPtr& c, const std::string& why) {
    if (!c->open) return;
    c->open = false;
    boost::system::error_code ec;
    c->socket.shutdown(tcp::socket::shutdown_both, ec);
    c->socket.close(ec);
    connections_.erase(c->number);
    {
        std::lock_guard<std::mutex> g(mutex_);
        --(c->protocol == Protocol::Sim ? simConnections_ : appConnections_);
    }
    changed_.notify_all();
    event(std::string(protocolName(c->protocol)) + " client " + why);
}

void SimServerEmulator::readHeader(const ConnectionPtr& c) {
    asio::async_read(c->socket, asio::buffer(c->header), [this, c](const boost::system::error_code& ec, std::size_t) {
        if (!c->open) return;
        if (ec) {
            closeConnection(c, "disconnected");
            return;
        }
        const FrameHeader h = parseFrameHeader(c->header.data());
        if (h.totalLength <= kFrameHeaderSize || h.totalLength > kMaxFrameLength) {
            closeConnection(c, "sent an invalid frame (length " + std::to_string(h.totalLength) +
                                   "); disconnected");
            return;
        }
        c->payload.assign(h.totalLength - kFrameHeaderSize, 0);
        readPayload(c);
    });
}

void SimServerEmulator::readPayload(const ConnectionPtr& c) {
    asio::async_read(c->socket, asio::buffer(c->payload), [this, c](const boost::system::error_code& ec, std::size_t) {
        if (!c->open) return;
        if (ec) {
            closeConnection(c, "disconnected");
            return;
        }
        handleFrame(c, parseFrameHeader(c->header.data()).kind);
        if (c->open) readHeader(c);
    });
}

void SimServerEmulator::send(const ConnectionPtr& c, Bytes frame) {
    if (!c->open) return;
    c->outgoing.push_back(std::move(frame));
    if (c->outgoing.size() == 1) writeNext(c);
}

void SimServerEmulator::writeNext(const ConnectionPtr& c) {
    asio::async_write(c->socket, asio::buffer(c->outgoing.front()),
                      [this, c](const boost::system::error_code& ec, std::size_t) {
                          if (!c->open) return;
                          if (ec) {
                              closeConnection(c, "disconnected");
                              return;
                          }
                          c->outgoing.pop_front();
                          if (!c->outgoing.empty()) writeNext(c);
                      });
}

void SimServerEmulator::sendToAll(Protocol protocol, const Bytes& frame) {
    auto all = connections_;  // a failed write may close (and erase) a connection
    for (auto& [n, c] : all)
        if (c->protocol == protocol) send(c, frame);
}

void SimServerEmulator::dropConnections() {
    runOnIo([this] {
        auto all = connections_;
        for (auto& [n, c] : all) closeConnection(c, "dropped by the server");
    });
}

bool SimServerEmulator::stopAccepting() {
    // Shared, not a reference to a local: a timed-out call may still run later.
    auto ok = std::make_shared<std::atomic<bool>>(false);
    runOnIo([this, ok] {
        boost::system::error_code ec;
        simListener_->acceptor.close(ec);
        appListener_->acceptor.close(ec);
        *ok = true;
        event("listeners closed: new connections are refused");
    });
    return *ok;
}

bool SimServerEmulator::resumeAccepting() {
    auto result = std::make_shared<std::atomic<bool>>(false);
    runOnIo([this, result] {
        std::string error;
        bool ok = true;
        for (Listener* l : {simListener_.get(), appListener_.get()}) {
            if (l->acceptor.is_open()) continue;
            if (openListener(*l, &error)) {
                startAccept(*l);
            } else {
                event(error);
                ok = false;
            }
        }
        if (ok) event("listening again");
        *result = ok;
    });
    return *result;
}

std::size_t SimServerEmulator::connectionCount(Protocol protocol) const {
    std::lock_guard<std::mutex> g(mutex_);
    return protocol == Protocol::Sim ? simConnections_ : appConnections_;
}

void SimServerEmulator::dropAtFrame(Protocol protocol, std::size_t n) {
    std::lock_guard<std::mutex> g(mutex_);
    if (n == 0)
        dropAt_.reset();
    else
        dropAt_.emplace(protocol, n);
}

bool SimServerEmulator::waitForConnections(Protocol protocol, std::size_t count,
                                           std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> g(mutex_);
    return changed_.wait_for(g, timeout, [&] {
        return (protocol == Protocol::Sim ? simConnections_ : appConnections_) == count;
    });
}

// --- received frames ----------------------------------------------------------------

std::size_t SimServerEmulator::frameCount() const { return log_.count(); }

std::vector<ReceivedFrame> SimServerEmulator::frames() const { return log_.frames(); }

std::optional<ReceivedFrame> SimServerEmulator::waitForFrame(const std::function<bool(const ReceivedFrame&)>& match,
                                                             std::chrono::milliseconds timeout,
                                                             std::size_t from) const {
    return log_.waitFor(match, timeout, from);
}

std::size_t SimServerEmulator::waitForFrameCount(const std::function<bool(const ReceivedFrame&)>& match,
                                                std::size_t count, std::chrono::milliseconds timeout) const {
    return log_.waitForCount(match, count, timeout);
}

// --- requests -------------------------------------------------------------------------

void SimServerEmulator::handleFrame(const ConnectionPtr& c, int kind) {
    bool reply;
    bool drop = false;
    ++c->framesIn;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (dropAt_ && dropAt_->first == c->protocol && dropAt_->second == c->framesIn) {
            drop = true;
            dropAt_.reset();
        }
        reply = autoReply_;
    }
    log_.record(describeFrame(c->protocol, c->number, kind, c->payload));
    if (drop) {
        closeConnection(c, "dropped at its frame " + std::to_string(c->framesIn));
        return;
    }
    if (!reply) return;
    Responder::Answer answer = responder_.answer(c->client, kind, c->payload);
    for (Bytes& frame : answer.frames) send(c, std::move(frame));
    if (!answer.event.empty()) event(answer.event);
}

// --- values ---------------------------------------------------------------------------

bool SimServerEmulator::setValue(const std::string& id, double v) { return setValues({{id, v}}); }

bool SimServerEmulator::setValues(const std::vector<std::pair<std::string, double>>& values) {
    std::optional<Responder::Changes> changes = responder_.setValues(values);
    if (!changes) return false;
    post([this, changes = std::move(*changes)] {
        if (!changes.sim.empty()) sendUpdates(changes.sim, Protocol::Sim);
        if (!changes.app.empty()) sendUpdates(changes.app, Protocol::App);
    });
    return true;
}

void SimServerEmulator::sendUpdates(const Responder::Entries& entries, Protocol protocol) {
    auto all = connections_;  // a failed write may close (and erase) a connection
    for (auto& [n, c] : all) {
        if (c->protocol != protocol) continue;
        if (std::optional<Bytes> frame = responder_.update(c->client, entries)) send(c, std::move(*frame));
    }
}

std::optional<double> SimServerEmulator::value(const std::string& id) const {
    auto p = parameter(id);
    if (!p) return std::nullopt;
    return p->value;
}

std::optional<Parameter> SimServerEmulator::parameter(const std::string& id) const {
    return responder_.parameter(id);
}

std::optional<std::uint32_t> SimServerEmulator::serverId(const std::string& id) const {
    return responder_.serverId(id);
}

void SimServerEmulator::setSimulatorId(std::uint32_t id) { responder_.setSimulatorId(id); }

void SimServerEmulator::setPatient(const PatientInfo& pi) { responder_.setPatient(pi); }

PatientInfo SimServerEmulator::patient() const { return responder_.patient(); }

void SimServerEmulator::setAppPublishMode(std::uint32_t mode) { responder_.setAppPublishMode(mode); }

void SimServerEmulator::setAutoReply(bool on) {
    std::lock_guard<std::mutex> g(mutex_);
    autoReply_ = on;
}

// --- SCE life -------------------------------------------------------------------------

void SimServerEmulator::sendSceEvent(SceEvent ev, std::uint32_t sceId, std::uint32_t status, std::uint32_t patientId,
                                     float speed) {
    Responder::SceNotice notice = responder_.sceEvent(ev, sceId, status, patientId, speed);
    post([this, notice = std::move(notice)] {
        sendToAll(Protocol::App, notice.frame);
        if (notice.ended) appSubscriptionsEnded();
    });
}

void SimServerEmulator::appSubscriptionsEnded() {
    for (auto& [n, c] : connections_)
        if (c->protocol == Protocol::App) Responder::forget(c->client);
}

void SimServerEmulator::sendSceAnnouncement(std::uint32_t patientId, std::uint32_t sceId,
                                            std::optional<std::uint32_t> status) {
    sendRaw(Protocol::App, Responder::sceAnnouncement(patientId, sceId, status));
}

void SimServerEmulator::sendSceEndNotice(std::uint32_t sceId, std::uint32_t error) {
    sendRaw(Protocol::App, Responder::sceEndNotice(sceId, error));
}

void SimServerEmulator::sendSceDetail(std::uint32_t patientId, std::uint32_t detail, std::uint32_t sceId,
                                      std::uint32_t status) {
    sendRaw(Protocol::App, Responder::sceDetail(patientId, detail, sceId, status));
}

void SimServerEmulator::sendRaw(Protocol protocol, const Bytes& bytes) {
    post([this, protocol, bytes] { sendToAll(protocol, bytes); });
}

void SimServerEmulator::sendPayload(Protocol protocol, int kind, const Bytes& payload) {
    sendRaw(protocol, kind == KindFlowControl ? frameFlowControl(payload) : frameApplication(payload));
}

}  // namespace halvex::emulators::sim_server
