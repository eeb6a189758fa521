#include "emulators/unit_json/unit_emulator.h"

#include <array>
#include <stdexcept>
#include <system_error>

#include "platform/line_sink.h"

namespace halvex::emulators::unit_json {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

bool isLoopbackAddress(const std::string& address) {
    boost::system::error_code ec;
    const auto a = asio::ip::make_address_v4(address, ec);
    return !ec && (a.to_uint() >> 24) == 127;
}

struct UnitEmulator::Connection {
    explicit Connection(asio::io_context& io) : socket(io) {}
    tcp::socket socket;
    std::uint64_t id = 0;
    FrameReader reader;
    FrameReaderCounters reported; // counters already added to the store
    std::array<char, 16384> buffer{};
    std::string stash; // bytes read while stalled, handled on release
    bool reading = false;
    std::deque<std::string> outgoing;
    bool writing = false;
};

UnitEmulator::UnitEmulator(const std::string& address, unsigned short port, std::size_t keptFrames)
    : address_(address), port_(port), keptFrames_(keptFrames),
      ioThread_([](const std::string& what) {
          halvex::platform::printErr("unit-emulator: error on the I/O thread: " + what);
      }),
      acceptor_(io_), stallTimer_(io_),
      store_(address) {
    if (!isLoopbackAddress(address)) {
        throw std::invalid_argument("the unit emulator listens on loopback only (127.0.0.0/8), not '" +
                                    address + "'");
    }
}

UnitEmulator::~UnitEmulator() { stop(); }

void UnitEmulator::openAcceptor() {
    const tcp::endpoint ep(asio::ip::make_address_v4(address_), port_);
    acceptor_.open(ep.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(ep);
    acceptor_.listen();
}

void UnitEmulator::start() {
    if (started_) return;
    openAcceptor();
    port_ = acceptor_.local_endpoint().port();
    doAccept();
    // The loop keeps running while nothing is pending (listener closed, no
    // connection), so the hooks can still post work to it.
    if (!ioThread_.start()) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "unit-emulator: cannot start its thread");
    }
    started_ = true;
}

void UnitEmulator::stop() {
    if (!started_) return;
    started_ = false;
    ioThread_.stop();
    // The I/O thread is gone: close here, then let the aborted handlers run so they
    // release what they hold.
    boost::system::error_code ec;
    acceptor_.close(ec);
    stallTimer_.cancel();
    for (const auto& t : answerTimers_) t->cancel();
    if (current_) current_->socket.close(ec);
    current_.reset();
    io_.restart();
    io_.poll();
    std::lock_guard<std::mutex> g(lock_);
    isConnected_ = false;
    changed_.notify_all();
}

void UnitEmulator::setListener(Listener listener) {
    std::lock_guard<std::mutex> g(lock_);
    listener_ = std::move(listener);
}

void UnitEmulator::doAccept() {
    auto c = std::make_shared<Connection>(io_);
    acceptor_.async_accept(c->socket, [this, c](const boost::system::error_code& ec) {
        if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
        if (!ec) {
            closeCurrent();
            boost::system::error_code ignored;
            // Answers are small and the bridge waits for them: send at once.
            c->socket.set_option(tcp::no_delay(true), ignored);
            {
                std::lock_guard<std::mutex> g(lock_);
                store_.connectionAccepted();
                c->id = store_.connections();
                isConnected_ = true;
                changed_.notify_all();
            }
            current_ = c;
            if (!neverRead_) doRead(c);
        }
        doAccept();
    });
}

void UnitEmulator::doRead(const std::shared_ptr<Connection>& c) {
    c->reading = true;
    c->socket.async_read_some(asio::buffer(c->buffer),
                              [this, c](const boost::system::error_code& ec, std::size_t n) {
        c->reading = false;
        if (ec) {
            if (c == current_) closeCurrent();
            return;
        }
        if (stalled_) {
            c->stash.append(c->buffer.data(), n);
            return;
        }
        onBytes(c, c->buffer.data(), n);
        if (c == current_ && c->socket.is_open() && !neverRead_) doRead(c);
    });
}

