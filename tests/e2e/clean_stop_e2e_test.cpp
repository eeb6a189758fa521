// Both programs stopped from outside (SIGINT, SIGTERM) while they stream and while
// they still wait for their unit: each releases its unit, leaves the simulator, says
// so in one line and ends with status 0 in about 2 s; the single-instance guard is
// free afterwards. The stand-ins run in-process so the test sees what the peers saw.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emulators/unit_json/unit_emulator.h"
#include "emulators/unit_v22/unit_emulator.h"
#include "platform/instance_guard.h"
#include "tests/e2e/simulator_feed.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

namespace {

using halvex::test::ChildProcess;
using halvex::test::eventually;
using halvex::test::FedSimulator;
using halvex::test::TempDir;
using halvex::emulators::sim_server::Protocol;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kJsonBridge = std::string(HALVEX_BIN_DIR) + "/halvex-relay-json";
const std::string kV22Bridge = std::string(HALVEX_BIN_DIR) + "/halvex-relay-v22";
const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::CleanStopE2e);
const std::string kJsonUnitAddress = kNet.host(0);
const std::string kJsonSimAddress = kNet.host(1);
const std::string kV22UnitAddress = kNet.host(2);
const std::string kSerial = "HX22-STOP";
// "About 2 s", with room for a loaded machine and the sanitizers.
constexpr auto kStopLimit = 3s;

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::string signalName(int signal) { return signal == SIGINT ? "SIGINT" : "SIGTERM"; }

class CleanStop : public testing::TestWithParam<int> {
protected:
    void startBridge(const std::string& program, const std::string& settings) {
        dir_.write("settings.xml", settings);
        bridge_ = std::make_unique<ChildProcess>(std::vector<std::string>{program, "-f", dir_.file("settings.xml")},
                                                 dir_.path());
    }

    void startV22Unit(bool silent) {
        halvex::emulators::unit_v22::UnitEmulator::Options options;
        options.address = kV22UnitAddress;
        options.serialId = kSerial;
        v22Unit_ = std::make_unique<halvex::emulators::unit_v22::UnitEmulator>(options);
        v22Unit_->setSilent(silent);
        v22Unit_->start();
    }

    std::string log() { return "bridge stdout:\n" + bridge_->out() + "\nbridge stderr:\n" + bridge_->err(); }

    // Sends the signal and expects the whole stop: status 0 within the limit, the one
    // line, no error, and the guard free for the next bridge.
    void stopAndExpectCleanEnd(int signal) {
        const auto sent = Clock::now();
        bridge_->kill(signal);
        const int status = bridge_->wait(kStopLimit);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
        ASSERT_EQ(status, 0) << "after " << took.count() << " ms\n" << log();
        EXPECT_EQ(occurrences(bridge_->out(), "HX>Stopped (" + signalName(signal) +
                                                  "): the Halvex unit is released and the simulator disconnected.\n"),
                  1u)
            << log();
        EXPECT_EQ(bridge_->err(), "") << log();
        halvex::platform::InstanceGuard guard("Global\\PatientSimulatorHalvex");
        EXPECT_TRUE(guard.tryAcquire()) << "the single-instance guard is free again";
    }

    void expectSimulatorLeft() {
        EXPECT_TRUE(eventually(
            [&] {
                return simulator_->server().connectionCount(Protocol::Sim) == 0 &&
                       simulator_->server().connectionCount(Protocol::App) == 0;
            },
            5s));
    }

    void TearDown() override {
        bridge_.reset();
        simulator_.reset();
        jsonUnit_.reset();
        v22Unit_.reset();
    }

    TempDir dir_;
    std::unique_ptr<FedSimulator> simulator_;
    std::unique_ptr<halvex::emulators::unit_json::UnitEmulator> jsonUnit_;
    std::unique_ptr<halvex::emulators::unit_v22::UnitEmulator> v22Unit_;
    std::unique_ptr<ChildProcess> bridge_;
};

