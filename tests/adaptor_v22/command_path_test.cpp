// The fire-and-forget path with its batches, and the request-and-reply path.
#include <gtest/gtest.h>

#include "adaptor_v22/command_path.h"
#include "tests/adaptor_v22/v22_test_support.h"
#include "tests/support/console_capture.h"

namespace {

using halvex::platform::Channel;
using halvex::test::ConsoleCapture;
using halvex::adaptor_v22::CommandPath;
using namespace v22test;

class CommandPathTest : public UnitFixture {
protected:
    std::unique_ptr<CommandPath> openPath(const Block& net) {
        halvex::adaptor_v22::TransportOptions options;
        options.localAddress = net.bridge();
        auto path = std::make_unique<CommandPath>(options);
        path->openTransport(net.unit());
        return path;
    }
};

TEST_F(CommandPathTest, NothingFireAndForgetLeavesWhileNotEnabledButQueriesDo) {
    startUnit({30});
    auto adaptor = foundAdaptor(false);
    const std::size_t from = mark();
    adaptor->sendHeartRate(72);
    adaptor->beginBatch();
    adaptor->sendRespirationRate(12);
    std::vector<float> pleth{10, 20, 30, 40, 50};
    adaptor->sendPlethWave(pleth);
    adaptor->flushBatch();
    EXPECT_EQ(textsBeforeMarker(*adaptor, from), std::vector<std::string>{});
}

TEST_F(CommandPathTest, BatchLeavesAtTheLimitOrAtFlush) {
    startUnit({31});
    ConsoleCapture console;
    auto path = openPath({31});
    path->setEnabled(true);
    path->setVerbose();
    const std::string c220 = std::string(215, '1');   // [HR] + 215 + @ = 220 characters
    const std::string c215 = std::string(210, '1');   // 215 characters
    const std::string c15 = std::string(10, '2');     // [RR] + 10 + @ = 15 characters
    struct Case {
        const char* what;
        std::vector<std::string> payloads;
        std::vector<std::size_t> lengths;  // of the datagrams, in order
    } cases[] = {
        {"220 pending and 15 more: the 220 leave first", {c220, c15}, {220, 15}},
        {"215 and 15 make 230: one datagram", {c215, c15}, {230}},
        {"a command longer than the limit travels alone", {c15, std::string(240, '3'), c15}, {15, 245, 15}},
        {"small commands: one datagram", {"72", "12", "97"}, {21}},
    };
    for (const Case& c : cases) {
        const std::size_t from = mark();
        const std::size_t sendingBefore = console.count("HX>Sending: ");
        path->beginBatch();
        path->beginBatch();  // a second begin keeps the open batch
        for (std::size_t i = 0; i < c.payloads.size(); ++i)
            path->sendCommand(i % 2 == 0 ? "HR" : "RR", c.payloads[i]);
        // Nothing has left before the limit: only the datagrams that had to.
        path->queryCommand("ID", "Halvex v2.2");
        ASSERT_TRUE(unit->waitForDatagrams(from + c.lengths.size(), 5s)) << c.what;
        path->flushBatch();
        const auto texts = textsSince(from, c.lengths.size() + 1);
        ASSERT_EQ(texts.size(), c.lengths.size() + 1) << c.what;
        std::vector<std::size_t> lengths;
        for (const std::string& t : texts)
            if (t != "[ID]Halvex v2.2@")
                lengths.push_back(t.size());
        EXPECT_EQ(lengths, c.lengths) << c.what;
        EXPECT_EQ(texts[c.lengths.size() - 1], "[ID]Halvex v2.2@") << c.what << ": the last part leaves at flush";
        // One trace line per datagram and one for the query.
        EXPECT_EQ(console.count("HX>Sending: ") - sendingBefore, c.lengths.size() + 1) << c.what;
    }
    path->flushBatch();  // no batch open: nothing
    EXPECT_FALSE(path->batchOpen());
}

TEST_F(CommandPathTest, VerboseTracesEachDatagramOnce) {
    startUnit({32});
    auto adaptor = foundAdaptor(true);
    ConsoleCapture console;
    adaptor->setVerbose();
    adaptor->beginBatch();
    adaptor->sendHeartRate(72);
    adaptor->sendRespirationRate(12);
    adaptor->flushBatch();
    adaptor->sendSpO2(97);
    adaptor->checkAssociation();
    EXPECT_EQ(console.lines(Channel::Out),
              (std::vector<std::string>{"HX>Sending: [HR]72@[RR]12@", "HX>Sending: [SPO2]97@",
                                        "HX>Sending: [ID]Halvex v2.2@"}));
}

TEST_F(CommandPathTest, QueryWithoutTransportSendsNothingAndReturnsEmpty) {
    CommandPath path({});
    path.setEnabled(true);
    EXPECT_EQ(path.queryCommand("ID", "Halvex v2.2"), "");
    path.sendCommand("HR", "72");
    path.beginBatch();
    path.sendCommand("HR", "72");
    path.flushBatch();
    EXPECT_FALSE(path.hasTransport());
}

}  // namespace
