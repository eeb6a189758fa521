// The connection procedure, the last-connected-address file and reading answers.
#include "adaptor_json/halvex_adaptor.h"

#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "loopback_unit.h"

namespace {

using adaptor_test::InTempDirectory;
using adaptor_test::LoopbackUnit;

std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

void writeFile(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
}

std::string readFile(const std::string& name) {
    std::ifstream file(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(AdaptorInitialize, EmptyAddressRaisesTheAssertionBeforeAnyAttempt) {
    InTempDirectory directory;
    const std::regex report(
        "We've got a problem, you reached here\\.: Unreachable code assertion failed in file "
        "'halvex_adaptor\\.cpp:([0-9]+)'");
    int lines[2] = {0, 0};
    for (int withRange = 0; withRange < 2; ++withRange) {
        HalvexAdaptor adaptor;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        try {
            adaptor.initialize("", "", withRange ? "127.0.4.1" : "", withRange ? "127.0.4.9" : "", false);
            ADD_FAILURE() << "no exception";
        } catch (const AssertionFailureException& error) {
            std::smatch match;
            const std::string text = error.what();
            ASSERT_TRUE(std::regex_match(text, match, report)) << text;
            lines[withRange] = std::stoi(match[1]);
            EXPECT_EQ(error.condition(), "false");
        }
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(out, "HX>Initialization of the Halvex adapter...\n");
        EXPECT_TRUE(std::regex_match(err, std::regex("We've got a problem.*'\n"))) << err;
    }
    EXPECT_NE(lines[0], lines[1]);  // the range check is a check of its own
}

TEST(AdaptorInitialize, TextThatIsNoAddressFailsBeforeAnyAttempt) {
    InTempDirectory directory;
    HalvexAdaptor adaptor;
    testing::internal::CaptureStdout();
    EXPECT_THROW(adaptor.initialize("", "unit.local", "", "", false), boost::system::system_error);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Fixed IP configured: unit.local\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Connecting to "), std::string::npos) << out;
}

TEST(AdaptorInitialize, RefusingUnitGivesUpAfterTenCyclesOfTenAttempts) {
    InTempDirectory directory;
    writeFile(HalvexAdaptor::kLastAddressFile, "127.0.4.77");
    HalvexAdaptor::setLastConnectedAddress("");
    HalvexAdaptor adaptor;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(adaptor.initialize("", "127.0.4.250", "", "", false));  // nothing listens there
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(adaptor.isConnected());
    EXPECT_EQ(countOf(out, "Loaded last connected IP 127.0.4.77\n"), 1u);
    EXPECT_EQ(countOf(out, "Fixed IP configured: 127.0.4.250\n"), 10u);
    EXPECT_EQ(countOf(out, "Connecting to 127.0.4.250:14997...\n"), 100u);
    EXPECT_EQ(countOf(out, "HalvexAdaptor::connectIP: Error occured! Error code = system:111. Message: connect: "
                           "Connection refused\n"),
              100u);
    EXPECT_EQ(countOf(out, "HX>Failed to find or could not connect to Halvex on IP 127.0.4.250\n"), 10u);
    // A failed connection does not change the remembered address.
    EXPECT_EQ(readFile(HalvexAdaptor::kLastAddressFile), "127.0.4.77");
}

TEST(AdaptorInitialize, SuccessRemembersTheAddressWithoutALineEnd) {
    InTempDirectory directory;
    LoopbackUnit unit("127.0.4.20");
    HalvexAdaptor adaptor;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(adaptor.initialize("", "127.0.4.20", "", "", true));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(adaptor.isConnected());
    EXPECT_NE(out.find("Fixed IP configured: 127.0.4.20\nConnecting to 127.0.4.20:14997...\nConnected.\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(HalvexAdaptor::lastConnectedAddress(), "127.0.4.20");
    EXPECT_EQ(readFile(HalvexAdaptor::kLastAddressFile), "127.0.4.20");
}

TEST(LastConnectedAddress, LoadsOnlyExactlyOneDottedAddress) {
    InTempDirectory directory;
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
    for (const Case& c : cases) {
        std::remove(HalvexAdaptor::kLastAddressFile);
        if (c.content) {
            writeFile(HalvexAdaptor::kLastAddressFile, c.content);
        }
        HalvexAdaptor::setLastConnectedAddress("stale");
        testing::internal::CaptureStdout();
        HalvexAdaptor::loadLastConnectedAddress();
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string content = c.content ? c.content : "(none)";
        EXPECT_EQ(HalvexAdaptor::lastConnectedAddress(), c.loaded) << content;
        EXPECT_EQ(out, *c.loaded ? std::string("Loaded last connected IP ") + c.loaded + "\n" : "") << content;
    }
}

TEST(AdaptorWire, BeforeAnyConnectionWritesFailAndReadsRaise) {
    HalvexAdaptor adaptor;
    testing::internal::CaptureStdout();
    adaptor.sendMessage("{}");
    EXPECT_FALSE(adaptor.isConnected());
    EXPECT_THROW(adaptor.receiveHXResponse(), boost::system::system_error);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_search(out, std::regex("^HalvexAdaptor::writeToWire: Error occured! Error code = "
                                                  "[a-z.]+:[0-9]+\\. Message: write: .+\n")))
        << out;
    EXPECT_NE(out.find("ERROR: Exception thrown within receiveHXResponse!\nread_until: "), std::string::npos) << out;
}

TEST(AdaptorWire, FramesOutAndAnswersBackToBackInOneRead) {
    InTempDirectory directory;
    LoopbackUnit unit("127.0.4.21");
    HalvexAdaptor adaptor;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(adaptor.initialize("", "127.0.4.21", "", "", false));
    adaptor.setVerbose();
    ASSERT_TRUE(unit.waitForConnections(1));
    unit.send("\x02" "0002{}\x03\x02" "0007{\"a\":1}\x03");
    EXPECT_EQ(adaptor.sendAndReceive("{\"q\":1}"), "0002{}");
    EXPECT_EQ(adaptor.receiveHXResponse(), "0007{\"a\":1}");
    adaptor.sendCalSelect();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string calSelect =
        "{\"MessageType\":\"CalSelect\",\"Message\":{\"calName\":\"Default Temperature\",\"calType\":\"Temp\"}}";
    ASSERT_TRUE(unit.waitForFrames(2));
    EXPECT_EQ(unit.frames()[0], "\x02" "0007{\"q\":1}\x03");
    EXPECT_EQ(unit.frames()[1], "\x02" "0088" + calSelect + "\x03");
    // Only sendMessage traces, with the time of day.
    EXPECT_TRUE(std::regex_search(out, std::regex("\n[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}: \\[" +
                                                  std::regex_replace(calSelect, std::regex("[{}\\[\\]]"), "\\$&") +
                                                  "\\]\n$")))
        << out;
    EXPECT_EQ(out.find("{\"q\":1}"), std::string::npos);
}

TEST(AdaptorWire, ANewConnectionStartsWithAnEmptyReceiveBuffer) {
    InTempDirectory directory;
    LoopbackUnit unit("127.0.4.22");
    HalvexAdaptor adaptor;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(adaptor.initialize("", "127.0.4.22", "", "", false));
    ASSERT_TRUE(unit.waitForConnections(1));
    unit.send("\x02" "0002{}\x03\x02" "0010{\"half");  // an answer and half of the next one
    EXPECT_EQ(adaptor.receiveHXResponse(), "0002{}");
    ASSERT_TRUE(adaptor.initialize("", "127.0.4.22", "", "", false));
    ASSERT_TRUE(unit.waitForConnections(2));
    unit.send("\x02" "0002[]\x03");
    EXPECT_EQ(adaptor.receiveHXResponse(), "0002[]");
    testing::internal::GetCapturedStdout();
}

TEST(AdaptorWire, ReadErrorsReachTheCallerAndLeaveTheConnectionFlag) {
    InTempDirectory directory;
    LoopbackUnit unit("127.0.4.23");
    HalvexAdaptor adaptor;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(adaptor.initialize("", "127.0.4.23", "", "", false));
    ASSERT_TRUE(unit.waitForConnections(1));
    unit.send("\x03");  // a frame end with no frame start
    EXPECT_THROW(adaptor.receiveHXResponse(), std::out_of_range);
    unit.dropClients();
    try {
        adaptor.receiveHXResponse();
        ADD_FAILURE() << "no error";
    } catch (const boost::system::system_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("read_until", 0), 0u) << error.what();
    }
    EXPECT_TRUE(adaptor.isConnected());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(countOf(out, "ERROR: Exception thrown within receiveHXResponse!\n"), 2u) << out;
}

TEST(AdaptorExchanges, CalListSkipsAnswersOfTheWrongKind) {
    InTempDirectory directory;
    LoopbackUnit unit("127.0.4.24");
    HalvexAdaptor adaptor;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(adaptor.initialize("", "127.0.4.24", "", "", false));
    ASSERT_TRUE(unit.waitForConnections(1));
    const std::string co2 = "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"CO2\"}}";
    const std::string status = "{\"MessageType\":\"NetworkStatusData\",\"Message\":{}}";
    const std::string spo2 = "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"SpO2\",\"names\":[]}}";
    auto frame = [](const std::string& json) {
        std::string length = std::to_string(json.size());
        return "\x02" + std::string(4 - length.size(), '0') + length + json + "\x03";
    };
    unit.send(frame(co2) + frame(status) + frame(spo2));
    EXPECT_EQ(adaptor.sendRequestStoredCalibrationNamesSpO2(), spo2);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("sendRequestStoredCalibrationNamesSpO2 Re-request: CO2 cal result received by mistake...\n" +
                       co2 + "\nre-reading incoming messages\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("sendRequestStoredCalibrationNamesSpO2 Re-request: something other than cal message "
                       "received; something else..\n" +
                       status + "\nre-reading incoming messages\n"),
              std::string::npos)
        << out;
    ASSERT_TRUE(unit.waitForFrames(1));
    EXPECT_EQ(unit.frames()[0], frame("{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"SpO2\"}}"));
}

}  // namespace
