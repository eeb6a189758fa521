#include "adaptor_v22/udp_transport.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/system/system_error.hpp>

#include <array>
#include <exception>

#include "platform/line_sink.h"

namespace halvex::adaptor_v22 {

namespace asio = boost::asio;
using asio::ip::udp;

namespace {

udp::endpoint resolveUnit(asio::io_context& io, const std::string& address, unsigned short port) {
    // An empty text would resolve to this machine; it names no unit.
    if (address.empty())
        throw boost::system::system_error(asio::error::host_not_found, "resolve");
    udp::resolver resolver(io);
    const auto results = resolver.resolve(udp::v4(), address, std::to_string(port));
    return *results.begin();  // resolve() raises rather than return no result
}

}  // namespace

UdpAdaptor::UdpAdaptor(asio::io_context& io, const std::string& address, const TransportOptions& options)
    : waits_(options.waits), socket_(io, udp::v4()) {
    // Reuse lets a new transport bind the port while an older socket (of this or
    // another process) still holds it.
    socket_.set_option(asio::socket_base::reuse_address(true));
    // Discovery sends to broadcast addresses, which needs the permission.
    socket_.set_option(asio::socket_base::broadcast(true));
    socket_.bind(udp::endpoint(asio::ip::make_address_v4(options.localAddress), options.localPort));
    remoteEndpoint_ = resolveUnit(io, address, options.unitPort);
}

UdpAdaptor::~UdpAdaptor() { stop(); }

void UdpAdaptor::startReceiving() {
    if (running_.exchange(true))
        return;
    receiveThread_ = std::thread([this] { receiveLoop(); });
}

void UdpAdaptor::send(const std::string& text) {
    {
        std::lock_guard<std::mutex> guard(replyLock_);
        lastReply_.clear();
    }
    boost::system::error_code ignored;
    socket_.send_to(asio::buffer(text), remoteEndpoint_, 0, ignored);
}

bool UdpAdaptor::takeReply(std::string& reply, std::string* sender) {
    std::lock_guard<std::mutex> guard(replyLock_);
    if (lastReply_.empty())
        return false;
    reply.swap(lastReply_);
    lastReply_.clear();
    if (sender)
        *sender = lastSender_;
    return true;
}

std::string UdpAdaptor::waitReply() {
    std::string reply;
    for (int poll = 0; poll < waits_.polls; ++poll) {
        std::this_thread::sleep_for(waits_.replyPause);
        if (takeReply(reply, nullptr))
            return reply;
    }
    return {};
}

bool UdpAdaptor::waitReplyWithSender(std::string& reply, std::string& sender) {
    for (int poll = 0; poll < waits_.polls; ++poll) {
        std::this_thread::sleep_for(waits_.senderPause);
        if (takeReply(reply, &sender))
            return true;
    }
    return false;
}

void UdpAdaptor::stop() {
    if (!running_.exchange(false))
        return;
    send(kStopText);
    wakeReceiver();
    if (receiveThread_.joinable())
        receiveThread_.join();
    boost::system::error_code closeError;
    socket_.close(closeError);
    if (closeError)
        platform::printErr("HX>ERROR>close: " + closeError.message());
}

// Wakes the receive blocked on this socket; the loop then sees `running` cleared.
// Shutting the socket down does it on Linux but not on Windows, where an empty
// datagram to the socket's own address does.
void UdpAdaptor::wakeReceiver() {
    boost::system::error_code error;
    udp::endpoint self = socket_.local_endpoint(error);
    socket_.shutdown(asio::socket_base::shutdown_both, error);
    if (self.address().is_unspecified())
        self.address(asio::ip::address_v4::loopback());
    udp::socket waker(socket_.get_executor());
    waker.open(udp::v4(), error);
    if (!error)
        waker.send_to(asio::const_buffer(), self, 0, error);
}

void UdpAdaptor::receiveLoop() {
    ReplyReader reader;  // a fresh reader per transport: nothing of an old link leaks in
    std::array<char, ReplyReader::kDatagramBytes> buffer{};
    while (running_.load()) {
        try {
            udp::endpoint sender;
            boost::system::error_code error;
            const std::size_t received = socket_.receive_from(asio::buffer(buffer), sender, 0, error);
            if (!running_.load())
                break;
            // A datagram larger than the buffer still gives its first bytes.
            if (error && error != asio::error::message_size) {
                std::this_thread::sleep_for(kReceiveErrorPause);
                continue;
            }
            const std::size_t before = reader.discarded();
            const std::optional<std::string> reply = reader.feed(buffer.data(), error ? buffer.size() : received);
            if (reader.discarded() != before)
                platform::printErr("HX>ERROR>Discarded " + std::to_string(ReplyReader::kAccumulatorLimit) +
                                   " or more bytes from " + sender.address().to_string() + " that carried no reply end");
            if (reply) {
                std::lock_guard<std::mutex> guard(replyLock_);
                lastReply_ = *reply;
                lastSender_ = sender.address().to_string();
                repliesReceived_.fetch_add(1);
            }
        } catch (const std::exception& e) {
            platform::printErr(std::string("HX>ERROR>Halvex v2.2 receive: ") + e.what());
        } catch (...) {
            platform::printErr("HX>ERROR>Halvex v2.2 receive: unknown error");
        }
    }
}

}  // namespace halvex::adaptor_v22
