// The stand-in unit over real loopback sockets: a tiny raw client writes frames by
// hand and reads the answers, and the misbehaviour hooks are exercised.

#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "emulators/unit_json/unit_emulator.h"

using namespace unit_json;
using namespace std::chrono_literals;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

const std::string STX = "\x02";
const std::string ETX = "\x03";
constexpr auto kLong = 5s; // generous: the machine is shared with other builds
const char* kAddress = "127.0.0.61";

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

    c.send(STX + "0071" + kStatus + ETX);
    EXPECT_EQ(c.read(1, kLong),
              STX + "0133" + R"({"MessageType":"NetworkStatusData","Message":{"ssid":"","ipAddress":"127.0.0.61","wifiConnected":false,"wifiStatus":"NotConfigured"}})" + ETX);
    c.send(encodeFrame(R"({"MessageType":"WifiCredentials","Message":{"ssid":"lab","password":"pw"}})") +
           STX + "0071" + kStatus + ETX);
    EXPECT_EQ(c.read(1, kLong),
              STX + "0129" + R"({"MessageType":"NetworkStatusData","Message":{"ssid":"lab","ipAddress":"127.0.0.61","wifiConnected":true,"wifiStatus":"Success"}})" + ETX);
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
    const auto refusedBy = std::chrono::steady_clock::now() + kLong;
    bool refused = false;
    while (!refused && std::chrono::steady_clock::now() < refusedBy) {
        try {
            RawClient probe(unit_.port()); // accepted by the kernel until the close lands
            std::this_thread::sleep_for(10ms);
        } catch (const boost::system::system_error& e) {
            refused = e.code() == asio::error::connection_refused;
        }
    }
    EXPECT_TRUE(refused);

    unit_.acceptConnections();
    const auto acceptedBy = std::chrono::steady_clock::now() + kLong;
    std::unique_ptr<RawClient> again;
    while (!again && std::chrono::steady_clock::now() < acceptedBy) {
        try {
            again = std::make_unique<RawClient>(unit_.port());
        } catch (const boost::system::system_error&) {
            std::this_thread::sleep_for(10ms);
        }
    }
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

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program with its output on pipes; `whileRunning` sees the pid and a
// function that waits (bounded) for a text in standard output.
template <typename F>
ProgramRun runProgram(const std::vector<std::string>& args, F whileRunning) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        std::vector<char*> argv{const_cast<char*>(UNIT_EMULATOR_JSON_PROGRAM)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ProgramRun r;
    auto waitFor = [&](const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (r.out.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{outPipe[0], POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buf[4096];
            const ssize_t n = ::read(outPipe[0], buf, sizeof buf);
            if (n <= 0) return false;
            r.out.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    };
    whileRunning(pid, waitFor, static_cast<const std::string&>(r.out));
    // Drain both pipes to the end, then reap; a stuck program is killed.
    waitFor("\x01never\x01", kLong);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(errPipe[0], buf, sizeof buf)) > 0) r.err.append(buf, static_cast<std::size_t>(n));
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

} // namespace

TEST(UnitJsonEmulatorProgram, RejectsANonLoopbackAddress) {
    const ProgramRun r = runProgram({"--address", "192.168.1.20", "--port", "0"}, [](pid_t, auto&, const std::string&) {});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("only loopback addresses (127.0.0.0/8) are allowed"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("listening"), std::string::npos);
}

TEST(UnitJsonEmulatorProgram, ReportsWhatItReceivedOnSigterm) {
    char dir[] = "/tmp/unit_json_reportXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string reportFile = std::string(dir) + "/report.txt";
    const ProgramRun r = runProgram({"--address", "127.0.0.62", "--port", "0", "--report", reportFile},
                             [&](pid_t pid, auto& waitFor, const std::string& out) {
        ASSERT_TRUE(waitFor("\n", kLong)) << out;
        const std::string prefix = "listening on 127.0.0.62:";
        const auto at = out.find(prefix);
        ASSERT_NE(at, std::string::npos) << out;
        const auto port = static_cast<unsigned short>(std::stoi(out.substr(at + prefix.size())));
        asio::io_context io;
        tcp::socket s(io);
        s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.62"), port));
        asio::write(s, asio::buffer(encodeFrame(kVitals) + encodeFrame(kWaves)));
        EXPECT_TRUE(waitFor("UNIT> WaveformData pleth:3", kLong)) << out;
        kill(pid, SIGTERM);
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("UNIT> VitalsData hr=80 sbp=120\n"), std::string::npos) << r.out;
    std::ifstream f(reportFile);
    std::stringstream report;
    report << f.rdbuf();
    std::remove(reportFile.c_str());
    ::rmdir(dir);
    // The report is printed and written alike.
    EXPECT_NE(r.out.find(report.str()), std::string::npos);
    for (const char* line : {"\nconnections: 1\n", "\nmessage VitalsData: 1 (", "\nmessage WaveformData: 1 (",
                             "\nheart rate: 80\n", "\nblood pressure: 120/- (-)\n",
                             "\nzero states: abp -, pap -, cvp -\n", "\nwave pleth: 3 samples (",
                             "\nwave abp: 0 samples (-)\n"}) {
        EXPECT_NE(report.str().find(line), std::string::npos) << line << "\n" << report.str();
    }
}
