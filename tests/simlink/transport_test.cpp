// The TCP transport against real loopback sockets: refused connections, reads and
// writes without a connection, the receive time-out, and peers that go away in the
// middle of a frame.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "simlink/comms.h"
#include "simlink/frame_receiver.h"
#include "test_support.h"

using namespace com_krel;
using namespace simlink_test;

namespace {

// A listening socket on an ephemeral loopback port; the test plays the server.
class Listener {
public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd_, 4), 0);
        EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length), 0);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() {
        if (peer_ >= 0) ::close(peer_);
        if (fd_ >= 0) ::close(fd_);
    }
    int port() const { return port_; }
    // The connection the transport opened (it is in the backlog once open returns).
    void accept() {
        if (peer_ >= 0) ::close(peer_);
        peer_ = ::accept(fd_, nullptr, nullptr);
    }
    void send(const Bytes& b) { ASSERT_EQ(::send(peer_, b.data(), b.size(), 0), static_cast<ssize_t>(b.size())); }
    // Closes the server's side; with reset, as a crashed server does (RST, not FIN).
    void closePeer(bool reset) {
        if (reset) {
            const linger l{1, 0};
            ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        ::close(peer_);
        peer_ = -1;
    }
    void stopListening() {
        ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    int peer_ = -1;
    int port_ = 0;
};

RawMessage holding(const Bytes& b) {
    RawMessage m(KindApplication);
    m.bytes() = b;
    return m;
}

TEST(TcpTransport, RefusedConnectionFailsSilently) {
    Lines lines;
    Listener gone;
    const int port = gone.port();
    gone.stopListening();
    CSCommsInterfaceTCP t({}, lines.sink());
    EXPECT_FALSE(t.open(loopback(), port));
    EXPECT_TRUE(lines.all(true).empty());
    RawMessage target = holding({1, 2});
    EXPECT_EQ(t.read(4, target), ReadResult::Failed);  // a failed open leaves the transport closed
    EXPECT_EQ(target.bytes(), (Bytes{1, 2}));
}

// Never opened, or closed after use: reads and writes fail, the target is
// left as it was, and close does nothing more.
TEST(TcpTransport, ReadAndWriteWithoutAConnection) {
    Listener server;
    for (bool opened : {false, true}) {
        SCOPED_TRACE(opened);
        CSCommsInterfaceTCP t;
        if (opened) {
            ASSERT_TRUE(t.open(loopback(), server.port()));
            t.close();
        }
        t.close();
        RawMessage target = holding({7});
        EXPECT_EQ(t.read(32, target), ReadResult::Failed);
        EXPECT_EQ(target.bytes(), Bytes{7});
        EXPECT_EQ(t.write(holding({1, 2, 3})), -1);
        EXPECT_NE(t.lastError(), 0);
    }
}

// A quiet peer: the read times out after the receive time-out and leaves the target as
// long as it was; the next read appends right after it. Bytes that arrive before a
// time-out are kept, not lost with it.
TEST(TcpTransport, TimeOutKeepsTheTargetAndTheBytesAlreadyThere) {
    Listener server;
    CSCommsInterfaceTCP t;
    ASSERT_TRUE(t.open(loopback(), server.port()));
    server.accept();
    RawMessage target = holding({0xAA});
    EXPECT_EQ(t.read(4, target), ReadResult::TimedOut);
    EXPECT_EQ(target.bytes(), Bytes{0xAA});
    server.send({1, 2, 3, 4});
    EXPECT_EQ(t.read(4, target), ReadResult::Received);
    EXPECT_EQ(target.bytes(), (Bytes{0xAA, 1, 2, 3, 4}));
    server.send({5, 6});
    EXPECT_EQ(t.read(4, target), ReadResult::Received);  // two of four, then the time-out
    EXPECT_EQ(target.bytes(), (Bytes{0xAA, 1, 2, 3, 4, 5, 6}));
}

// A peer that goes away in the middle of a frame: what arrived is delivered, then
// Closed, for an orderly close and for a reset alike; the receiver reports the cut
// frame and the lost link. Writes to a reset peer fail with the platform's error code.
TEST(TcpTransport, PeerClosingMidFrame) {
    const Bytes payloadBytes = cat({appHeader(4, 2, 0x0003, 24), words({0, 0, 0})});
    const Bytes whole = frameBytes(payloadBytes);
    struct Case {
        const char* name;
        std::size_t sent;
        bool reset;
        const char* line;  // what the receiver reports (the reset case reads by hand)
        bool error;        // the line goes to standard error
    } cases[] = {
        {"close inside the header", 10, false, "Couldn't read a complete header. Closing connection.", true},
        {"close inside the payload", 40, false, "Connection closed by server.", false},
        {"reset inside the payload", 40, true, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Listener server;
        CSCommsInterfaceTCP t;
        ASSERT_TRUE(t.open(loopback(), server.port()));
        server.accept();
        server.send(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(c.sent)));
        if (c.reset) {
            // The reset must not overtake the bytes: wait until they are read.
            RawMessage first;
            ASSERT_EQ(t.read(32, first), ReadResult::Received);
            ASSERT_EQ(first.size(), 32u);
            server.closePeer(true);
            RawMessage rest;
            EXPECT_EQ(t.read(static_cast<int>(payloadBytes.size()), rest), ReadResult::Received);
            EXPECT_EQ(rest.size(), c.sent - 32);
            EXPECT_EQ(t.read(4, rest), ReadResult::Closed);
            int sent = 0;
            for (int i = 0; i < 100 && sent >= 0; ++i) sent = t.write(holding(whole));
            EXPECT_EQ(sent, -1);
            EXPECT_NE(t.lastError(), 0);
            continue;
        }
        server.closePeer(false);
        Lines lines;
        const LogSink sink = lines.sink();
        FrameReceiver receiver;
        auto outcome = FrameReceiver::Outcome::Open;
        for (int i = 0; i < 4 && outcome == FrameReceiver::Outcome::Open; ++i)
            outcome = receiver.receive(t, &sink, [](const RawMessage&) { return true; });
        EXPECT_EQ(outcome, FrameReceiver::Outcome::Lost);
        EXPECT_EQ(lines.all(c.error), std::vector<std::string>{c.line});
        EXPECT_TRUE(lines.all(!c.error).empty());
        RawMessage after;
        EXPECT_EQ(t.read(4, after), ReadResult::Closed);
    }
}

// Another thread writes (as the flow-control thread does) while the receiving thread
// closes and reopens the link: a socket number is never closed, and given to the next
// connection, under a send in progress. ThreadSanitizer reports such a close as a race.
TEST(TcpTransport, CloseWaitsForAWriteInProgress) {
    Listener server;
    std::atomic<bool> serving{true};
    std::thread acceptor([&] {
        while (serving.load()) server.accept();  // the peers pile up until the end
    });
    CSCommsInterfaceTCP t;
    std::atomic<bool> writing{true};
    std::atomic<int> writes{0};
    std::thread writer([&] {
        const RawMessage frame = holding(Bytes(512, 0x5A));
        while (writing.load()) {
            t.write(frame);
            ++writes;
        }
    });
    for (int round = 0; round < 200; ++round) {
        ASSERT_TRUE(t.open(loopback(), server.port()));
        t.close();
    }
    writing = false;
    writer.join();
    serving = false;
    ASSERT_TRUE(t.open(loopback(), server.port()));  // wakes the last accept
    acceptor.join();
    EXPECT_GT(writes.load(), 0);
}

}  // namespace
