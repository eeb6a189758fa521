// The stand-in unit over real loopback sockets: a tiny raw client writes frames by
// hand and reads the answers, and the misbehaviour hooks are exercised.

#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "emulators/unit_json/unit_emulator.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

using namespace halvex::emulators::unit_json;
using namespace std::chrono_literals;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

const std::string STX = "\x02";
const std::string ETX = "\x03";
constexpr auto kLong = 5s; // generous: the machine is shared with other builds
const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::UnitJsonEmulator);
const std::string kAddress = kNet.host(0);       // the stand-in in this process
const std::string kProgramAddress = kNet.host(1);  // the stand-in program

const std::string kVitals = R"({"MessageType":"VitalsData","Message":{"hr":"80","sbp":"120","abpZeroState":"Unknown"}})";
const std::string kWaves = R"({"MessageType":"WaveformData","Message":{"pleth":[10,20,30],"ecg":[],"abp":[]}})";
const std::string kCalListSpO2 = R"({"MessageType":"CalListRequest","Message":{"calType":"SpO2"}})";
const std::string kStatus = R"({"MessageType":"StatusRequest","Message":{"requestNetworkStatus":true}})";

// A blocking client whose reads wait at most until a deadline.
class RawClient {
public:
    explicit RawClient(unsigned short port) : socket_(io_) {
        socket_.connect(tcp::endpoint(asio::ip::make_address(kAddress), port));
    }
    void send(const std::string& bytes) { asio::write(socket_, asio::buffer(bytes)); }

    // Reads until `frames` 0x03 bytes have arrived or the time is up; returns what
    // arrived (so a test sees exactly the bytes, including several frames at once).
    std::string read(int frames, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string got;
        while (std::count(got.begin(), got.end(), '\x03') < frames) {
            if (!waitReadable(deadline)) break;
            char buf[4096];
            boost::system::error_code ec;
            const std::size_t n = socket_.read_some(asio::buffer(buf), ec);
            if (ec) break;
            got.append(buf, n);
        }
        return got;
    }

    // Writes filler without blocking until the socket takes no more (the peer does not
    // read); false when `limit` bytes went out first or the time is up.
    bool fillUntilBlocked(std::size_t limit, std::chrono::milliseconds timeout) {
        socket_.non_blocking(true);
        const std::string filler(65536, ' ');
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::size_t sent = 0;
        bool blocked = false;
        while (!blocked && sent < limit && std::chrono::steady_clock::now() < deadline) {
            boost::system::error_code ec;
            sent += socket_.write_some(asio::buffer(filler), ec);
            blocked = ec == asio::error::would_block;
            if (ec && !blocked) break;
        }
        socket_.non_blocking(false);
        return blocked;
    }

    // True when the peer closed the connection before the deadline.
    bool closedByPeer(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (waitReadable(deadline)) {
            char buf[4096];
            boost::system::error_code ec;
            socket_.read_some(asio::buffer(buf), ec);
            if (ec) return true;
        }
        return false;
    }

private:
    bool waitReadable(std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{socket_.native_handle(), POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(left.count())) > 0;
    }

    asio::io_context io_;
    tcp::socket socket_;
};

class UnitJsonEmulator : public ::testing::Test {
protected:
    void SetUp() override { unit_.start(); }
    UnitEmulator unit_{kAddress, 0};
};

} // namespace

