#include "emulators/sim_server/sim_server_emulator.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>
#include <limits>
#include <set>
#include <sstream>

namespace halvex_emu {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// SIM message types.
constexpr std::uint16_t kSimSubscribeInputs = 0x0001;
constexpr std::uint16_t kSimUnsubscribeInputs = 0x0004;
constexpr std::uint16_t kSimServerInfo = 0x0006;
constexpr std::uint16_t kSimUpdate = 0x0003;
constexpr std::uint16_t kSimInputReply = 0x0101;
constexpr std::uint16_t kSimInfoReply = 0x0106;

// APP message types, by service.
constexpr std::uint8_t kAppServiceSession = 1;
constexpr std::uint8_t kAppServiceParameters = 2;
constexpr std::uint8_t kAppServiceEvents = 3;
constexpr std::uint16_t kAppPatientListRequest = 0x0001;
constexpr std::uint16_t kAppPatientList = 0x0002;
constexpr std::uint16_t kAppSubscribeAllEvents = 0x0020;
constexpr std::uint16_t kAppSubscribeInputs = 0x0006;
constexpr std::uint16_t kAppUnsubscribeInputs = 0x0014;
constexpr std::uint16_t kAppVersionRequest = 0x0051;
constexpr std::uint16_t kAppUpdate = 0x0008;
constexpr std::uint16_t kAppInputReply = 0x0106;
constexpr std::uint16_t kAppAnnouncement = 0x0102;
constexpr std::uint16_t kAppEndNotice = 0x0103;
constexpr std::uint16_t kAppDetailNotice = 0x0150;
constexpr std::uint16_t kAppVersionReply = 0x0151;

// Entry sizes of the subscription requests the server reads.
constexpr std::size_t kSimInputEntry = 44;
constexpr std::size_t kAppInputEntry = 40;

// The flow-control request starts with 0; the periodic message (3, ...) is not answered.
constexpr std::uint32_t kFlowControlRequestWord = 0;

// Server ids start here so that a client reading 0 or a small number by mistake does
// not hit a real parameter.
constexpr std::uint32_t kFirstServerId = 101;

constexpr auto kIoCallTimeout = std::chrono::seconds(5);

// How many entries of `size` bytes from `offset` the payload really holds, at most
// `count`: a count larger than the payload is not trusted.
std::size_t entriesPresent(const Bytes& payload, std::size_t offset, std::uint32_t count, std::size_t size) {
    if (payload.size() < offset) return 0;
    return std::min<std::size_t>(count, (payload.size() - offset) / size);
}

}  // namespace

const char* protocolName(Protocol p) { return p == Protocol::Sim ? "SIM" : "APP"; }

bool valueFits(const Parameter& p, double v) {
    if (p.isFloat) return true;
    return std::isfinite(v) && v == std::trunc(v) && v >= std::numeric_limits<std::int32_t>::min() &&
           v <= std::numeric_limits<std::int32_t>::max();
}

struct SimServerEmulator::Listener {
    explicit Listener(asio::io_context& io, Protocol p) : acceptor(io), protocol(p) {}
    tcp::acceptor acceptor;
    Protocol protocol;
    std::uint16_t port = 0;  // chosen at the first bind, kept for resumeAccepting
};

struct SimServerEmulator::Connection {
    Connection(tcp::socket s, Protocol p, int n) : socket(std::move(s)), protocol(p), number(n) {}
    tcp::socket socket;
    Protocol protocol;
    int number;
    bool open = true;
    std::array<std::uint8_t, kFrameHeaderSize> header{};
    Bytes payload;
    std::deque<Bytes> outgoing;
    std::set<std::uint32_t> subscribed;  // server ids
    std::size_t framesIn = 0;
};

SimServerEmulator::SimServerEmulator(Options options)
    : options_(std::move(options)),
      simListener_(std::make_unique<Listener>(io_, Protocol::Sim)),
      appListener_(std::make_unique<Listener>(io_, Protocol::App)),
      simulatorId_(options_.simulatorId),
      patient_(options_.patient),
      appPublishMode_(options_.appPublishMode) {
    std::uint32_t next = kFirstServerId;
    for (const Parameter& p : options_.parameters) {
        if (parameters_.count(p.id)) continue;  // the first definition of an id wins
        parameters_[p.id] = p;
        serverIds_[p.id] = next;
        idsByServerId_[next] = p.id;
        ++next;
    }
}

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
    started_ = true;
    work_.emplace(io_.get_executor());
    ioThread_ = std::thread([this] {
        // A handler that throws must not end the process; report it and carry on.
        for (;;) {
            try {
                io_.run();
                return;
            } catch (const std::exception& e) {
                event(std::string("emulator error: ") + e.what());
            }
        }
    });
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
    work_.reset();
    io_.stop();
    if (ioThread_.joinable()) ioThread_.join();
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
    if (!ioThread_.joinable() || io_.stopped()) return;
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

