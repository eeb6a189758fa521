// halvex-relay-json run for real between the simulator-server stand-in (a program)
// and the JSON unit stand-in (in-process, so the test can make it misbehave).
#include <gtest/gtest.h>

#include <signal.h>

#include <memory>

#include "emulators/sim_server/patient.h"
#include "emulators/sim_server/sim_server_emulator.h"
#include "emulators/unit_json/unit_emulator.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

namespace {

using halvex::test::ChildProcess;
using halvex::test::eventually;
using halvex::test::TempDir;
using halvex::emulators::unit_json::UnitEmulator;
using namespace std::chrono_literals;

const std::string kBridge = std::string(HALVEX_BIN_DIR) + "/halvex-relay-json";
const std::string kSimServer = std::string(HALVEX_BIN_DIR) + "/sim-server-emulator";

// Distinct loopback addresses keep the fixed ports of this test apart from others.
const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::BridgeJsonE2e);
const std::string kUnitAddress = kNet.host(0);
const std::string kSimAddress = kNet.host(1);

std::size_t occurrences(const std::string& text, const std::string& line) {
    std::size_t count = 0;
    for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
}

class BridgeJson : public testing::Test {
protected:
    void SetUp() override {
        unit_ = std::make_unique<UnitEmulator>(kUnitAddress);
        unit_->start();
        dir_.write("settings.xml",
                   "<Halvex><SPO2Scale>5</SPO2Scale><SerialID>HX0001</SerialID><IPAddress>" + kUnitAddress +
                       "</IPAddress><SPO2Calibration><Entry key=\"90\" value=\"600\"/></SPO2Calibration>"
                       "<CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration>"
                       "<IPRangeStart/><IPRangeEnd/><SimulatorIP>" + kSimAddress + "</SimulatorIP><RHMIP>" +
                       kSimAddress + "</RHMIP></Halvex>");
    }

    void startSimulator(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{kSimServer, "--address", kSimAddress};
        argv.insert(argv.end(), extra.begin(), extra.end());
        simulator_ = std::make_unique<ChildProcess>(argv);
        ASSERT_TRUE(simulator_->waitForText("Serving SIM on", 20s)) << simulator_->out() << simulator_->err();
    }

    void stopSimulator() {
        simulator_->kill(SIGTERM);
        EXPECT_EQ(simulator_->wait(20s), 0);
    }

    void startBridge() {
        bridge_ = std::make_unique<ChildProcess>(std::vector<std::string>{kBridge, "-f", dir_.file("settings.xml")},
                                                 dir_.path());
    }

    // Waits until the bridge has printed `line` `count` times in all.
    bool bridgePrinted(const std::string& line, std::size_t count, std::chrono::seconds timeout) {
        return eventually([&] { return occurrences(bridge_->out() + bridge_->err(), line) >= count; }, timeout);
    }

    std::string bridgeLog() { return "bridge stdout:\n" + bridge_->out() + "\nbridge stderr:\n" + bridge_->err(); }

    std::uint64_t samplesOf(const std::string& wave) {
        const auto stats = unit_->snapshot();
        const auto it = stats.waves.find(wave);
        return it == stats.waves.end() ? 0 : it->second.samples;
    }

    bool samplesGrow(const std::string& wave, std::chrono::seconds timeout) {
        const std::uint64_t before = samplesOf(wave);
        return eventually([&] { return samplesOf(wave) > before + 30; }, timeout);
    }

    void TearDown() override {
        // The bridge first, so it does not see its peers go away.
        bridge_.reset();
        simulator_.reset();
        unit_.reset();
    }

    TempDir dir_;
    std::unique_ptr<UnitEmulator> unit_;
    std::unique_ptr<ChildProcess> simulator_;
    std::unique_ptr<ChildProcess> bridge_;
};