TEST_F(UnitJsonEmulator, DecodesFramesAndReportsLengthMismatch) {
    RawClient c(unit_.port());
    ASSERT_TRUE(unit_.waitForConnections(1, kLong));
    // Three frames in one write, the last with a length field one too large.
    c.send(STX + "0087" + kVitals + ETX + STX + "0079" + kWaves + ETX + STX + "0088" + kVitals + ETX);
    ASSERT_TRUE(unit_.waitForMessage("VitalsData", 2, kLong));
    ASSERT_TRUE(unit_.waitForMessage("WaveformData", 1, kLong));

    const UnitStats s = unit_.snapshot();
    EXPECT_EQ(s.frames, 3u);
    EXPECT_EQ(s.lengthErrors, 1u);
    EXPECT_EQ(s.vitals.at("hr"), "80");
    EXPECT_EQ(s.vitals.count("abpZeroState"), 0u);
    EXPECT_EQ(s.waves.at("pleth").samples, 3u);
    const auto frames = unit_.framesReceived();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].messageType, "VitalsData");
    EXPECT_EQ(frames[0].connection, 1u);
    EXPECT_TRUE(frames[1].frame.lengthMatches());
    EXPECT_EQ(frames[2].frame.announced, 88u);
    EXPECT_FALSE(frames[2].frame.lengthMatches());
}

TEST_F(UnitJsonEmulator, AnswersRequestsFromItsStore) {
    RawClient c(unit_.port());
    c.send(STX + "0061" + kCalListSpO2 + ETX);
    EXPECT_EQ(c.read(1, kLong),
              STX + "0082" + R"({"MessageType":"CalList","Message":{"calType":"SpO2","calNames":["Factory SpO2"]}})" + ETX);

    const std::string calData =
        R"({"MessageType":"CalData","Message":{"calName":"SpaceLabs Xprezzon","calType":"SpO2","calPts":[{"Item1":"250","Item2":"98"},{"Item1":"300","Item2":"95"}]}})";
    const std::string removeCo2 =
        R"({"MessageType":"CalRemove","Message":{"calName":"Factory CO2","calType":"CO2"}})";
    c.send(encodeFrame(calData) + encodeFrame(removeCo2) + STX + "0060" +
           R"({"MessageType":"CalListRequest","Message":{"calType":"CO2"}})" + ETX + STX + "0061" +
           kCalListSpO2 + ETX);
    EXPECT_EQ(c.read(2, kLong),
              STX + "0067" + R"({"MessageType":"CalList","Message":{"calType":"CO2","calNames":[]}})" + ETX +
              STX + "0103" + R"({"MessageType":"CalList","Message":{"calType":"SpO2","calNames":["Factory SpO2","SpaceLabs Xprezzon"]}})" + ETX);
    const auto points = unit_.snapshot().calibrations.at("SpO2").at("SpaceLabs Xprezzon");
    EXPECT_EQ(points, (std::vector<CalPoint>{{"250", "98"}, {"300", "95"}}));

    // The status names the stand-in's own address; the length field counts it.
    auto statusFrame = [](const std::string& json) {
        const std::string length = std::to_string(json.size());
        return STX + std::string(4 - length.size(), '0') + length + json + ETX;
    };
    c.send(STX + "0071" + kStatus + ETX);
    EXPECT_EQ(c.read(1, kLong),
              statusFrame(R"({"MessageType":"NetworkStatusData","Message":{"ssid":"","ipAddress":")" + kAddress +
                          R"(","wifiConnected":false,"wifiStatus":"NotConfigured"}})"));
    c.send(encodeFrame(R"({"MessageType":"WifiCredentials","Message":{"ssid":"lab","password":"pw"}})") +
           STX + "0071" + kStatus + ETX);
    EXPECT_EQ(c.read(1, kLong),
              statusFrame(R"({"MessageType":"NetworkStatusData","Message":{"ssid":"lab","ipAddress":")" + kAddress +
                          R"(","wifiConnected":true,"wifiStatus":"Success"}})"));
}