std::size_t SimServerEmulator::frameCount() const {
    std::lock_guard<std::mutex> g(mutex_);
    return firstFrame_ + frames_.size();
}

std::vector<ReceivedFrame> SimServerEmulator::frames() const {
    std::lock_guard<std::mutex> g(mutex_);
    return {frames_.begin(), frames_.end()};
}

std::optional<ReceivedFrame> SimServerEmulator::waitForFrame(const std::function<bool(const ReceivedFrame&)>& match,
                                                             std::chrono::milliseconds timeout,
                                                             std::size_t from) const {
    std::unique_lock<std::mutex> g(mutex_);
    std::optional<ReceivedFrame> found;
    std::size_t next = from;
    changed_.wait_for(g, timeout, [&] {
        for (next = std::max(next, firstFrame_); next < firstFrame_ + frames_.size(); ++next) {
            if (match(frames_[next - firstFrame_])) {
                found = frames_[next - firstFrame_];
                return true;
            }
        }
        return false;
    });
    return found;
}

std::size_t SimServerEmulator::waitForFrameCount(const std::function<bool(const ReceivedFrame&)>& match,
                                                std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> g(mutex_);
    std::size_t n = 0;
    changed_.wait_for(g, timeout, [&] {
        n = static_cast<std::size_t>(std::count_if(frames_.begin(), frames_.end(), match));
        return n >= count;
    });
    return n;
}

// --- requests -------------------------------------------------------------------------

void SimServerEmulator::handleFrame(const ConnectionPtr& c, int kind) {
    ReceivedFrame f;
    f.protocol = c->protocol;
    f.connection = c->number;
    f.kind = kind;
    f.payload = c->payload;
    if (kind == KindApplication && f.payload.size() >= kAppHeaderSize) {
        f.family = f.payload[0];
        f.service = f.payload[1];
        f.type = readU16(f.payload, 10);
    }
    bool reply;
    bool drop = false;
    ++c->framesIn;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (dropAt_ && dropAt_->first == c->protocol && dropAt_->second == c->framesIn) {
            drop = true;
            dropAt_.reset();
        }
        frames_.push_back(std::move(f));
        if (frames_.size() > kMaxRecordedFrames) {
            frames_.pop_front();
            ++firstFrame_;
        }
        reply = autoReply_;
    }
    changed_.notify_all();
    if (drop) {
        closeConnection(c, "dropped at its frame " + std::to_string(c->framesIn));
        return;
    }
    if (!reply) return;
    if (c->protocol == Protocol::Sim)
        handleSim(c);
    else
        handleApp(c, kind);
}

void SimServerEmulator::handleSim(const ConnectionPtr& c) {
    const Bytes& p = c->payload;
    if (p.size() < kAppHeaderSize || p[0] != kFamilySim || p[1] != 2) return;
    switch (readU16(p, 10)) {
        case kSimServerInfo: {
            std::uint32_t simId;
            {
                std::lock_guard<std::mutex> g(mutex_);
                simId = simulatorId_;
            }
            PayloadWriter w(kFamilySim, 2, kSimInfoReply);
            w.u32(simId << 16).text(options_.versionText, kVersionTextSize).u32(options_.protocolVersion).u32(1);
            send(c, frameApplication(w.finish()));
            event("SIM client asked for server information");
            break;
        }
        case kSimSubscribeInputs: subscribeSim(c); break;
        case kSimUnsubscribeInputs: unsubscribe(c); break;
        default: break;  // outputs and publishing are recorded only
    }
}

