// halvex-relay-v22 run for real between the simulator-server stand-in and the v2.2
// unit stand-in, both in-process so the test can stop the simulation and make the
// unit misbehave. The v2.2 edition reaches the simulator on 127.0.0.1 and binds port
// 14996 on every address: these tests are serialised.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "configuration/configuration.h"
#include "emulators/unit_v22/unit_emulator.h"
#include "tests/e2e/simulator_feed.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

namespace {

using halvex::configuration::Configuration;
using halvex::test::ChildProcess;
using halvex::test::eventually;
using halvex::test::TempDir;
using namespace std::chrono_literals;

const std::string kBridge = std::string(HALVEX_BIN_DIR) + "/halvex-relay-v22";
const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::BridgeV22E2e);
const std::string kUnitAddress = kNet.host(0);
// Where nothing listens.
const std::string kSilentAddress = kNet.host(1);
const std::string kSerial = "HX22-E2E";

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

using Simulator = halvex::test::FedSimulator;

class BridgeV22 : public testing::Test {
protected:
    void writeSettings(const std::string& address, const std::string& rangeStart, const std::string& rangeEnd) {
        dir_.write("settings.xml", "<Halvex><SPO2Scale>5</SPO2Scale><SerialID>" + kSerial + "</SerialID><IPAddress>" +
                                       address +
                                       "</IPAddress><SPO2Calibration><Entry key=\"90\" value=\"600\"/>"
                                       "<Entry key=\"100\" value=\"300\"/></SPO2Calibration>"
                                       "<CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration>"
                                       "<IPRangeStart>" + rangeStart + "</IPRangeStart><IPRangeEnd>" + rangeEnd +
                                       "</IPRangeEnd></Halvex>");
    }

    void startBridge() {
        bridge_ = std::make_unique<ChildProcess>(std::vector<std::string>{kBridge, "-f", dir_.file("settings.xml")},
                                                 dir_.path());
    }

    std::string bridgeText() { return bridge_->out() + bridge_->err(); }
    std::string bridgeLog() { return "bridge stdout:\n" + bridge_->out() + "\nbridge stderr:\n" + bridge_->err(); }

    bool bridgePrinted(const std::string& line, std::size_t count, std::chrono::seconds timeout) {
        return eventually([&] { return occurrences(bridgeText(), line) >= count; }, timeout);
    }

    std::uint64_t count(const std::string& word) {
        const auto stats = unit_->snapshot();
        const auto it = stats.commandCounts.find(word);
        return it == stats.commandCounts.end() ? 0 : it->second;
    }

    std::size_t silentChecks() {
        std::size_t n = 0;
        for (const auto& d : unit_->datagramsReceived())
            n += d.ignored && d.text == "[ID]Halvex v2.2@" ? 1 : 0;
        return n;
    }

    void TearDown() override {
        // The bridge first, so it does not see its peers go away.
        bridge_.reset();
        simulator_.reset();
        unit_.reset();
    }

    TempDir dir_;
    std::unique_ptr<halvex::emulators::unit_v22::UnitEmulator> unit_;
    std::unique_ptr<Simulator> simulator_;
    std::unique_ptr<ChildProcess> bridge_;
};

