#include "emulators/unit_v22/unit_emulator.h"

#include <array>
#include <future>
#include <stdexcept>
#include <system_error>

#include "platform/line_sink.h"

namespace halvex::emulators::unit_v22 {

namespace asio = boost::asio;
using asio::ip::udp;

struct UnitEmulator::Listening {
    Listening(asio::io_context& io, std::string addr) : socket(io), address(std::move(addr)) {}
    udp::socket socket;
    std::string address;
    udp::endpoint sender;
    std::array<char, 65536> buffer{};
};

bool isLoopbackAddress(const std::string& address) {
    boost::system::error_code error;
    const asio::ip::address_v4 parsed = asio::ip::make_address_v4(address, error);
    return !error && parsed.is_loopback();
}

std::string compactLine(const ReceivedDatagram& datagram) {
    std::string line = datagram.from + " -> " + datagram.to + ' ' + std::to_string(datagram.text.size()) + " chars";
    if (datagram.ignored)
        return line + " (silent, ignored)";
    const ParsedDatagram parsed = parseDatagram(datagram.text);
    line += ':';
    bool first = true;
    for (const Command& command : parsed.commands) {
        line += first ? " " : ", ";
        first = false;
        line += command.word;
        if (isWaveWord(command.word) && command.payload.find(',') != std::string::npos) {
            std::size_t values = 1;
            for (char c : command.payload)
                values += c == ',' ? 1 : 0;
            line += " x" + std::to_string(values);
        } else if (!command.payload.empty()) {
            line += ' ' + command.payload;
        }
    }
    if (parsed.malformed)
        line += " (" + std::to_string(parsed.malformed) + " malformed)";
    return line;
}

UnitEmulator::UnitEmulator(Options options)
    : options_(std::move(options)),
      ioThread_([](const std::string& what) {
          halvex::platform::printErr("unit-emulator-v22: error on the I/O thread: " + what);
      }),
      model_(options_.serialId) {
    std::vector<std::string> addresses{options_.address};
    addresses.insert(addresses.end(), options_.alsoListenOn.begin(), options_.alsoListenOn.end());
    for (const std::string& address : addresses) {
        if (!isLoopbackAddress(address))
            throw std::invalid_argument("not a loopback address (127.0.0.0/8): '" + address + "'");
        if (asio::ip::make_address_v4(address) == asio::ip::address_v4::loopback())
            throw std::invalid_argument("127.0.0.1 is where the bridge receives the replies; use 127.0.0.2 or above");
    }
    for (const std::string& address : addresses)
        sockets_.push_back(std::make_shared<Listening>(io_, address));
}

UnitEmulator::~UnitEmulator() { stop(); }

void UnitEmulator::start() {
    if (started_)
        return;
    for (const auto& listening : sockets_) {
        listening->socket.open(udp::v4());
        listening->socket.set_option(asio::socket_base::reuse_address(true));
        listening->socket.bind(udp::endpoint(asio::ip::make_address_v4(listening->address), options_.port));
    }
    for (const auto& listening : sockets_)
        receiveOn(listening);
    if (!ioThread_.start()) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "unit-emulator-v22: cannot start its thread");
    }
    started_ = true;
}

void UnitEmulator::stop() {
    if (!started_)
        return;
    started_ = false;
    asio::post(io_, [this] {
        for (const auto& listening : sockets_) {
            boost::system::error_code ignored;
            listening->socket.close(ignored);
        }
        for (const auto& timer : timers_)
            timer->cancel();
        timers_.clear();
    });
    // With the sockets closed and the timers cancelled the loop runs out.
    ioThread_.finish();
}

void UnitEmulator::setListener(Listener listener) {
    std::lock_guard<std::mutex> guard(lock_);
    listener_ = std::move(listener);
}

void UnitEmulator::receiveOn(const std::shared_ptr<Listening>& listening) {
    listening->socket.async_receive_from(
        asio::buffer(listening->buffer), listening->sender,
        [this, listening](const boost::system::error_code& error, std::size_t size) {
            if (error == asio::error::operation_aborted || !listening->socket.is_open())
                return;
            if (!error)
                onDatagram(std::string(listening->buffer.data(), size), listening->sender, listening->address);
            receiveOn(listening);
        });
}