void SimServerEmulator::subscribeSim(const ConnectionPtr& c) {
    const Bytes& p = c->payload;
    const std::size_t n = entriesPresent(p, 20, readU32(p, 16), kSimInputEntry);
    std::uint32_t simId;
    std::size_t refused = 0;
    std::vector<Bytes> entries;
    {
        std::lock_guard<std::mutex> g(mutex_);
        simId = simulatorId_;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = 20 + i * kSimInputEntry;
            const std::string id = readText(p, at + 12, kIdFieldSize);
            auto it = parameters_.find(id);
            if (it == parameters_.end() || it->second.protocol != Protocol::Sim) {
                ++refused;
                continue;
            }
            const std::uint32_t sid = serverIds_.at(id);
            c->subscribed.insert(sid);
            const Parameter& par = it->second;
            PayloadWriter e;
            e.u32(sid).u32(readU32(p, at)).u32(readU32(p, at + 8));
            if (par.isFloat)
                e.u32(0).f32(static_cast<float>(par.value));
            else
                e.u32(1).u32(static_cast<std::uint32_t>(static_cast<std::int32_t>(par.value)));
            e.id32(id);
            entries.push_back(e.finish());
        }
    }
    PayloadWriter w(kFamilySim, 2, kSimInputReply);
    w.u32(simId << 16).u32(static_cast<std::uint32_t>(entries.size()));
    for (const Bytes& e : entries) w.bytes(e);
    send(c, frameApplication(w.finish()));
    std::string line = "SIM client subscribed " + std::to_string(entries.size()) + " ids";
    if (refused) line += " (" + std::to_string(refused) + " not offered)";
    event(line);
}

void SimServerEmulator::unsubscribe(const ConnectionPtr& c) {
    const Bytes& p = c->payload;
    const std::size_t n = entriesPresent(p, 20, readU32(p, 16), 4);
    for (std::size_t i = 0; i < n; ++i) c->subscribed.erase(readU32(p, 20 + i * 4));
    event(std::string(protocolName(c->protocol)) + " client unsubscribed " + std::to_string(n) + " ids");
}

void SimServerEmulator::handleApp(const ConnectionPtr& c, int kind) {
    const Bytes& p = c->payload;
    if (kind == KindFlowControl) {
        if (p.size() >= 4 && readU32(p, 0) == kFlowControlRequestWord) {
            PayloadWriter w;
            w.u32(1).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(3);
            send(c, frameFlowControl(w.finish()));
            event("APP client flow control accepted");
        }
        return;
    }
    if (kind != KindApplication || p.size() < kAppHeaderSize) return;
    const std::uint8_t service = p[1];
    const std::uint16_t type = readU16(p, 10);
    if (service == kAppServiceSession && type == kAppSubscribeAllEvents) {
        event("APP client subscribed to all events");
    } else if (service == kAppServiceSession && type == kAppPatientListRequest) {
        PatientInfo pi = patient();
        PayloadWriter w(kFamilyApp, kAppServiceSession, kAppPatientList);
        w.u32(pi.count);
        // Further patients are listed after the first, with following SCE and patient ids.
        for (std::uint32_t i = 0; i < pi.count && i < 16; ++i)
            w.u32(pi.sceId + i).u32(pi.patientId + i).u32(pi.state).f32(pi.speed);
        send(c, frameApplication(w.finish()));
        event("APP client asked for the patient list (" + std::to_string(pi.count) + " patients)");
    } else if (service == kAppServiceParameters && type == kAppVersionRequest) {
        PayloadWriter w(kFamilyApp, kAppServiceParameters, kAppVersionReply);
        // The text ends at 140; validity is read at 144, so one word (the protocol
        // version, as in the SIM reply) sits between them.
        w.text(options_.versionText, kVersionTextSize).u32(options_.protocolVersion).u32(1);
        send(c, frameApplication(w.finish()));
        event("APP client asked for the server version");
    } else if (service == kAppServiceParameters && type == kAppSubscribeInputs) {
        subscribeApp(c);
    } else if (service == kAppServiceParameters && type == kAppUnsubscribeInputs) {
        unsubscribe(c);
    }
}