void UnitEmulator::onBytes(const std::shared_ptr<Connection>& c, const char* data, std::size_t n) {
    {
        std::lock_guard<std::mutex> g(lock_);
        bytes_.append(data, n);
        if (bytes_.size() > kDefaultKeptBytes) bytes_.erase(0, bytes_.size() - kDefaultKeptBytes);
    }
    c->reader.feed(data, n);
    while (auto frame = c->reader.next()) {
        const auto now = Clock::now();
        ReceivedFrame rf{now, c->id, std::move(*frame), {}, {}};
        Handled h;
        Listener listener;
        {
            std::lock_guard<std::mutex> g(lock_);
            h = store_.handle(rf.frame, now);
            rf.messageType = h.messageType;
            rf.values = std::move(h.values);
            rf.values.at = now;
            frames_.push_back(rf);
            if (frames_.size() > keptFrames_) {
                frames_.pop_front();
                ++framesDropped_;
            }
            listener = listener_;
            changed_.notify_all();
        }
        if (listener) listener(rf, h.line);
        bool silent = false;
        bool drop = false;
        {
            std::lock_guard<std::mutex> g(lock_);
            silent = silent_;
            if (plannedFault_ && plannedFault_->messageType == h.messageType && --plannedFault_->left == 0) {
                (plannedFault_->fault == Fault::Drop ? drop : silent) = true;
                plannedFault_.reset();
            }
        }
        if (drop) {
            if (c == current_) closeCurrent();
            return;
        }
        if (h.answer && !silent) sendAnswer(c, *h.answer);
    }
    const FrameReaderCounters& now = c->reader.counters();
    FrameReaderCounters delta{now.strayBytes - c->reported.strayBytes,
                              now.truncatedFrames - c->reported.truncatedFrames,
                              now.oversizedFrames - c->reported.oversizedFrames};
    if (delta.strayBytes || delta.truncatedFrames || delta.oversizedFrames) {
        c->reported = now;
        std::lock_guard<std::mutex> g(lock_);
        store_.addFramingCounters(delta);
    }
}

void UnitEmulator::sendAnswer(const std::shared_ptr<Connection>& c, const std::string& json) {
    std::string bytes;
    std::chrono::milliseconds delay{0};
    {
        std::lock_guard<std::mutex> g(lock_);
        bytes = std::move(prependNext_);
        prependNext_.clear();
        const long long announced = static_cast<long long>(json.size()) + misstateNext_;
        misstateNext_ = 0;
        bytes += encodeFrameWithLength(json, static_cast<std::size_t>(announced < 0 ? 0 : announced));
        delay = answerDelay_;
    }
    if (delay.count() <= 0) {
        write(c, std::move(bytes));
        return;
    }
    auto timer = std::make_shared<asio::steady_timer>(io_, delay);
    answerTimers_.insert(timer);
    timer->async_wait([this, c, timer, bytes](const boost::system::error_code& ec) mutable {
        answerTimers_.erase(timer);
        if (!ec && c->socket.is_open()) write(c, std::move(bytes));
    });
}

void UnitEmulator::write(const std::shared_ptr<Connection>& c, std::string bytes) {
    c->outgoing.push_back(std::move(bytes));
    if (!c->writing) doWrite(c);
}

void UnitEmulator::doWrite(const std::shared_ptr<Connection>& c) {
    c->writing = true;
    asio::async_write(c->socket, asio::buffer(c->outgoing.front()),
                      [this, c](const boost::system::error_code& ec, std::size_t) {
        c->writing = false;
        c->outgoing.pop_front();
        if (ec) {
            c->outgoing.clear();
            if (c == current_) closeCurrent();
            return;
        }
        if (!c->outgoing.empty()) doWrite(c);
    });
}

void UnitEmulator::closeCurrent(bool reset) {
    if (!current_) return;
    boost::system::error_code ec;
    if (reset) {
        current_->socket.set_option(asio::socket_base::linger(true, 0), ec);
    } else {
        current_->socket.shutdown(tcp::socket::shutdown_both, ec);
    }
    current_->socket.close(ec);
    current_.reset();
    std::lock_guard<std::mutex> g(lock_);
    isConnected_ = false;
    changed_.notify_all();
}

void UnitEmulator::resumeReading() {
    stalled_ = false;
    auto c = current_;
    if (!c || c->reading || neverRead_) return;
    std::string stash = std::move(c->stash);
    c->stash.clear();
    if (!stash.empty()) onBytes(c, stash.data(), stash.size());
    if (c == current_ && c->socket.is_open()) doRead(c);
}