void UnitEmulator::onDatagram(const std::string& text, const udp::endpoint& from, const std::string& to) {
    ReceivedDatagram datagram{Clock::now(), from.address().to_string() + ':' + std::to_string(from.port()), to, text,
                              false, {}};
    std::vector<Reply> replies;
    Listener listener;
    {
        std::lock_guard<std::mutex> guard(lock_);
        datagram.ignored = silent_;
        if (silent_) {
            model_.countSilent();
        } else {
            lastSender_ = from;
            replies = model_.receive(text, datagram.at);
            datagram.values = model_.lastKept();
            datagram.values.at = datagram.at;
        }
        datagrams_.push_back(datagram);
        if (datagrams_.size() > kKeptDatagrams)
            datagrams_.pop_front();
        listener = listener_;
    }
    changed_.notify_all();
    if (listener)
        listener(datagram, compactLine(datagram));
    for (const Reply& r : replies)
        reply(r, from);
}

void UnitEmulator::reply(const Reply& answer, const udp::endpoint& to) {
    const std::string& text = answer.text;
    std::chrono::milliseconds delay;
    bool split;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (dropReplies_ > 0) {
            --dropReplies_;
            return;
        }
        delay = answerDelay_ + answer.after;
        split = split_;
    }
    auto send = [this, text, to, split] {
        if (split && text.size() > 1) {
            const std::size_t half = text.size() / 2;
            sendNow(text.substr(0, half), to);
            sendNow(text.substr(half), to);
        } else {
            sendNow(text, to);
        }
    };
    if (delay.count() <= 0) {
        send();
        return;
    }
    auto timer = std::make_shared<asio::steady_timer>(io_, delay);
    timers_.insert(timer);
    timer->async_wait([this, timer, send](const boost::system::error_code& error) {
        timers_.erase(timer);
        if (!error)
            send();
    });
}

void UnitEmulator::sendNow(std::string bytes, const udp::endpoint& to) {
    boost::system::error_code ignored;
    if (sockets_.front()->socket.is_open())
        sockets_.front()->socket.send_to(asio::buffer(bytes), to, 0, ignored);
}

UnitStats UnitEmulator::snapshot() const {
    std::lock_guard<std::mutex> guard(lock_);
    return model_.stats();
}

std::vector<ReceivedDatagram> UnitEmulator::datagramsReceived() const {
    std::lock_guard<std::mutex> guard(lock_);
    return {datagrams_.begin(), datagrams_.end()};
}

bool UnitEmulator::waitFor(const std::function<bool(const UnitStats&)>& condition,
                           std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return condition(model_.stats()); });
}

bool UnitEmulator::waitForCommand(const std::string& word, std::uint64_t count, std::chrono::milliseconds timeout) const {
    return waitFor(
        [&](const UnitStats& stats) {
            const auto it = stats.commandCounts.find(word);
            return it != stats.commandCounts.end() && it->second >= count;
        },
        timeout);
}

bool UnitEmulator::waitForDatagrams(std::uint64_t count, std::chrono::milliseconds timeout) const {
    return waitFor([&](const UnitStats& stats) { return stats.datagrams + stats.ignoredWhileSilent >= count; },
                   timeout);
}

void UnitEmulator::setSilent(bool on) {
    std::lock_guard<std::mutex> guard(lock_);
    silent_ = on;
}

void UnitEmulator::setAnswerDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> guard(lock_);
    answerDelay_ = delay;
}

void UnitEmulator::setSplitReplies(bool on) {
    std::lock_guard<std::mutex> guard(lock_);
    split_ = on;
}

void UnitEmulator::dropReplies(int count) {
    std::lock_guard<std::mutex> guard(lock_);
    dropReplies_ = count;
}

void UnitEmulator::setIdentitySerial(std::optional<std::string> serial) {
    std::lock_guard<std::mutex> guard(lock_);
    model_.setIdentitySerial(std::move(serial));
}

void UnitEmulator::setRefuseAssociation(bool on) {
    std::lock_guard<std::mutex> guard(lock_);
    model_.setRefuseAssociation(on);
}

void UnitEmulator::overrideReply(const std::string& word, std::vector<Reply> replies) {
    std::lock_guard<std::mutex> guard(lock_);
    model_.overrideReply(word, std::move(replies));
}

void UnitEmulator::clearOverrides() {
    std::lock_guard<std::mutex> guard(lock_);
    model_.clearOverrides();
}

void UnitEmulator::restart() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        model_.restart();
    }
    changed_.notify_all();
}

bool UnitEmulator::sendToLastSender(const std::string& bytes) {
    if (!started_)
        return false;
    std::optional<udp::endpoint> to;
    {
        std::lock_guard<std::mutex> guard(lock_);
        to = lastSender_;
    }
    if (!to)
        return false;
    // Through the I/O thread, which alone touches the sockets; waited for, so the
    // datagram has left when this returns.
    std::promise<void> sent;
    asio::post(io_, [&] {
        sendNow(bytes, *to);
        sent.set_value();
    });
    return sent.get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

}  // namespace halvex::emulators::unit_v22