void SimServerEmulator::subscribeApp(const ConnectionPtr& c) {
    const Bytes& p = c->payload;
    const std::uint32_t sce = readU32(p, 12);
    const std::size_t n = entriesPresent(p, 20, readU32(p, 16), kAppInputEntry);
    std::size_t refused = 0;
    std::vector<Bytes> entries;
    bool active;
    {
        std::lock_guard<std::mutex> g(mutex_);
        // Only the active SCE takes subscriptions.
        active = patient_.count > 0 && sce == patient_.sceId;
        if (active) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = 20 + i * kAppInputEntry;
            const std::string id = readText(p, at + 8, kIdFieldSize);
            auto it = parameters_.find(id);
            if (it == parameters_.end() || it->second.protocol != Protocol::App) {
                ++refused;
                continue;
            }
            const std::uint32_t sid = serverIds_.at(id);
            c->subscribed.insert(sid);
            PayloadWriter e;
            e.u32(sid).u32(readU32(p, at)).u32(0).f32(static_cast<float>(it->second.value)).id32(id);
            entries.push_back(e.finish());
        }
        }
    }
    if (!active) {
        event("APP client subscribed for SCE " + std::to_string(sce) + ", which is not active; ignored");
        return;
    }
    PayloadWriter w(kFamilyApp, kAppServiceParameters, kAppInputReply);
    w.u32(sce).u32(static_cast<std::uint32_t>(entries.size()));
    for (const Bytes& e : entries) w.bytes(e);
    send(c, frameApplication(w.finish()));
    std::string line = "APP client subscribed " + std::to_string(entries.size()) + " ids";
    if (refused) line += " (" + std::to_string(refused) + " not offered)";
    event(line);
}

// --- values ---------------------------------------------------------------------------

bool SimServerEmulator::setValue(const std::string& id, double v) { return setValues({{id, v}}); }

bool SimServerEmulator::setValues(const std::vector<std::pair<std::string, double>>& values) {
    std::vector<std::pair<std::uint32_t, double>> sim, app;
    {
        std::lock_guard<std::mutex> g(mutex_);
        for (const auto& [id, v] : values) {
            auto it = parameters_.find(id);
            if (it == parameters_.end() || !valueFits(it->second, v)) return false;
        }
        for (const auto& [id, v] : values) {
            Parameter& par = parameters_[id];
            par.value = v;
            (par.protocol == Protocol::Sim ? sim : app).emplace_back(serverIds_.at(id), v);
        }
    }
    post([this, sim, app] {
        if (!sim.empty()) sendUpdates(sim, Protocol::Sim);
        if (!app.empty()) sendUpdates(app, Protocol::App);
    });
    return true;
}

