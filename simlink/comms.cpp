#include "simlink/comms.h"

namespace net = halvex::platform::net;

namespace com_krel {

CSCommsInterfaceTCP::CSCommsInterfaceTCP(const BufferSizes& sizes, LogSink log)
    : receiveBufferSize_(sizes.receive), sendBufferSize_(sizes.send), log_(std::move(log)) {}

CSCommsInterfaceTCP::~CSCommsInterfaceTCP() { close(); }

void CSCommsInterfaceTCP::configure(const BufferSizes& sizes) {
    receiveBufferSize_ = sizes.receive;
    sendBufferSize_ = sizes.send;
}

void CSCommsInterfaceTCP::closeLocked() {
    net::SocketHandle s = socket_.exchange(net::kInvalidSocket);
    if (s == net::kInvalidSocket) return;
    // A writer that took the socket before the exchange may still be sending on it.
    // Its number must not be closed (and reused by the next open) under it: wake a
    // blocked send, then wait for the writer to leave.
    if (writers_.load() > 0) net::shutdownBoth(s);
    { CSLock w(sendLock_); }
    net::close(s);
    net::cleanup();
}

bool CSCommsInterfaceTCP::open(std::uint32_t address, int port) {
    CSLock g(socketLock_);
    closeLocked();
    if (!net::startup()) {
        log_(true, "Unable to initialise Windows socket library");
        return false;
    }
    net::SocketHandle s = net::createTcp();
    if (s == net::kInvalidSocket) {
        log_(true, "Unable to create socket");
        net::cleanup();
        return false;
    }
    auto fail = [&](const char* text) {
        if (text) log_(true, text);
        net::close(s);
        net::cleanup();
        return false;
    };
    if (!net::setReceiveTimeout(s, kReceiveTimeoutSeconds, 0)) return fail("Unable to set socket options");
    if (!net::setSendTimeout(s, kSendTimeoutSeconds, 0)) return fail("Unable to set socket timeout options");
    // Closing resets the connection at once instead of lingering on unsent data.
    if (!net::setLinger(s, true, 0)) log_(true, "Unable to disable socket linger");
    if (!net::setReuseAddress(s, true)) log_(true, "Unable to set socket SO_REUSEADDR");
    if (!net::setNoDelay(s, true)) log_(true, "Unable to disable Nagle algorithm");
    const int sendSize = sendBufferSize_;
    const int receiveSize = receiveBufferSize_;
    if (sendSize != 0 && !net::setSendBufferSize(s, sendSize)) return fail("Error setting send buffer size");
    if (receiveSize != 0 && !net::setReceiveBufferSize(s, receiveSize)) return fail("Error setting send buffer size");
    if (!net::connectTo(s, address, port)) return fail(nullptr);
    socket_ = s;
    return true;
}

ReadResult CSCommsInterfaceTCP::read(int count, RawMessage& target) {
    if (count <= 0) return ReadResult::Failed;
    auto& bytes = target.bytes();
    const std::size_t before = bytes.size();
    bytes.resize(before + static_cast<std::size_t>(count));
    const int r = net::recvAll(socket_.load(), bytes.data() + before, static_cast<std::size_t>(count));
    bytes.resize(before + static_cast<std::size_t>(r > 0 ? r : 0));
    if (r > 0) return ReadResult::Received;
    if (r == net::kRecvClosed) return ReadResult::Closed;
    if (r == net::kRecvTimedOut) return ReadResult::TimedOut;
    return ReadResult::Failed;
}

int CSCommsInterfaceTCP::write(const RawMessage& source) {
    // Counted before the socket is taken, so closeLocked sees this writer (or this
    // writer sees the socket already gone).
    ++writers_;
    int r;
    {
        CSLock g(sendLock_);
        r = net::send(socket_.load(), source.bytes().data(), source.size());
        if (r < 0) lastWriteError_ = net::lastError();
    }
    --writers_;
    return r;
}

void CSCommsInterfaceTCP::interrupt() {
    // Under socketLock_: the receiving thread cannot close the socket (and the number
    // be reused) meanwhile.
    CSLock g(socketLock_);
    net::shutdownBoth(socket_.load());
}

void CSCommsInterfaceTCP::close() {
    CSLock g(socketLock_);
    closeLocked();
}

}  // namespace com_krel
