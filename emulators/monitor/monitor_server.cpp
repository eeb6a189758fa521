#include "emulators/monitor/monitor_server.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "emulators/monitor/assets.h"
#include "emulators/monitor/sample_recorder.h"
#include "platform/line_sink.h"

namespace halvex::emulators::monitor {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

bool isLoopback(const std::string& address) {
    boost::system::error_code ec;
    const auto a = asio::ip::make_address_v4(address, ec);
    return !ec && a.is_loopback();
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + '"';
}

// A sample as a JSON number; JSON has no NaN or infinity, so those become null.
std::string jsonNumber(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

}  // namespace

const std::vector<std::string>& numericChannels() {
    static const std::vector<std::string> list = {"hr",      "sbp",     "dbp",     "mbp",      "spo2",
                                                  "rr",      "etco2",   "t1",      "t2",       "abpZero",
                                                  "papZero", "cvpZero", "spo2Probe"};
    return list;
}

const std::vector<std::string>& waveChannels() {
    static const std::vector<std::string> list = {"abp", "pap", "cvp", "pleth", "co2"};
    return list;
}

const ChannelMap& jsonUnitChannels() {
    static const ChannelMap map = {
        {"hr", "hr"},         {"sbp", "sbp"},     {"dbp", "dbp"},     {"mbp", "mbp"},
        {"spO2", "spo2"},     {"rr", "rr"},       {"etCO2", "etco2"}, {"t1", "t1"},
        {"t2", "t2"},         {"abpZeroState", "abpZero"},            {"papZeroState", "papZero"},
        {"cvpZeroState", "cvpZero"},              {"spo2Override", "spo2Probe"},
        {"abp", "abp"},       {"pap", "pap"},     {"cvp", "cvp"},     {"pleth", "pleth"},
        {"co2", "co2"},
    };
    return map;
}

const ChannelMap& v22UnitChannels() {
    static const ChannelMap map = {
        {"HR", "hr"},   {"SBP", "sbp"}, {"DBP", "dbp"}, {"MBP", "mbp"},     {"SPO2", "spo2"},
        {"RR", "rr"},   {"T1", "t1"},   {"T2", "t2"},   {"SPO2_PROBE", "spo2Probe"},
        {"ABP", "abp"}, {"PAP", "pap"}, {"CVP", "cvp"}, {"PLETH", "pleth"}, {"CO2", "co2"},
    };
    return map;
}

bool parseHttpAddress(const std::string& text, std::string& address, unsigned short& port, std::string& error) {
    const auto colon = text.rfind(':');
    const std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    const std::string digits = colon == std::string::npos ? text : text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(digits) > 65535) {
        error = "'" + text + "' is not PORT or ADDRESS:PORT";
        return false;
    }
    if (!isLoopback(host)) {
        error = "refusing to serve the monitor on '" + host + "': only loopback addresses (127.0.0.0/8)";
        return false;
    }
    address = host;
    port = static_cast<unsigned short>(std::stoul(digits));
    return true;
}

// One WebSocket client at /live: updates are queued and written one at a time; what
// the page sends is read and ignored, so a close is noticed.
class MonitorServer::LiveSession : public std::enable_shared_from_this<LiveSession> {
public:
    LiveSession(MonitorServer& server, tcp::socket socket) : server_(server), ws_(std::move(socket)) {}

    void start(http::request<http::string_body> request) {
        ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
            if (ec) return self->end();
            self->server_.live_.insert(self);
            {
                std::lock_guard<std::mutex> guard(self->server_.lock_);
                ++self->server_.sessionCount_;
            }
            self->read();
        });
    }

    void send(const std::shared_ptr<const std::string>& update) {
        if (closing_) return;
        if (queue_.size() >= kMaxQueuedUpdates) {
            // A page that does not keep up is let go rather than buffered for ever.
            closing_ = true;
            beast::get_lowest_layer(ws_).close();
            return;
        }
        queue_.push_back(update);
        if (queue_.size() == 1) write();
    }

    void close() {
        closing_ = true;
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

private:
    void read() {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return self->end();
            self->buffer_.consume(self->buffer_.size());
            self->read();
        });
    }

    void write() {
        ws_.text(true);
        ws_.async_write(asio::buffer(*queue_.front()), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return self->end();
            self->queue_.pop_front();
            if (!self->queue_.empty()) self->write();
        });
    }

    void end() {
        queue_.clear();
        if (server_.live_.erase(shared_from_this()) > 0) {
            std::lock_guard<std::mutex> guard(server_.lock_);
            --server_.sessionCount_;
        }
    }

    MonitorServer& server_;
    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer buffer_;
    std::deque<std::shared_ptr<const std::string>> queue_;
    bool closing_ = false;
};

