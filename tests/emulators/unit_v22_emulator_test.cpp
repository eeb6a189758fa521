// The stand-in v2.2 unit: its command parser, what it answers, and the program.
#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include <signal.h>

#include "emulators/unit_v22/unit_model.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace {

using namespace halvex::emulators::unit_v22;
using namespace std::chrono_literals;

TEST(UnitV22Parser, SplitsDatagramsIntoCommands) {
    struct Case {
        std::string text;
        std::vector<std::string> words;
        std::vector<std::string> payloads;
        std::size_t malformed;
    } cases[] = {
        {"[HR]72@[RR]10@", {"HR", "RR"}, {"72", "10"}, 0},
        {"[ENABLE]@", {"ENABLE"}, {""}, 0},
        {"[PLETH]10,27,43@", {"PLETH"}, {"10,27,43"}, 0},
        {"HR72@[]1@[T1]37.0", {}, {}, 3},
        {"", {}, {}, 0},
    };
    for (const Case& c : cases) {
        const ParsedDatagram parsed = parseDatagram(c.text);
        std::vector<std::string> words, payloads;
        for (const Command& command : parsed.commands) {
            words.push_back(command.word);
            payloads.push_back(command.payload);
        }
        EXPECT_EQ(words, c.words) << c.text;
        EXPECT_EQ(payloads, c.payloads) << c.text;
        EXPECT_EQ(parsed.malformed, c.malformed) << c.text;
    }
}

TEST(UnitV22Model, AnswersTheExchangesInTheirOrder) {
    UnitModel model("SN1");
    struct Step {
        std::string datagram;
        std::vector<std::string> replies;
    } steps[] = {
        {"[HR]72@", {}},
        {"[ID]Halvex v2.2@", {"Halvex v2.2:SN1@"}},
        {"[ASSOC]SN2@", {"[assoc]refused@"}},
        {"[ENABLE]@", {"[enable]refused@"}},
        {"[ASSOC]SN1@", {"[assoc]@"}},
        {"[ID]Halvex v2.2@", {"[id]associated@"}},
        {"[ENABLE]@", {"[enabled]@"}},
        {"[WDT]1@", {"[wdt]ok@"}},
        {"[HR]80@[ABP]1,2,3@", {}},
        {"[DISABLE]@", {"[disabled]@"}},
        {"[HR]90@", {}},
        {"[ID]Halvex v2.2@[STOPME]@", {"Halvex v2.2:SN1@"}},
    };
    for (const Step& step : steps) {
        std::vector<std::string> replies;
        for (const Reply& r : model.receive(step.datagram, Clock::now()))
            replies.push_back(r.text);
        EXPECT_EQ(replies, step.replies) << step.datagram;
    }
    const UnitStats& stats = model.stats();
    EXPECT_EQ(stats.values.at("HR"), "80") << "only values received while enabled count";
    EXPECT_EQ(stats.ignoredWhileDisabled, 2u);
    EXPECT_EQ(stats.waves.at("ABP").samples, 3u);
    EXPECT_EQ(stats.commandCounts.at("STOPME"), 1u);
    EXPECT_FALSE(stats.associated);
}

const std::string kProgram = UNIT_EMULATOR_V22_PROGRAM;

TEST(UnitV22Program, RefusesAddressesOutsideLoopbackAndTheBridgesOwn) {
    for (const char* address : {"10.0.0.1", "127.0.0.1", "localhost"}) {
        halvex::test::ChildProcess program({kProgram, "--address", address});
        EXPECT_EQ(program.wait(10s), 1) << address;
        EXPECT_NE(program.err().find("refusing"), std::string::npos) << program.err();
    }
}

TEST(UnitV22Program, AnswersAndReportsWhatItReceived) {
    const halvex::test::Loopback net(halvex::test::LoopbackBlock::UnitV22Emulator);
    const std::string client = net.host(0), unitAddress = net.host(1);
    halvex::test::ChildProcess program({kProgram, "--address", unitAddress, "--serial", "P-7"});
    ASSERT_TRUE(program.waitForText("listening on " + unitAddress, 10s)) << program.err();

    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket(io, boost::asio::ip::udp::endpoint(
                                                boost::asio::ip::make_address_v4(client), 0));
    const boost::asio::ip::udp::endpoint unit(boost::asio::ip::make_address_v4(unitAddress), 14996);
    auto exchange = [&](const std::string& text) {
        socket.send_to(boost::asio::buffer(text), unit);
        // Bounded: no answer within 5 s gives an empty text.
        char buffer[300];
        boost::asio::ip::udp::endpoint from;
        std::string reply;
        socket.async_receive_from(boost::asio::buffer(buffer), from,
                                  [&](const boost::system::error_code& error, std::size_t n) {
                                      if (!error)
                                          reply.assign(buffer, n);
                                  });
        io.restart();
        io.run_for(5s);
        if (!io.stopped())
            socket.cancel();
        io.restart();
        io.run_for(1s);
        return reply;
    };
    EXPECT_EQ(exchange("[ID]Halvex v2.2@"), "Halvex v2.2:P-7@");
    EXPECT_EQ(exchange("[ASSOC]P-7@"), "[assoc]@");
    EXPECT_EQ(exchange("[ENABLE]@"), "[enabled]@");
    socket.send_to(boost::asio::buffer(std::string("[HR]72@[PLETH]10,27,43@")), unit);
    EXPECT_EQ(exchange("[WDT]1@"), "[wdt]ok@");
    ASSERT_TRUE(program.waitForText("WDT 1", 10s)) << program.out();

    program.kill(SIGTERM);
    EXPECT_EQ(program.wait(10s), 0);
    const std::string out = program.out();
    EXPECT_NE(out.find("HR 72, PLETH x3"), std::string::npos) << out;
    EXPECT_NE(out.find("heart rate: 72\n"), std::string::npos) << out;
    EXPECT_NE(out.find("wave pleth: 3 samples"), std::string::npos) << out;
    EXPECT_NE(out.find("state: associated, enabled, watchdog on"), std::string::npos) << out;
}

}  // namespace