void SimServerEmulator::sendUpdates(const std::vector<std::pair<std::uint32_t, double>>& entries, Protocol protocol) {
    std::uint32_t simId, sce, mode;
    bool active;
    std::map<std::uint32_t, bool> isFloat;
    {
        std::lock_guard<std::mutex> g(mutex_);
        simId = simulatorId_;
        sce = patient_.sceId;
        active = patient_.count > 0;
        mode = appPublishMode_;
        for (const auto& e : entries) isFloat[e.first] = parameters_.at(idsByServerId_.at(e.first)).isFloat;
    }
    if (protocol == Protocol::App && !active) return;  // APP values belong to a running SCE
    auto all = connections_;
    for (auto& [n, c] : all) {
        if (c->protocol != protocol) continue;
        PayloadWriter body;
        std::uint32_t count = 0;
        for (const auto& [sid, v] : entries) {
            if (!c->subscribed.count(sid)) continue;
            ++count;
            if (protocol == Protocol::App)
                body.u32(sid).f32(static_cast<float>(v));
            else if (isFloat[sid])
                body.u32(sid).u32(0).f32(static_cast<float>(v));
            else
                body.u32(sid).u32(1).u32(static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
        }
        if (count == 0) continue;
        PayloadWriter w = protocol == Protocol::App ? PayloadWriter(kFamilyApp, kAppServiceParameters, kAppUpdate)
                                                    : PayloadWriter(kFamilySim, 2, kSimUpdate);
        if (protocol == Protocol::App)
            w.u32(sce).u32(mode);
        else
            w.u32(simId << 16).u32(0);
        w.u32(count).bytes(body.finish());
        send(c, frameApplication(w.finish()));
    }
}

std::optional<double> SimServerEmulator::value(const std::string& id) const {
    auto p = parameter(id);
    if (!p) return std::nullopt;
    return p->value;
}

std::optional<Parameter> SimServerEmulator::parameter(const std::string& id) const {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = parameters_.find(id);
    if (it == parameters_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::uint32_t> SimServerEmulator::serverId(const std::string& id) const {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = serverIds_.find(id);
    if (it == serverIds_.end()) return std::nullopt;
    return it->second;
}

void SimServerEmulator::setSimulatorId(std::uint32_t id) {
    std::lock_guard<std::mutex> g(mutex_);
    simulatorId_ = id;
}

void SimServerEmulator::setPatient(const PatientInfo& pi) {
    std::lock_guard<std::mutex> g(mutex_);
    patient_ = pi;
}

PatientInfo SimServerEmulator::patient() const {
    std::lock_guard<std::mutex> g(mutex_);
    return patient_;
}

void SimServerEmulator::setAppPublishMode(std::uint32_t mode) {
    std::lock_guard<std::mutex> g(mutex_);
    appPublishMode_ = mode;
}

void SimServerEmulator::setAutoReply(bool on) {
    std::lock_guard<std::mutex> g(mutex_);
    autoReply_ = on;
}

// --- SCE life -------------------------------------------------------------------------

void SimServerEmulator::sendSceEvent(SceEvent ev, std::uint32_t sceId, std::uint32_t status, std::uint32_t patientId,
                                     float speed) {
    PayloadWriter w(kFamilyApp, kAppServiceEvents, static_cast<std::uint16_t>(ev));
    w.u32(sceId);
    switch (ev) {
        case SceEvent::Created: w.u32(patientId).u32(status); break;
        case SceEvent::Speed: w.f32(speed).u32(status); break;
        default: w.u32(status); break;
    }
    const bool ok = status == 1;
    bool ended = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (ok) {
            switch (ev) {
                case SceEvent::Started:
                    if (patient_.count == 0) patient_.count = 1;
                    patient_.sceId = sceId;
                    patient_.state = 5;
                    if (patient_.speed == 0.0f) patient_.speed = 1.0f;
                    break;
                case SceEvent::Paused:
                    if (sceId == patient_.sceId) patient_.speed = 0.0f;
                    break;
                case SceEvent::Speed:
                    if (sceId == patient_.sceId) patient_.speed = speed;
                    break;
                case SceEvent::Ended:
                    if (sceId == patient_.sceId) {
                        patient_.count = 0;
                        ended = true;
                    }
                    break;
                default: break;
            }
        }
    }
    const Bytes frame = frameApplication(w.finish());
    post([this, frame, ended] {
        sendToAll(Protocol::App, frame);
        if (ended) appSubscriptionsEnded();
    });
}

void SimServerEmulator::appSubscriptionsEnded() {
    for (auto& [n, c] : connections_)
        if (c->protocol == Protocol::App) c->subscribed.clear();
}

void SimServerEmulator::sendSceAnnouncement(std::uint32_t patientId, std::uint32_t sceId,
                                            std::optional<std::uint32_t> status) {
    PayloadWriter w(kFamilyApp, kAppServiceParameters, kAppAnnouncement);
    w.u32(0).u32(patientId).u32(sceId);
    if (status) w.u32(*status);
    const Bytes frame = frameApplication(w.finish());
    post([this, frame] { sendToAll(Protocol::App, frame); });
}

void SimServerEmulator::sendSceEndNotice(std::uint32_t sceId, std::uint32_t error) {
    PayloadWriter w(kFamilyApp, kAppServiceParameters, kAppEndNotice);
    w.u32(sceId).u32(error);
    const Bytes frame = frameApplication(w.finish());
    post([this, frame] { sendToAll(Protocol::App, frame); });
}

void SimServerEmulator::sendSceDetail(std::uint32_t patientId, std::uint32_t detail, std::uint32_t sceId,
                                      std::uint32_t status) {
    PayloadWriter w(kFamilyApp, kAppServiceParameters, kAppDetailNotice);
    w.u32(patientId).u32(detail).u32(sceId).u32(status);
    const Bytes frame = frameApplication(w.finish());
    post([this, frame] { sendToAll(Protocol::App, frame); });
}

void SimServerEmulator::sendRaw(Protocol protocol, const Bytes& bytes) {
    post([this, protocol, bytes] { sendToAll(protocol, bytes); });
}

void SimServerEmulator::sendPayload(Protocol protocol, int kind, const Bytes& payload) {
    sendRaw(protocol, kind == KindFlowControl ? frameFlowControl(payload) : frameApplication(payload));
}

}  // namespace halvex_emu