TEST_F(BridgeJson, VitalsAndWaveformsReachTheUnitAndSurviveLostPeers) {
    startSimulator();
    startBridge();
    ASSERT_TRUE(unit_->waitForMessage("VitalsData", 2, 30s)) << bridgeLog();
    ASSERT_TRUE(unit_->waitForMessage("WaveformData", 20, 30s)) << bridgeLog();
    // Lines of the entry point and of the link library's threads, printed at about
    // the same moment, each stand on a line of their own.
    EXPECT_TRUE(bridge_->waitForLine("HX>Running...", 1s)) << bridgeLog();
    EXPECT_TRUE(bridge_->waitForLine("Zephra> Connected (SIM Protocol)", 1s)) << bridgeLog();
    EXPECT_TRUE(bridge_->waitForLine("Zephra> Connected (APP Protocol)", 1s)) << bridgeLog();

    // The simulated patient's numerics, as the unit holds them.
    ASSERT_TRUE(unit_->waitForMessage("VitalsData", 3, 10s));
    const auto stats = unit_->snapshot();
    EXPECT_EQ(stats.vitals.at("hr"), "72");
    EXPECT_EQ(stats.vitals.at("sbp"), "120");
    EXPECT_EQ(stats.vitals.at("dbp"), "80");
    EXPECT_EQ(stats.vitals.at("mbp"), "93");
    EXPECT_EQ(stats.vitals.at("spO2"), "97");
    EXPECT_EQ(stats.vitals.at("rr"), "12");
    EXPECT_EQ(stats.vitals.at("t1"), "37.0");
    EXPECT_EQ(stats.vitals.at("t2"), "37.2");
    EXPECT_EQ(stats.vitals.at("abpZeroState"), "NotZeroing");
    for (const char* wave : {"abp", "pap", "cvp", "pleth"}) {
        EXPECT_GT(samplesOf(wave), 0u) << wave;
    }
    EXPECT_EQ(stats.lengthErrors, 0u);

    // The unit drops the connection: the supervision loop notices and reconnects,
    // and the stream resumes on the new connection.
    unit_->closeConnection();
    ASSERT_TRUE(bridgePrinted("Disconnected. Reconnecting.", 1, 15s)) << bridgeLog();
    ASSERT_TRUE(unit_->waitForConnections(2, 15s)) << bridgeLog();
    EXPECT_TRUE(samplesGrow("abp", 15s)) << bridgeLog();

    // The simulator goes away and comes back: both links report it and recover.
    stopSimulator();
    ASSERT_TRUE(bridgePrinted("Zephra> Disconnected (SIM Protocol)", 1, 15s)) << bridgeLog();
    ASSERT_TRUE(bridgePrinted("Zephra> Disconnected (APP Protocol)", 1, 15s)) << bridgeLog();
    startSimulator();
    ASSERT_TRUE(bridgePrinted("Zephra> Connected (SIM Protocol)", 2, 20s)) << bridgeLog();
    ASSERT_TRUE(bridgePrinted("Zephra> Connected (APP Protocol)", 2, 20s)) << bridgeLog();
    EXPECT_TRUE(samplesGrow("abp", 20s)) << bridgeLog();
}

TEST_F(BridgeJson, PausedSimulationSelectsTheDefaultCalibrationEveryTwoSeconds) {
    startSimulator({"--set", "HW_PATSPEED=0"});
    startBridge();
    ASSERT_TRUE(bridgePrinted("Zephra> Connected (APP Protocol)", 1, 30s)) << bridgeLog();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(unit_->waitForMessage("CalSelect", 3, 20s)) << bridgeLog();
    // Three selections, 2 s apart: at least about 4 s from the first sight of the link.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3s);
    const auto stats = unit_->snapshot();
    EXPECT_EQ(stats.messages.count("VitalsData"), 0u) << "nothing streams while the simulation is paused";
    EXPECT_EQ(stats.messages.count("WaveformData"), 0u);
}

// A calibration session driven by the simulator while it is paused ends with the
// calibration stored in the unit. The simulator stand-in runs in-process here, so the
// test can send each step when the bridge is ready for it.
TEST_F(BridgeJson, ACalibrationSessionIsUploadedToTheUnit) {
    halvex::emulators::sim_server::SimServerEmulator::Options options;
    options.address = kSimAddress;
    options.simPort = 55580;
    options.appPort = 55557;
    options.parameters = halvex::emulators::sim_server::standardPatientParameters();
    halvex::emulators::sim_server::SimServerEmulator server(options);
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    ASSERT_TRUE(server.setValue("HW_PATSPEED", 0));
    startBridge();
    ASSERT_TRUE(bridgePrinted("Zephra> Connected (SIM Protocol)", 1, 30s)) << bridgeLog();

    auto act = [&](int action, int argument) {
        ASSERT_TRUE(server.setValues({{"HW_PATMON_CALIB_ACTION", action}, {"HW_PATMON_CALIB_ARG1", argument}}));
    };
    act(1, 0);
    ASSERT_TRUE(bridgePrinted("Entered calibration mode...", 1, 10s)) << bridgeLog();
    act(3, 250);
    act(30, 98);
    act(3, 300);
    act(30, 95);
    act(100, 0);
    ASSERT_TRUE(bridgePrinted("After SpO2:", 1, 20s)) << bridgeLog();
    ASSERT_TRUE(unit_->waitForMessage("CalListRequest", 3, 10s)) << bridgeLog();

    const auto stats = unit_->snapshot();
    const auto type = stats.calibrations.find("SpO2");
    ASSERT_NE(type, stats.calibrations.end()) << bridgeLog();
    const auto stored = type->second.find("SpaceLabs Xprezzon");
    ASSERT_NE(stored, type->second.end());
    EXPECT_EQ(stored->second, (std::vector<halvex::emulators::unit_json::CalPoint>{{"250", "98"}, {"300", "95"}}));
    EXPECT_EQ(stats.messages.count("CalData"), 1u);
    EXPECT_TRUE(bridgePrinted("exiting calibration mode...", 1, 5s)) << bridgeLog();
    EXPECT_EQ(bridge_->err().find("HX>ERROR>"), std::string::npos) << bridgeLog();
}

}  // namespace