void UnitEmulator::closeConnection() {
    asio::post(io_, [this] { closeCurrent(); });
}

void UnitEmulator::stall() {
    asio::post(io_, [this] {
        stallTimer_.cancel();
        stalled_ = true;
    });
}

void UnitEmulator::stallFor(std::chrono::milliseconds d) {
    asio::post(io_, [this, d] {
        stalled_ = true;
        stallTimer_.expires_after(d);
        stallTimer_.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) resumeReading();
        });
    });
}

void UnitEmulator::release() {
    asio::post(io_, [this] {
        stallTimer_.cancel();
        resumeReading();
    });
}

void UnitEmulator::setNeverRead(bool on) {
    asio::post(io_, [this, on] {
        neverRead_ = on;
        if (!on && !stalled_) resumeReading();
    });
}

void UnitEmulator::resetConnection() {
    asio::post(io_, [this] { closeCurrent(true); });
}

void UnitEmulator::faultAtMessage(Fault fault, const std::string& messageType, int n) {
    std::lock_guard<std::mutex> g(lock_);
    if (n <= 0)
        plannedFault_.reset();
    else
        plannedFault_ = PlannedFault{fault, messageType, n};
}

void UnitEmulator::setSilent(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    silent_ = on;
}

void UnitEmulator::setWifiJoins(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    store_.setWifiJoins(on);
}

void UnitEmulator::setAnswerDelay(std::chrono::milliseconds d) {
    std::lock_guard<std::mutex> g(lock_);
    answerDelay_ = d;
}

void UnitEmulator::prependToNextAnswer(std::string raw) {
    std::lock_guard<std::mutex> g(lock_);
    prependNext_ += raw;
}

void UnitEmulator::misstateNextAnswerLength(int delta) {
    std::lock_guard<std::mutex> g(lock_);
    misstateNext_ = delta;
}

bool UnitEmulator::sendFrames(const std::vector<std::string>& jsonTexts) {
    std::string bytes;
    for (const auto& j : jsonTexts) bytes += encodeFrame(j);
    return sendRaw(std::move(bytes));
}

bool UnitEmulator::sendRaw(std::string bytes) {
    if (!connected()) return false;
    asio::post(io_, [this, b = std::move(bytes)]() mutable {
        if (current_) write(current_, std::move(b));
    });
    return true;
}

void UnitEmulator::refuseConnections() {
    asio::post(io_, [this] {
        boost::system::error_code ec;
        acceptor_.close(ec);
    });
}

void UnitEmulator::acceptConnections() {
    asio::post(io_, [this] {
        if (acceptor_.is_open()) return;
        try {
            openAcceptor();
            doAccept();
        } catch (const boost::system::system_error& e) {
            boost::system::error_code ec;
            acceptor_.close(ec);
            halvex::platform::printErr("unit-emulator: cannot listen again on " + address_ + ':' +
                                       std::to_string(port_) + ": " + e.what());
        }
    });
}

UnitStats UnitEmulator::snapshot() const {
    std::lock_guard<std::mutex> g(lock_);
    return store_.snapshot();
}

std::vector<ReceivedFrame> UnitEmulator::framesReceived() const {
    std::lock_guard<std::mutex> g(lock_);
    return {frames_.begin(), frames_.end()};
}

std::uint64_t UnitEmulator::framesDropped() const {
    std::lock_guard<std::mutex> g(lock_);
    return framesDropped_;
}

bool UnitEmulator::connected() const {
    std::lock_guard<std::mutex> g(lock_);
    return isConnected_;
}

bool UnitEmulator::waitForMessage(const std::string& type, std::uint64_t count,
                                  std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, timeout, [&] {
        return store_.messageCount(type) >= count;
    });
}

bool UnitEmulator::waitForFrames(std::uint64_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, timeout, [&] { return framesDropped_ + frames_.size() >= count; });
}

std::string UnitEmulator::bytesReceived() const {
    std::lock_guard<std::mutex> g(lock_);
    return bytes_;
}

bool UnitEmulator::waitForConnections(std::uint64_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, timeout, [&] { return store_.connections() >= count; });
}

} // namespace halvex::emulators::unit_json