// One HTTP connection: the page's files, or the upgrade to /live.
class MonitorServer::HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(MonitorServer& server, tcp::socket socket) : server_(server), stream_(std::move(socket)) {}

    void close() {
        beast::error_code ignored;
        stream_.socket().close(ignored);
    }

    void read() {
        parser_.emplace();
        parser_->header_limit(kMaxRequestBytes);
        parser_->body_limit(kMaxRequestBytes);
        stream_.expires_after(kRequestTimeout);
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) {
                beast::error_code ignored;
                self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
                return;
            }
            self->handle(self->parser_->release());
        });
    }

private:
    void handle(http::request<http::string_body> request) {
        if (websocket::is_upgrade(request)) {
            if (request.target() == "/live") {
                stream_.expires_never();
                std::make_shared<LiveSession>(server_, stream_.release_socket())->start(std::move(request));
                return;
            }
            return reply(request, http::status::not_found, "text/plain; charset=utf-8", "no such socket\n");
        }
        if (request.method() != http::verb::get && request.method() != http::verb::head) {
            return reply(request, http::status::method_not_allowed, "text/plain; charset=utf-8",
                         "only GET and HEAD\n");
        }
        std::string target(request.target());
        target = target.substr(0, target.find('?'));
        if (target == "/") target = "/index.html";
        for (const Asset& asset : assets()) {
            if (asset.path == target) return reply(request, http::status::ok, asset.contentType, asset.body);
        }
        reply(request, http::status::not_found, "text/plain; charset=utf-8", "not found\n");
    }

    void reply(const http::request<http::string_body>& request, http::status status, const std::string& type,
               const std::string& body) {
        auto response = std::make_shared<http::response<http::string_body>>(status, request.version());
        response->set(http::field::server, "halvex unit monitor");
        response->set(http::field::content_type, type);
        response->set(http::field::cache_control, "no-store");
        response->keep_alive(request.keep_alive());
        if (request.method() != http::verb::head) response->body() = body;
        response->prepare_payload();
        if (request.method() == http::verb::head) response->body().clear();
        stream_.expires_after(kRequestTimeout);
        http::async_write(stream_, *response,
                          [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
            if (ec || !response->keep_alive()) {
                beast::error_code ignored;
                self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                return;
            }
            self->read();
        });
    }

    MonitorServer& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
};

MonitorServer::MonitorServer(std::string address, unsigned short port, ChannelMap channels, std::string unitName)
    : address_(std::move(address)), port_(port), channels_(std::move(channels)), unitName_(std::move(unitName)),
      ioThread_([](const std::string& what) {
          halvex::platform::printErr("unit monitor: error on its thread: " + what);
      }),
      acceptor_(io_), pushTimer_(io_) {
    if (!isLoopback(address_)) {
        throw std::invalid_argument("the monitor serves loopback addresses only (127.0.0.0/8), not '" + address_ +
                                    "'");
    }
    for (const std::string& wave : waveChannels()) waves_[wave];
}

MonitorServer::~MonitorServer() { stop(); }

void MonitorServer::start() {
    if (started_) return;
    const tcp::endpoint endpoint(asio::ip::make_address_v4(address_), port_);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    doAccept();
    schedulePush();
    if (!ioThread_.start()) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "unit monitor: cannot start its thread");
    }
    started_ = true;
}

