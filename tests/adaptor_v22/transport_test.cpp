// UdpAdaptor against the unit stand-in, each test on its own loopback addresses.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "adaptor_v22/udp_transport.h"
#include "tests/adaptor_v22/v22_test_support.h"
#include "tests/support/console_capture.h"
#include "tests/support/wait.h"

namespace {

using halvex::adaptor_v22::TransportOptions;
using halvex::adaptor_v22::UdpAdaptor;
using namespace v22test;

class Transport : public UnitFixture {
protected:
    std::unique_ptr<UdpAdaptor> open(const Block& net, halvex::adaptor_v22::ReplyWaits waits = {}) {
        TransportOptions options;
        options.localAddress = net.bridge();
        options.waits = waits;
        auto transport = std::make_unique<UdpAdaptor>(io, net.unit(), options);
        transport->startReceiving();
        return transport;
    }
    // Sends a request the unit answers, so it knows where to send raw datagrams.
    void greet(UdpAdaptor& transport) {
        transport.send("[WDT]1@");
        ASSERT_EQ(transport.waitReply(), "[wdt]ok@");
    }
    static bool waitForReplies(const UdpAdaptor& transport, std::uint64_t count) {
        return halvex::test::eventually([&] { return transport.repliesReceived() >= count; }, 5s, 1ms);
    }

    boost::asio::io_context io;
};

TEST_F(Transport, SplitReplyIsJoinedAndTheSenderReported) {
    startUnit({1});
    auto transport = open({1});
    unit->setSplitReplies(true);
    transport->send("[ID]Halvex v2.2@");
    std::string reply, sender;
    ASSERT_TRUE(transport->waitReplyWithSender(reply, sender));
    EXPECT_EQ(reply, std::string("Halvex v2.2:") + kSerial + "@");
    EXPECT_EQ(sender, Block{1}.unit());
}

TEST_F(Transport, RawDatagramsFromTheUnit) {
    startUnit({2});
    auto transport = open({2});
    greet(*transport);
    struct Case {
        const char* what;
        std::vector<std::string> datagrams;
        std::string reply;
    } cases[] = {
        {"two replies in one datagram: the first", {"[assoc]@[enabled]@"}, "[assoc]@"},
        {"300 bytes: the first 250, joined", {std::string(299, 'y') + "@", "@"}, std::string(250, 'y') + "@"},
        {"a NUL in the middle", {std::string("[as\0zz@", 7), "soc]@"}, "[assoc]@"},
    };
    for (const Case& c : cases) {
        for (const std::string& d : c.datagrams)
            ASSERT_TRUE(unit->sendToLastSender(d));
        EXPECT_EQ(transport->waitReply(), c.reply) << c.what;
    }
}

TEST_F(Transport, TheSlotHoldsTheLatestReplyAndSendEmptiesIt) {
    startUnit({3});
    auto transport = open({3});
    greet(*transport);
    const auto before = transport->repliesReceived();
    ASSERT_TRUE(unit->sendToLastSender("[one]@"));
    ASSERT_TRUE(unit->sendToLastSender("[two]@"));
    ASSERT_TRUE(waitForReplies(*transport, before + 2));
    EXPECT_EQ(transport->waitReply(), "[two]@");

    ASSERT_TRUE(unit->sendToLastSender("[stale]@"));
    ASSERT_TRUE(waitForReplies(*transport, before + 3));
    unit->overrideReply("HR", {});  // a request the unit does not answer
    transport->send("[HR]72@");
    EXPECT_EQ(transport->waitReply(), "");
}

TEST_F(Transport, WaitsEndAtTheirBound) {
    startUnit({4});
    // Bracket: a reply 150 ms late is missed by a 60 ms wait and caught by a 300 ms one.
    unit->setAnswerDelay(150ms);
    halvex::adaptor_v22::ReplyWaits shortWaits;
    shortWaits.replyPause = 2ms;
    shortWaits.senderPause = 2ms;
    {
        auto transport = open({4}, shortWaits);
        transport->send("[WDT]1@");
        EXPECT_EQ(transport->waitReply(), "");
        transport->send("[WDT]1@");
        std::string reply, sender;
        EXPECT_FALSE(transport->waitReplyWithSender(reply, sender));
    }
    auto transport = open({4});
    transport->send("[WDT]1@");
    EXPECT_EQ(transport->waitReply(), "[wdt]ok@");
}

TEST_F(Transport, StopSendsStopTextAndANeverStartedTransportSendsNothing) {
    startUnit({5});
    TransportOptions options;
    options.localAddress = Block{5}.bridge();
    std::make_unique<UdpAdaptor>(io, Block{5}.unit(), options).reset();
    open({5}).reset();
    ASSERT_TRUE(unit->waitForCommand("STOPME", 1, 5s));
    const auto texts = textsSince(0, 1);
    EXPECT_EQ(texts, std::vector<std::string>{"[STOPME]@"});
}

TEST_F(Transport, UnterminatedFloodIsDiscardedAndReported) {
    startUnit({6});
    halvex::test::ConsoleCapture console;
    auto transport = open({6});
    greet(*transport);
    const std::string full(halvex::adaptor_v22::ReplyReader::kDatagramBytes, 'z');
    for (int i = 0; i < 17; ++i)
        ASSERT_TRUE(unit->sendToLastSender(full));
    EXPECT_TRUE(console.waitFor("HX>ERROR>Discarded", halvex::platform::Channel::Err, 5s));
    ASSERT_TRUE(unit->sendToLastSender("[assoc]@"));
    EXPECT_EQ(transport->waitReply(), "[assoc]@");
}

TEST_F(Transport, AddressesThatAreNoUnitRaise) {
    startUnit({7});
    TransportOptions options;
    options.localAddress = Block{7}.bridge();
    EXPECT_THROW(UdpAdaptor(io, "", options), boost::system::system_error);
    EXPECT_THROW(UdpAdaptor(io, "no.such.host.invalid", options), boost::system::system_error);
    // Not this machine's: the bind fails before anything could be sent.
    options.localAddress = "10.255.255.254";
    EXPECT_THROW(UdpAdaptor(io, Block{7}.unit(), options), boost::system::system_error);
}

}  // namespace