TEST_F(BridgeV22, VitalsAndWavesReachTheUnitThroughStopSilenceAndGiveUp) {
    halvex::emulators::unit_v22::UnitEmulator::Options unitOptions;
    unitOptions.address = kUnitAddress;
    unitOptions.serialId = kSerial;
    unit_ = std::make_unique<halvex::emulators::unit_v22::UnitEmulator>(unitOptions);
    unit_->start();
    simulator_ = std::make_unique<Simulator>();
    writeSettings(kUnitAddress, "", "");
    startBridge();

    // Discovery, then association once HW_PATSPEED 1 has arrived.
    ASSERT_TRUE(bridgePrinted("HX>Found Halvex with requested SerialId: " + kSerial, 1, 30s)) << bridgeLog();
    ASSERT_TRUE(bridge_->waitForLine("HX>Running...", 10s)) << bridgeLog();
    ASSERT_TRUE(unit_->waitForCommand("ENABLE", 1, 30s)) << bridgeLog();
    EXPECT_TRUE(bridgePrinted("HX>Enabled", 1, 10s)) << bridgeLog();
    EXPECT_TRUE(bridgePrinted("HX>Watchdog enabled", 1, 10s)) << bridgeLog();

    // Send cycles: vitals first, then waves every cycle, never more than 230 characters.
    ASSERT_TRUE(unit_->waitForCommand("ABP", 30, 30s)) << bridgeLog();
    {
        const auto stats = unit_->snapshot();
        EXPECT_TRUE(stats.enabled);
        EXPECT_EQ(stats.overLimit, 0u);
        EXPECT_LE(stats.longestDatagram, 230u);
        EXPECT_EQ(stats.malformed, 0u);
        EXPECT_EQ(stats.values.at("HR"), "72");
        EXPECT_EQ(stats.values.at("SBP"), "120");
        EXPECT_EQ(stats.values.at("DBP"), "80");
        EXPECT_EQ(stats.values.at("MBP"), "93");
        EXPECT_EQ(stats.values.at("RR"), "12");
        EXPECT_EQ(stats.values.at("SPO2"), "390");  // SaO2 97 on the curve 90 -> 600, 100 -> 300
        EXPECT_EQ(stats.values.at("SPO2_PROBE"), "1");
        EXPECT_EQ(stats.values.at("T1"), "37.0");
        EXPECT_EQ(stats.values.at("T2"), "37.2");
        for (const char* wave : {"ABP", "PAP", "CVP", "PLETH", "CO2"})
            EXPECT_GT(stats.waves.count(wave) ? stats.waves.at(wave).samples : 0u, 3u) << wave;
    }

    // The simulation stops: the unit is disabled; it starts again: associated again.
    simulator_->server().setValue("HW_PATSPEED", 0);
    ASSERT_TRUE(unit_->waitForCommand("DISABLE", 1, 10s)) << bridgeLog();
    EXPECT_TRUE(unit_->waitFor([](const halvex::emulators::unit_v22::UnitStats& s) { return !s.enabled; }, 5s));
    simulator_->server().setValue("HW_PATSPEED", 1);
    ASSERT_TRUE(unit_->waitForCommand("ENABLE", 2, 10s)) << bridgeLog();
    const std::uint64_t abpBefore = count("ABP");
    ASSERT_TRUE(unit_->waitForCommand("ABP", abpBefore + 20, 20s)) << bridgeLog();

    // The unit goes silent: silence is not a lost unit, nothing is counted.
    unit_->setSilent(true);
    eventually([&] { return silentChecks() >= 2; }, 20s);
    ASSERT_GE(silentChecks(), 2u) << bridgeLog();
    EXPECT_EQ(occurrences(bridgeText(), "HX>ERROR>Unable to reach"), 0u) << bridgeLog();
    // It comes back having forgotten the bridge: two failed checks, then disabled,
    // associated again and reported back.
    unit_->restart();
    unit_->setSilent(false);
    ASSERT_TRUE(bridgePrinted("HX>ERROR>Unable to reach the Halvex unit... (2). Reconnecting...", 1, 20s))
        << bridgeLog();
    ASSERT_TRUE(bridgePrinted("HX>ERROR>Connection reestablished...", 1, 20s)) << bridgeLog();
    EXPECT_TRUE(unit_->snapshot().enabled);
    const std::uint64_t abpAfter = count("ABP");
    EXPECT_TRUE(unit_->waitForCommand("ABP", abpAfter + 20, 20s)) << bridgeLog();

    // The unit forgets the bridge and refuses it: given up after the 11th failed check,
    // and a new controller finds the unit again.
    unit_->setRefuseAssociation(true);
    unit_->restart();
    ASSERT_TRUE(bridgePrinted("HX>ERROR>No answer from the Halvex unit for too long. Disconnecting.", 1, 60s))
        << bridgeLog();
    EXPECT_EQ(occurrences(bridgeText(), "HX>ERROR>Unable to reach the Halvex unit... (10). Reconnecting..."), 1u);
    ASSERT_TRUE(bridgePrinted("HX>Disconnected!!", 1, 10s)) << bridgeLog();
    ASSERT_TRUE(bridgePrinted("HX>Running...", 2, 30s)) << bridgeLog();
    EXPECT_EQ(occurrences(bridgeText(), "HX>Initialization of the Halvex adapter..."), 2u);
    EXPECT_EQ(unit_->snapshot().overLimit, 0u);
    EXPECT_EQ(occurrences(bridgeText(), "started while another operation was running"), 0u) << bridgeLog();
}

TEST_F(BridgeV22, RangeOfOneAddressEndsWithStatusOne) {
    writeSettings("", kSilentAddress, kSilentAddress);
    startBridge();
    EXPECT_EQ(bridge_->wait(30s), 1) << bridgeLog();
    EXPECT_NE(bridge_->err().find("HX>ERROR>IP Range incorrect, end address > start address\n"), std::string::npos)
        << bridgeLog();
}

// A calibration session driven by the simulator while it is paused: the unit gets the
// synthetic output, and the saved tables rewrite the configuration file after a backup.
TEST_F(BridgeV22, ACalibrationSessionRewritesTheConfigurationFile) {
    halvex::emulators::unit_v22::UnitEmulator::Options unitOptions;
    unitOptions.address = kUnitAddress;
    unitOptions.serialId = kSerial;
    unit_ = std::make_unique<halvex::emulators::unit_v22::UnitEmulator>(unitOptions);
    unit_->start();
    simulator_ = std::make_unique<Simulator>();
    ASSERT_TRUE(simulator_->server().setValue("HW_PATSPEED", 0));
    writeSettings(kUnitAddress, "", "");
    startBridge();
    ASSERT_TRUE(bridge_->waitForLine("HX>Running...", 30s)) << bridgeLog();
    ASSERT_TRUE(bridgePrinted("Zephra> Connected (SIM Protocol)", 1, 30s)) << bridgeLog();

    auto act = [&](int action, int argument) {
        ASSERT_TRUE(simulator_->server().setValues(
            {{"HW_PATMON_CALIB_ACTION", action}, {"HW_PATMON_CALIB_ARG1", argument}}));
    };
    act(1, 0);
    ASSERT_TRUE(bridgePrinted("HX>CALIBRATION>Starting calibration", 1, 10s)) << bridgeLog();
    act(3, 250);
    act(30, 98);
    act(3, 300);
    act(30, 95);
    // The thread drives the unit with the working values meanwhile.
    ASSERT_TRUE(unit_->waitForCommand("SPO2_SCALE", 3, 10s)) << bridgeLog();
    act(100, 0);
    ASSERT_TRUE(bridgePrinted("HX>Configuration file has been written at: ", 1, 10s)) << bridgeLog();

    Configuration saved(dir_.file("settings.xml"));
    ASSERT_TRUE(saved.load());
    EXPECT_EQ(saved.SPO2Calibration, (std::map<float, float>{{95.0f, 300.0f}, {98.0f, 250.0f}}));
    EXPECT_EQ(saved.SPO2Scale, 4);
    EXPECT_EQ(saved.SerialID, kSerial);
    int backups = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
        backups += entry.path().extension() == ".bak";
    EXPECT_EQ(backups, 1);
}

}  // namespace