TEST_F(UnitJsonEmulator, AnswersLateAndMisframesOnDemand) {
    RawClient c(unit_.port());
    // Late: bracketed by a wait that must fail and one that must pass.
    unit_.setAnswerDelay(600ms);
    c.send(STX + "0071" + kStatus + ETX);
    EXPECT_EQ(c.read(1, 150ms), "");
    EXPECT_NE(c.read(1, kLong).find("NetworkStatusData"), std::string::npos);
    unit_.setAnswerDelay(0ms);

    // Another frame before the answer, in the same write, and a misstated length.
    const std::string stale = encodeFrame(R"({"MessageType":"CalList","Message":{"calType":"CO2","calNames":[]}})");
    unit_.prependToNextAnswer(stale);
    unit_.misstateNextAnswerLength(+1);
    c.send(STX + "0061" + kCalListSpO2 + ETX);
    EXPECT_EQ(c.read(2, kLong),
              stale + STX + "0083" + R"({"MessageType":"CalList","Message":{"calType":"SpO2","calNames":["Factory SpO2"]}})" + ETX);

    // Unsolicited frames, two in one write.
    ASSERT_TRUE(unit_.sendFrames({"{}", "{\"a\":1}"}));
    EXPECT_EQ(c.read(2, kLong), STX + "0002{}" + ETX + STX + "0007{\"a\":1}" + ETX);
}

TEST_F(UnitJsonEmulator, StallsUntilReleasedOrForAWhile) {
    RawClient c(unit_.port());
    ASSERT_TRUE(unit_.waitForConnections(1, kLong));
    unit_.stall();
    c.send(encodeFrame(kVitals));
    EXPECT_FALSE(unit_.waitForMessage("VitalsData", 1, 300ms));
    unit_.release();
    EXPECT_TRUE(unit_.waitForMessage("VitalsData", 1, kLong));

    unit_.stallFor(400ms);
    c.send(encodeFrame(kVitals));
    EXPECT_FALSE(unit_.waitForMessage("VitalsData", 2, 100ms));
    EXPECT_TRUE(unit_.waitForMessage("VitalsData", 2, kLong));
    EXPECT_EQ(unit_.snapshot().lengthErrors, 0u);
}

// Never reading: the client's writes fill the socket buffers until they would block;
// bracketed by the same client's frames being read once reading is back on.
TEST_F(UnitJsonEmulator, NeverReadsUntilToldAndResetsOnDemand) {
    unit_.setNeverRead(true);
    RawClient c(unit_.port());
    ASSERT_TRUE(unit_.waitForConnections(1, kLong));
    c.send(encodeFrame(kVitals));
    EXPECT_FALSE(unit_.waitForMessage("VitalsData", 1, 200ms));
    EXPECT_TRUE(c.fillUntilBlocked(64u * 1024 * 1024, kLong));
    unit_.setNeverRead(false);
    EXPECT_TRUE(unit_.waitForMessage("VitalsData", 1, kLong));
    EXPECT_EQ(unit_.bytesReceived().substr(0, 5 + kVitals.size() + 1), encodeFrame(kVitals));

    unit_.resetConnection();
    EXPECT_TRUE(c.closedByPeer(kLong));
}

TEST_F(UnitJsonEmulator, ClosesReplacesAndRefusesConnections) {
    auto first = std::make_unique<RawClient>(unit_.port());
    ASSERT_TRUE(unit_.waitForConnections(1, kLong));
    // Half a frame on the first connection must not leak into the second.
    first->send(STX + "0087" + kVitals.substr(0, 20));
    RawClient second(unit_.port());
    ASSERT_TRUE(unit_.waitForConnections(2, kLong));
    EXPECT_TRUE(first->closedByPeer(kLong));
    second.send(kVitals.substr(20) + ETX + encodeFrame(kVitals));
    ASSERT_TRUE(unit_.waitForMessage("VitalsData", 1, kLong));
    EXPECT_EQ(unit_.snapshot().frames, 1u);
    EXPECT_EQ(unit_.framesReceived().at(0).connection, 2u);

    unit_.closeConnection();
    EXPECT_TRUE(second.closedByPeer(kLong));

    unit_.refuseConnections();
    EXPECT_TRUE(halvex::test::eventually(
        [&] {
            try {
                RawClient probe(unit_.port()); // accepted by the kernel until the close lands
                return false;
            } catch (const boost::system::system_error& e) {
                return e.code() == asio::error::connection_refused;
            }
        },
        kLong, 10ms));

    unit_.acceptConnections();
    std::unique_ptr<RawClient> again;
    halvex::test::eventually(
        [&] {
            try {
                again = std::make_unique<RawClient>(unit_.port());
            } catch (const boost::system::system_error&) {
            }
            return again != nullptr;
        },
        kLong, 10ms);
    ASSERT_TRUE(again);
    again->send(encodeFrame(kVitals));
    EXPECT_TRUE(unit_.waitForMessage("VitalsData", 2, kLong));
}

