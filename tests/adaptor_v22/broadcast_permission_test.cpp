// Sending to a broadcast address needs the permission on the socket. The loopback
// interface's own broadcast address is used; the test is serialised because every
// socket bound to all addresses on port 14996 (a bridge under test) also hears it.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "adaptor_v22/udp_transport.h"
#include "tests/adaptor_v22/v22_test_support.h"

namespace {

using namespace v22test;

TEST(BroadcastPermission, DatagramToTheLoopbackBroadcastAddressLeaves) {
    const Block net{78};
    const std::string broadcast = "127.255.255.255";
    halvex::emulators::unit_v22::UnitEmulator::Options unitOptions;
    unitOptions.address = net.unit();
    unitOptions.alsoListenOn = {broadcast};
    halvex::emulators::unit_v22::UnitEmulator unit(unitOptions);
    unit.start();

    boost::asio::io_context io;
    halvex::adaptor_v22::TransportOptions options;
    options.localAddress = net.bridge();
    halvex::adaptor_v22::UdpAdaptor transport(io, broadcast, options);
    transport.startReceiving();
    transport.send("[ID]Halvex v2.2@");
    std::string reply, sender;
    ASSERT_TRUE(transport.waitReplyWithSender(reply, sender));
    EXPECT_EQ(reply, std::string("Halvex v2.2:") + halvex::emulators::unit_v22::kDefaultSerialId + "@");
    EXPECT_EQ(sender, net.unit());
}

}  // namespace