std::string jsonSettings() {
    return "<Halvex><SPO2Scale>5</SPO2Scale><SerialID>HX0001</SerialID><IPAddress>" + kJsonUnitAddress +
           "</IPAddress><SPO2Calibration><Entry key=\"90\" value=\"600\"/></SPO2Calibration>"
           "<CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration><IPRangeStart/><IPRangeEnd/>"
           "<SimulatorIP>" +
           kJsonSimAddress + "</SimulatorIP><RHMIP>" + kJsonSimAddress + "</RHMIP></Halvex>";
}

std::string v22Settings() {
    return "<Halvex><SPO2Scale>5</SPO2Scale><SerialID>" + kSerial + "</SerialID><IPAddress>" + kV22UnitAddress +
           "</IPAddress><SPO2Calibration><Entry key=\"90\" value=\"600\"/></SPO2Calibration>"
           "<CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration><IPRangeStart/><IPRangeEnd/>"
           "</Halvex>";
}

using JsonCleanStop = CleanStop;
using V22CleanStop = CleanStop;

TEST_P(JsonCleanStop, WhileStreamingTheUnitIsLeftAndTheStreamEnds) {
    jsonUnit_ = std::make_unique<halvex::emulators::unit_json::UnitEmulator>(kJsonUnitAddress);
    jsonUnit_->start();
    simulator_ = std::make_unique<FedSimulator>(kJsonSimAddress);
    startBridge(kJsonBridge, jsonSettings());
    ASSERT_TRUE(jsonUnit_->waitForMessage("WaveformData", 10, 30s)) << log();

    stopAndExpectCleanEnd(GetParam());
    EXPECT_TRUE(eventually([&] { return !jsonUnit_->connected(); }, 5s)) << "the unit connection is closed";
    expectSimulatorLeft();
}

TEST_P(JsonCleanStop, WhileWaitingForAnAbsentUnit) {
    // No unit: the bridge retries for ever, and the stop ends that.
    startBridge(kJsonBridge, jsonSettings());
    ASSERT_TRUE(bridge_->waitForText("HalvexAdaptor::connectIP: Error occured!", 30s)) << log();
    stopAndExpectCleanEnd(GetParam());
    EXPECT_EQ(occurrences(bridge_->out(), "HX>Running..."), 0u);
}

TEST_P(V22CleanStop, WhileStreamingTheUnitIsDisabledAndReleased) {
    startV22Unit(false);
    simulator_ = std::make_unique<FedSimulator>();
    startBridge(kV22Bridge, v22Settings());
    ASSERT_TRUE(v22Unit_->waitForCommand("ABP", 10, 30s)) << log();

    stopAndExpectCleanEnd(GetParam());
    EXPECT_FALSE(v22Unit_->snapshot().enabled);
    // "[DISABLE]@" first, then the transport's "[STOPME]@", and nothing after them.
    std::vector<std::string> texts;
    for (const auto& datagram : v22Unit_->datagramsReceived())
        texts.push_back(datagram.text);
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], "[DISABLE]@");
    EXPECT_EQ(texts.back(), "[STOPME]@");
    expectSimulatorLeft();
}

TEST_P(V22CleanStop, WhileSearchingForASilentUnit) {
    startV22Unit(true);
    startBridge(kV22Bridge, v22Settings());
    ASSERT_TRUE(v22Unit_->waitForDatagrams(1, 30s)) << log();
    stopAndExpectCleanEnd(GetParam());
    EXPECT_EQ(occurrences(bridge_->out(), "HX>Running..."), 0u);
}

INSTANTIATE_TEST_SUITE_P(Signals, JsonCleanStop, testing::Values(SIGINT, SIGTERM),
                         [](const testing::TestParamInfo<int>& signal) { return signalName(signal.param); });
INSTANTIATE_TEST_SUITE_P(Signals, V22CleanStop, testing::Values(SIGINT, SIGTERM),
                         [](const testing::TestParamInfo<int>& signal) { return signalName(signal.param); });

}  // namespace
