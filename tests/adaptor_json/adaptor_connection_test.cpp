// The connection procedure, the last-connected-address file and reading answers.
#include "adaptor_json/halvex_adaptor.h"

#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "tests/adaptor_json/adaptor_test_support.h"
#include "tests/support/console_capture.h"
#include "tests/support/loopback.h"

namespace {

using adaptor_test::framesReceived;
using adaptor_test::HalvexAdaptor;
using adaptor_test::startUnit;
using adaptor_test::StoreFolder;
using halvex::controller::LastAddressStore;
using halvex::test::ConsoleCapture;
using namespace std::chrono_literals;

constexpr auto kLong = 5s;

const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::AdaptorJsonConnection);

void writeFile(const std::string& name, const std::string& text) { std::ofstream(name, std::ios::binary) << text; }

std::string readFile(const std::string& name) {
    std::ifstream file(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(AdaptorInitialize, EmptyAddressRaisesTheAssertionBeforeAnyAttempt) {
    StoreFolder folder;
    const std::regex report(
        "We've got a problem, you reached here\\.: Unreachable code assertion failed in file "
        "'halvex_adaptor\\.cpp:([0-9]+)'");
    int lines[2] = {0, 0};
    for (int withRange = 0; withRange < 2; ++withRange) {
        HalvexAdaptor adaptor(folder.store);
        ConsoleCapture console;
        try {
            adaptor.initialize("", "", withRange ? "127.0.4.1" : "", withRange ? "127.0.4.9" : "", false);
            ADD_FAILURE() << "no exception";
        } catch (const halvex::adaptor_json::AssertionFailureException& error) {
            std::smatch match;
            const std::string text = error.what();
            ASSERT_TRUE(std::regex_match(text, match, report)) << text;
            lines[withRange] = std::stoi(match[1]);
            EXPECT_EQ(error.condition(), "false");
        }
        EXPECT_EQ(console.out(), "HX>Initialization of the Halvex adapter...\n");
        EXPECT_TRUE(std::regex_match(console.err(), std::regex("We've got a problem.*'\n"))) << console.err();
    }
    EXPECT_NE(lines[0], lines[1]);  // the range check is a check of its own
}

TEST(AdaptorInitialize, TextThatIsNoAddressFailsBeforeAnyAttempt) {
    StoreFolder folder;
    HalvexAdaptor adaptor(folder.store);
    ConsoleCapture console;
    EXPECT_THROW(adaptor.initialize("", "unit.local", "", "", false), boost::system::system_error);
    EXPECT_NE(console.out().find("Fixed IP configured: unit.local\n"), std::string::npos) << console.out();
    EXPECT_EQ(console.out().find("Connecting to "), std::string::npos) << console.out();
}

TEST(AdaptorInitialize, RefusingUnitGivesUpAfterTenCyclesOfTenAttempts) {
    StoreFolder folder;
    const std::string file = folder.store->filePath();
    const std::string remembered = kNet.host(7);
    const std::string refusing = kNet.host(6);  // nothing listens there
    writeFile(file, remembered);
    HalvexAdaptor adaptor(folder.store);
    ConsoleCapture console;
    EXPECT_FALSE(adaptor.initialize("", refusing, "", "", false));
    EXPECT_FALSE(adaptor.isConnected());
    EXPECT_EQ(console.count("Loaded last connected IP " + remembered + "\n"), 1u);
    EXPECT_EQ(console.count("Fixed IP configured: " + refusing + "\n"), 10u);
    EXPECT_EQ(console.count("Connecting to " + refusing + ":14997...\n"), 100u);
    EXPECT_EQ(console.count("HalvexAdaptor::connectIP: Error occured! Error code = system:111. Message: connect: "
                            "Connection refused\n"),
              100u);
    EXPECT_EQ(console.count("HX>Failed to find or could not connect to Halvex on IP " + refusing + "\n"), 10u);
    // A failed connection does not change the remembered address.
    EXPECT_EQ(readFile(file), remembered);
}

TEST(AdaptorInitialize, SuccessRemembersTheAddressWithoutALineEnd) {
    StoreFolder folder;
    const std::string address = kNet.host(0);
    auto unit = startUnit(address);
    HalvexAdaptor adaptor(folder.store);
    ConsoleCapture console;
    EXPECT_TRUE(adaptor.initialize("", address, "", "", true));
    EXPECT_TRUE(adaptor.isConnected());
    EXPECT_NE(console.out().find("Fixed IP configured: " + address + "\nConnecting to " + address + ":14997...\nConnected.\n"),
              std::string::npos)
        << console.out();
    EXPECT_EQ(folder.store->address(), address);
    EXPECT_EQ(readFile(folder.store->filePath()), address);
}

TEST(LastConnectedAddress, LoadsOnlyExactlyOneDottedAddress) {
    StoreFolder folder;
    struct Case {
        const char* content;  // nullptr: no file
        const char* loaded;
    };
    const Case cases[] = {
        {"127.0.4.5", "127.0.4.5"},
        {"255.255.255.255", "255.255.255.255"},
        {"127.0.4.5\n", ""},
        {"", ""},
        {"::1", ""},
        {"unit", ""},
        {nullptr, ""},
    };
    LastAddressStore& store = *folder.store;
    for (const Case& c : cases) {
        std::remove(store.filePath().c_str());
        if (c.content) {
            writeFile(store.filePath(), c.content);
        }
        store.setAddress("stale");
        ConsoleCapture console;
        store.load();
        const std::string content = c.content ? c.content : "(none)";
        EXPECT_EQ(store.address(), c.loaded) << content;
        EXPECT_EQ(console.out(), *c.loaded ? std::string("Loaded last connected IP ") + c.loaded + "\n" : "")
            << content;
    }
    // Saved as the address alone, in the store's folder.
    EXPECT_TRUE(store.save("127.0.4.6"));
    EXPECT_EQ(readFile(folder.folder.file(LastAddressStore::kFileName)), "127.0.4.6");
    EXPECT_FALSE(LastAddressStore(folder.folder.file("no-such-folder")).save("127.0.4.6"));
}

TEST(AdaptorWire, BeforeAnyConnectionWritesFailAndReadsRaise) {
    StoreFolder folder;
    HalvexAdaptor adaptor(folder.store);
    ConsoleCapture console;
    adaptor.sendMessage("{}");
    EXPECT_FALSE(adaptor.isConnected());
    EXPECT_THROW(adaptor.receiveHXResponse(), boost::system::system_error);
    const std::string out = console.out();
    EXPECT_TRUE(std::regex_search(out, std::regex("^HalvexAdaptor::writeToWire: Error occured! Error code = "
                                                  "[a-z.]+:[0-9]+\\. Message: write: .+\n")))
        << out;
    EXPECT_NE(out.find("ERROR: Exception thrown within receiveHXResponse!\nread_until: "), std::string::npos) << out;
}

TEST(AdaptorWire, FramesOutAndAnswersBackToBackInOneRead) {
    StoreFolder folder;
    const std::string address = kNet.host(1);
    auto unit = startUnit(address);
    HalvexAdaptor adaptor(folder.store);
    ConsoleCapture console;
    ASSERT_TRUE(adaptor.initialize("", address, "", "", false));
    adaptor.setVerbose();
    ASSERT_TRUE(unit->waitForConnections(1, kLong));
    ASSERT_TRUE(unit->sendRaw("\x02" "0002{}\x03\x02" "0007{\"a\":1}\x03"));
    EXPECT_EQ(adaptor.sendAndReceive("{\"q\":1}"), "0002{}");
    EXPECT_EQ(adaptor.receiveHXResponse(), "0007{\"a\":1}");
    adaptor.sendCalSelect();
    const std::string calSelect =
        "{\"MessageType\":\"CalSelect\",\"Message\":{\"calName\":\"Default Temperature\",\"calType\":\"Temp\"}}";
    ASSERT_TRUE(unit->waitForFrames(2, kLong));
    const auto frames = framesReceived(*unit);
    EXPECT_EQ(frames[0], "\x02" "0007{\"q\":1}\x03");
    EXPECT_EQ(frames[1], "\x02" "0088" + calSelect + "\x03");
    // Only sendMessage traces, with the time of day.
    const std::string out = console.out();
    EXPECT_TRUE(std::regex_search(out, std::regex("\n[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}: \\[" +
                                                  std::regex_replace(calSelect, std::regex("[{}\\[\\]]"), "\\$&") +
                                                  "\\]\n$")))
        << out;
    EXPECT_EQ(out.find("{\"q\":1}"), std::string::npos);
}

TEST(AdaptorWire, ANewConnectionStartsWithAnEmptyReceiveBuffer) {
    StoreFolder folder;
    const std::string address = kNet.host(2);
    auto unit = startUnit(address);
    HalvexAdaptor adaptor(folder.store);
    ConsoleCapture console;
    ASSERT_TRUE(adaptor.initialize("", address, "", "", false));
    ASSERT_TRUE(unit->waitForConnections(1, kLong));
    ASSERT_TRUE(unit->sendRaw("\x02" "0002{}\x03\x02" "0010{\"half"));  // an answer and half of the next one
    EXPECT_EQ(adaptor.receiveHXResponse(), "0002{}");
    ASSERT_TRUE(adaptor.initialize("", address, "", "", false));
    ASSERT_TRUE(unit->waitForConnections(2, kLong));
    ASSERT_TRUE(unit->sendRaw("\x02" "0002[]\x03"));
    EXPECT_EQ(adaptor.receiveHXResponse(), "0002[]");
}

TEST(AdaptorWire, ReadErrorsReachTheCallerAndLeaveTheConnectionFlag) {
    StoreFolder folder;
    const std::string address = kNet.host(3);
    auto unit = startUnit(address);
    HalvexAdaptor adaptor(folder.store);
    ConsoleCapture console;
    ASSERT_TRUE(adaptor.initialize("", address, "", "", false));
    ASSERT_TRUE(unit->waitForConnections(1, kLong));
    ASSERT_TRUE(unit->sendRaw("\x03"));  // a frame end with no frame start
    EXPECT_THROW(adaptor.receiveHXResponse(), std::out_of_range);
    unit->resetConnection();
    try {
        adaptor.receiveHXResponse();
        ADD_FAILURE() << "no error";
    } catch (const boost::system::system_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("read_until", 0), 0u) << error.what();
    }
    EXPECT_TRUE(adaptor.isConnected());
    EXPECT_EQ(console.count("ERROR: Exception thrown within receiveHXResponse!\n"), 2u) << console.out();
}

// A unit that reads requests and never answers costs the answer limit, not the thread:
// bracketed by an answer that comes within it.
TEST(AdaptorExchanges, SilentUnitRaisesAfterTheAnswerLimit) {
    StoreFolder folder;
    const std::string address = kNet.host(5);
    auto unit = startUnit(address);
    halvex::adaptor_json::LinkLimits limits;
    limits.answer = 300ms;
    HalvexAdaptor adaptor(folder.store, limits);
    ConsoleCapture console;
    ASSERT_TRUE(adaptor.initialize("", address, "", "", false));
    unit->setSilent(true);
    try {
        adaptor.sendRequestNetworkStatus();
        ADD_FAILURE() << "no error";
    } catch (const boost::system::system_error& error) {
        EXPECT_EQ(error.code(), boost::asio::error::timed_out);
        EXPECT_EQ(std::string(error.what()).rfind("read_until: no answer from the unit within 300 ms", 0), 0u)
            << error.what();
    }
    EXPECT_TRUE(adaptor.isConnected());
    unit->setSilent(false);
    unit->setAnswerDelay(100ms);
    const std::string status = adaptor.sendRequestNetworkStatus();
    EXPECT_NE(status.find("\"MessageType\":\"NetworkStatusData\""), std::string::npos) << status;
    EXPECT_EQ(console.count("ERROR: Exception thrown within receiveHXResponse!\nread_until: no answer"), 1u)
        << console.out();
}

TEST(AdaptorExchanges, CalListSkipsAnswersOfTheWrongKind) {
    StoreFolder folder;
    const std::string address = kNet.host(4);
    auto unit = startUnit(address);
    HalvexAdaptor adaptor(folder.store);
    ConsoleCapture console;
    ASSERT_TRUE(adaptor.initialize("", address, "", "", false));
    ASSERT_TRUE(unit->waitForConnections(1, kLong));
    unit->setSilent(true);
    const std::string co2 = "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"CO2\"}}";
    const std::string status = "{\"MessageType\":\"NetworkStatusData\",\"Message\":{}}";
    const std::string spo2 = "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"SpO2\",\"names\":[]}}";
    auto frame = [](const std::string& json) {
        std::string length = std::to_string(json.size());
        return "\x02" + std::string(4 - length.size(), '0') + length + json + "\x03";
    };
    ASSERT_TRUE(unit->sendRaw(frame(co2) + frame(status) + frame(spo2)));
    EXPECT_EQ(adaptor.sendRequestStoredCalibrationNamesSpO2(), spo2);
    const std::string out = console.out();
    EXPECT_NE(out.find("sendRequestStoredCalibrationNamesSpO2 Re-request: CO2 cal result received by mistake...\n" +
                       co2 + "\nre-reading incoming messages\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("sendRequestStoredCalibrationNamesSpO2 Re-request: something other than cal message "
                       "received; something else..\n" +
                       status + "\nre-reading incoming messages\n"),
              std::string::npos)
        << out;
    ASSERT_TRUE(unit->waitForFrames(1, kLong));
    EXPECT_EQ(framesReceived(*unit)[0],
              frame("{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"SpO2\"}}"));
}

}  // namespace