TEST(UnitJsonEmulatorSetup, RefusesNonLoopbackAddresses) {
    for (const char* address : {"10.0.0.1", "0.0.0.0", "128.0.0.1", "::1", "localhost", ""}) {
        EXPECT_FALSE(isLoopbackAddress(address)) << address;
        EXPECT_THROW(UnitEmulator(address, 0), std::invalid_argument) << address;
    }
    EXPECT_TRUE(isLoopbackAddress("127.255.0.9"));
}

namespace {

using halvex::test::ChildProcess;

ChildProcess startProgram(std::vector<std::string> args) {
    args.insert(args.begin(), UNIT_EMULATOR_JSON_PROGRAM);
    return ChildProcess(args);
}

} // namespace

TEST(UnitJsonEmulatorProgram, RejectsANonLoopbackAddress) {
    ChildProcess p = startProgram({"--address", "192.168.1.20", "--port", "0"});
    EXPECT_EQ(p.wait(kLong), 1);
    EXPECT_NE(p.err().find("only loopback addresses (127.0.0.0/8) are allowed"), std::string::npos) << p.err();
    EXPECT_EQ(p.out().find("listening"), std::string::npos);
}

TEST(UnitJsonEmulatorProgram, HelpNamesTheStallReadingMode) {
    ChildProcess p = startProgram({"--help"});
    EXPECT_EQ(p.wait(kLong), 0);
    EXPECT_NE(p.out().find("--stall-reading"), std::string::npos) << p.out();
}

TEST(UnitJsonEmulatorProgram, ReportsWhatItReceivedOnSigterm) {
    halvex::test::TempDir dir;
    const std::string reportFile = dir.file("report.txt");
    ChildProcess p = startProgram({"--address", kProgramAddress, "--port", "0", "--report", reportFile});
    const std::string prefix = "unit-emulator-json listening on " + kProgramAddress + ":";
    ASSERT_TRUE(p.waitForText(prefix, kLong)) << p.out();
    const std::string out = p.out();
    const auto port = static_cast<unsigned short>(std::stoi(out.substr(out.find(prefix) + prefix.size())));
    {
        asio::io_context io;
        tcp::socket s(io);
        s.connect(tcp::endpoint(asio::ip::make_address(kProgramAddress), port));
        asio::write(s, asio::buffer(encodeFrame(kVitals) + encodeFrame(kWaves)));
        EXPECT_TRUE(p.waitForText("UNIT> WaveformData pleth:3", kLong)) << p.out();
    }
    p.kill(SIGTERM);
    EXPECT_EQ(p.wait(kLong), 0) << p.err();
    EXPECT_NE(p.out().find("UNIT> VitalsData hr=80 sbp=120\n"), std::string::npos) << p.out();
    std::ifstream f(reportFile);
    std::stringstream report;
    report << f.rdbuf();
    // The report is printed and written alike.
    EXPECT_NE(p.out().find(report.str()), std::string::npos);
    for (const char* line : {"\nconnections: 1\n", "\nmessage VitalsData: 1 (", "\nmessage WaveformData: 1 (",
                             "\nheart rate: 80\n", "\nblood pressure: 120/- (-)\n",
                             "\nzero states: abp -, pap -, cvp -\n", "\nwave pleth: 3 samples (",
                             "\nwave abp: 0 samples (-)\n"}) {
        EXPECT_NE(report.str().find(line), std::string::npos) << line << "\n" << report.str();
    }
}