void MonitorServer::stop() {
    if (!started_) return;
    started_ = false;
    asio::post(io_, [this] {
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        pushTimer_.cancel();
        for (const auto& session : std::set<std::shared_ptr<LiveSession>>(live_)) session->close();
        // A browser's idle keep-alive connection would hold the thread until its read
        // times out: close them all.
        for (const auto& weak : http_) {
            if (const auto session = weak.lock()) session->close();
        }
        http_.clear();
        ioThread_.stop();
    });
    // The loop ends with the handler above.
    ioThread_.finish();
    // Run down what the closes aborted; what still waits on an open connection is
    // destroyed with the io_context.
    io_.restart();
    io_.poll();
    live_.clear();
}

std::string MonitorServer::url() const { return "http://" + address_ + ':' + std::to_string(port_) + '/'; }

std::size_t MonitorServer::sessions() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sessionCount_;
}

void MonitorServer::doAccept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (!acceptor_.is_open()) return;
        if (!ec) {
            auto session = std::make_shared<HttpSession>(*this, std::move(socket));
            // Forget the sessions that have ended, so the set stays small.
            for (auto it = http_.begin(); it != http_.end();) it = it->expired() ? http_.erase(it) : std::next(it);
            http_.insert(session);
            session->read();
        }
        doAccept();
    });
}

void MonitorServer::schedulePush() {
    pushTimer_.expires_after(kPushPeriod);
    pushTimer_.async_wait([this](beast::error_code ec) {
        if (ec) return;
        push();
        schedulePush();
    });
}

void MonitorServer::push() {
    const auto update = std::make_shared<const std::string>(takeUpdate());
    for (const auto& session : std::set<std::shared_ptr<LiveSession>>(live_)) session->send(update);
}

void MonitorServer::received(const Received& values) {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& numeric : values.numerics) {
        const auto channel = channels_.find(numeric.first);
        if (channel != channels_.end()) numerics_[channel->second] = numeric.second;
    }
    for (const auto& wave : values.waves) {
        const auto channel = channels_.find(wave.first);
        if (channel == channels_.end() || wave.second.empty()) continue;
        WaveState& state = waves_[channel->second];
        state.queued.insert(state.queued.end(), wave.second.begin(), wave.second.end());
        if (state.queued.size() > kMaxQueuedSamples) {
            const std::size_t excess = state.queued.size() - kMaxQueuedSamples;
            state.queued.erase(state.queued.begin(), state.queued.begin() + static_cast<std::ptrdiff_t>(excess));
            state.dropped += excess;
        }
        state.arrivals.emplace_back(values.at, wave.second.size());
        state.last = values.at;
        state.total += wave.second.size();
    }
}

std::string MonitorServer::takeUpdate() { return buildUpdate(Clock::now()); }

std::string MonitorServer::buildUpdate(Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    std::string text = "{\"unit\":" + jsonString(unitName_) + ",\"numerics\":{";
    bool first = true;
    for (const std::string& channel : numericChannels()) {
        const auto value = numerics_.find(channel);
        if (value == numerics_.end()) continue;
        text += (first ? "" : ",") + jsonString(channel) + ':' + jsonString(value->second);
        first = false;
    }
    text += "},\"waves\":{";
    first = true;
    for (const std::string& channel : waveChannels()) {
        WaveState& state = waves_[channel];
        while (!state.arrivals.empty() && now - state.arrivals.front().first > kRateWindow) state.arrivals.pop_front();
        // Samples per second over the window, from the first arrival in it to now.
        double rate = 0;
        if (state.arrivals.size() >= 2) {
            std::size_t samples = 0;
            for (std::size_t i = 1; i < state.arrivals.size(); ++i) samples += state.arrivals[i].second;
            const double span =
                std::chrono::duration<double>(state.arrivals.back().first - state.arrivals.front().first).count();
            if (span > 0) rate = samples / span;
        }
        const bool live = state.last && now - *state.last <= kStoppedAfter;
        text += (first ? "" : ",") + jsonString(channel) + ":{\"live\":" + (live ? "true" : "false") +
                ",\"rate\":" + jsonNumber(std::round(rate * 10) / 10) + ",\"total\":" + std::to_string(state.total) +
                ",\"samples\":[";
        for (std::size_t i = 0; i < state.queued.size(); ++i) text += (i ? "," : "") + jsonNumber(state.queued[i]);
        text += "]}";
        state.queued.clear();
        first = false;
    }
    return text + "}}";
}

}  // namespace halvex::emulators::monitor
