// The unit link's socket as the operating system sees it.
#include "adaptor_json/unit_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/loopback.h"

namespace {

// The streaming thread writes VitalsData and WaveformData back to back: with Nagle's
// algorithm on, the second small frame could wait for the unit's delayed
// acknowledgement of the first.
TEST(UnitLinkSocket, NagleIsOffOnTheUnitSocket) {
    const std::string address = halvex::test::Loopback(halvex::test::LoopbackBlock::AdaptorJsonLink).host(0);
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in unit{};
    unit.sin_family = AF_INET;
    unit.sin_addr.s_addr = inet_addr(address.c_str());
    socklen_t length = sizeof unit;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&unit), sizeof unit), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&unit), &length), 0);

    halvex::adaptor_json::UnitLink link;
    link.connect({boost::asio::ip::make_address(address), ntohs(unit.sin_port)});
    ASSERT_TRUE(link.isUp());

    // The link's socket is the one descriptor of this process connected to the unit
    // (the listener has not accepted, so no descriptor holds the other end).
    int found = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0 || peer.sin_family != AF_INET ||
            peer.sin_addr.s_addr != unit.sin_addr.s_addr || peer.sin_port != unit.sin_port)
            continue;
        ++found;
        int noDelay = 0;
        socklen_t optionSize = sizeof noDelay;
        ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &optionSize), 0);
        EXPECT_NE(noDelay, 0);
    }
    EXPECT_EQ(found, 1);
    link.shutdown();
    ::close(listener);
}

}  // namespace
