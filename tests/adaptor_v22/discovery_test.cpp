// Discovery and identification: fixed address, range, broadcast through injected
// local addresses (127.x only), and the last-connected-address file.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/adaptor_v22/v22_test_support.h"
#include "tests/support/console_capture.h"

namespace {

using halvex::platform::Channel;
using halvex::test::ConsoleCapture;
using namespace v22test;

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Discovery : public UnitFixture {
protected:
    halvex::adaptor_v22::AdaptorOptions oneAttempt(const Block& net) {
        auto options = optionsFor(net);
        options.discovery.attempts = 1;
        options.discovery.fixedBudget = 2;
        return options;
    }
};

TEST_F(Discovery, EmptySerialTakesTheFirstUnit) {
    startUnit({50});
    ConsoleCapture console;
    auto adaptor = makeAdaptor();
    ASSERT_TRUE(adaptor->initialize("", Block{50}.unit(), "", "", false));
    EXPECT_EQ(adaptor->serialId(), kSerial);
    EXPECT_EQ(adaptor->unitAddress(), Block{50}.unit());
    EXPECT_EQ(console.lines(Channel::Out),
              (std::vector<std::string>{"HX>Initialization of the Halvex adapter...",
                                        "Fixed IP configured: " + Block{50}.unit(),
                                        std::string("HX>Found Halvex with serial Id: ") + kSerial +
                                            " at endpoint: " + Block{50}.unit(),
                                        std::string("HX>SerialId not provided, connecting to first Halvex: ") +
                                            kSerial}));
    EXPECT_EQ(fileText(store->filePath()), Block{50}.unit());
}

TEST_F(Discovery, SerialIdsMatchExactly) {
    startUnit({51});
    struct Case {
        const char* unitSerial;
        bool taken;
    } cases[] = {{"AB12", false}, {"ab123", false}, {"ab12", true}};
    for (const Case& c : cases) {
        unit->setIdentitySerial(std::string(c.unitSerial));
        ConsoleCapture console;
        auto adaptor = makeAdaptor(oneAttempt({51}));
        EXPECT_EQ(adaptor->initialize("ab12", Block{51}.unit(), "", "", false), c.taken) << c.unitSerial;
        EXPECT_EQ(adaptor->found(), c.taken);
        EXPECT_EQ(adaptor->hasTransport(), c.taken) << "a failed identification releases the transport";
        EXPECT_TRUE(console.out().find(std::string("HX>Found Halvex with serial Id: ") + c.unitSerial) !=
                    std::string::npos)
            << console.out();
        const std::string outcome = c.taken ? "HX>Found Halvex with requested SerialId: ab12"
                                            : "HX>Failed to find Halvex on IP " + Block{51}.unit() +
                                                  " with SerialId: ab12";
        EXPECT_TRUE(console.out().find(outcome) != std::string::npos) << console.out();
    }
}

TEST_F(Discovery, ReplyWithoutSerialIsNeitherAUnitNorATimeOut) {
    startUnit({52});
    // Our own request heard back at once, then the unit's answer after several waits.
    unit->overrideReply("ID", {{"[ID]Halvex v2.2@"}, {"Halvex v2.2:LATE7@", 200ms}});
    auto options = oneAttempt({52});
    options.discovery.fixedBudget = 1;
    options.transport.waits.polls = 60;  // one wait: 300 ms
    auto adaptor = makeAdaptor(options);
    EXPECT_TRUE(adaptor->initialize("", Block{52}.unit(), "", "", false));
    EXPECT_EQ(adaptor->serialId(), "LATE7");
}

TEST_F(Discovery, ChatteringPeerEndsTheIdentification) {
    startUnit({53});
    // Another unit keeps answering for 20 s: replies that do not match count towards
    // the limit, not the budget.
    std::vector<halvex::emulators::unit_v22::Reply> chatter;
    for (int i = 0; i < 1000; ++i)
        chatter.push_back({"Halvex v2.2:OTHER@", std::chrono::milliseconds(20 * i)});
    unit->overrideReply("ID", chatter);
    ConsoleCapture console;
    auto options = oneAttempt({53});
    options.discovery.ignoredReplies = 5;
    auto adaptor = makeAdaptor(options);
    EXPECT_FALSE(adaptor->initialize("MINE", Block{53}.unit(), "", "", false));
    EXPECT_EQ(console.count("HX>Found Halvex with serial Id: OTHER"), 5u);
}

TEST_F(Discovery, RangeTriesTheLastAddressBeforeEveryRangeAddress) {
    startUnit({54});  // nobody answers on the range or the last address: hosts 9, 21..23
    const Block net{54};
    dir.write(halvex::controller::LastAddressStore::kFileName, net.host(9));
    ConsoleCapture console;
    auto options = optionsFor(net);
    options.discovery.attempts = 1;
    auto adaptor = makeAdaptor(options);
    EXPECT_FALSE(adaptor->initialize("", "", net.host(21), net.host(23), false));
    std::vector<std::string> order;
    for (const std::string& line : console.lines(Channel::Out))
        if (line.rfind("Trying last successful IP address ", 0) == 0 || line.rfind("Scanning ", 0) == 0)
            order.push_back(line.substr(line.rfind(' ') + 1));
    EXPECT_EQ(order, (std::vector<std::string>{net.host(9), net.host(21), net.host(9), net.host(22), net.host(9),
                                               net.host(23)}));
    EXPECT_EQ(console.count("Loaded last connected IP " + net.host(9)), 1u);
    EXPECT_EQ(console.count("Range of IPs configured: " + net.host(21) + " to " + net.host(23)), 1u);
}

TEST_F(Discovery, RangeFindsTheUnitAndRemembersItsAddress) {
    startUnit({55});  // the unit is host 2, the range 1..3
    const Block net{55};
    auto adaptor = makeAdaptor();
    ASSERT_TRUE(adaptor->initialize(kSerial, "", net.host(1), net.host(3), false));
    EXPECT_EQ(adaptor->unitAddress(), net.unit());
    EXPECT_EQ(fileText(store->filePath()), net.unit());
}

TEST_F(Discovery, RangeWhoseStartIsNotBelowItsEndIsRefused) {
    startUnit({56});
    const Block net{56};
    auto adaptor = makeAdaptor();
    EXPECT_THROW(adaptor->initialize("", "", net.host(3), net.host(3), false), halvex::adaptor_v22::InvalidRangeError);
    EXPECT_THROW(adaptor->initialize("", "", net.host(4), net.host(3), false), halvex::adaptor_v22::InvalidRangeError);
    EXPECT_THROW(adaptor->initialize("", "", "10.0.0.x", net.host(3), false), boost::system::system_error);
    EXPECT_STREQ(halvex::adaptor_v22::InvalidRangeError().what(), "IP Range incorrect, end address > start address");
}

TEST_F(Discovery, BroadcastReachesTheUnitThenTalksToItsOwnAddress) {
    // This machine "has" the addresses below, one of them in a net of the test's own;
    // the unit also listens on that net's broadcast address and answers from its own
    // address, host 2 of run 57.
    const halvex::test::Loopback otherNet(halvex::test::LoopbackBlock::AdaptorV22OtherNet);
    const std::string local = otherNet.host(5);
    const std::string broadcast = otherNet.host(otherNet.size() - 1);  // the net is a /16
    startUnit({57}, {broadcast});
    ConsoleCapture console;
    auto options = optionsFor({57});
    options.localAddresses = halvex::adaptor_v22::fixedLocalAddresses({"fe80::1", local});
    auto adaptor = makeAdaptor(options);
    ASSERT_TRUE(adaptor->initialize(kSerial, "", "", "", false));
    EXPECT_EQ(console.count("UDP broadcast detection"), 1u);
    EXPECT_EQ(console.count("HX>Pinging "), 1u);
    EXPECT_EQ(console.count("HX>Pinging " + broadcast), 1u);
    EXPECT_EQ(adaptor->unitAddress(), Block{57}.unit());
    EXPECT_EQ(fileText(store->filePath()), broadcast);

    // The link now goes to the unit's own address, not the broadcast address (which
    // got the broadcast transport's "[STOPME]@", on a socket of its own).
    const auto ids = idCount();
    adaptor->checkAssociation();
    ASSERT_TRUE(unit->waitForCommand("ID", ids + 1, 5s));
    std::vector<std::string> idsTo;
    for (const auto& d : unit->datagramsReceived())
        if (d.text == "[ID]Halvex v2.2@")
            idsTo.push_back(d.to);
    EXPECT_EQ(idsTo, (std::vector<std::string>{broadcast, Block{57}.unit()}));
}

TEST_F(Discovery, NoLocalAddressesMeansNoBroadcast) {
    startUnit({58});
    ConsoleCapture console;
    auto options = optionsFor({58});
    options.discovery.attempts = 2;
    options.localAddresses = [] { return std::optional<std::vector<std::string>>(); };
    auto adaptor = makeAdaptor(options);
    EXPECT_FALSE(adaptor->initialize("", "", "", "", false));
    EXPECT_EQ(console.count("HX>Unable to find a network interface...", Channel::Err), 2u);
    EXPECT_EQ(console.count("UDP broadcast detection"), 2u);
}

TEST_F(Discovery, SilentFixedAddressGivesUpAfterItsAttempts) {
    startUnit({59});
    unit->setSilent(true);
    ConsoleCapture console;
    auto options = optionsFor({59});
    options.discovery.attempts = 3;
    options.discovery.fixedBudget = 1;
    auto adaptor = makeAdaptor(options);
    EXPECT_FALSE(adaptor->initialize("", Block{59}.unit(), "", "", false));
    EXPECT_EQ(console.count("HX>Failed to find any Halvex on IP " + Block{59}.unit()), 3u);
    EXPECT_FALSE(adaptor->hasTransport());
}

}  // namespace
