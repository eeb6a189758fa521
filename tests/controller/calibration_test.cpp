// The monitor calibration procedure driven through the simulator's calibration
// actions, in both editions, over recording adaptors.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "tests/controller/controller_fixture.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;

const std::string kIgnoring = "HX>CALIBRATION>Ignoring calibration until a 'Start' action is received.";

class Calibration : public BothEditions {
protected:
    // One batch carrying an action and its argument.
    void act(int action, int argument = 0) {
        feed({intUpdate("HW_PATMON_CALIB_ACTION", action), intUpdate("HW_PATMON_CALIB_ARG1", argument)});
    }
    std::vector<std::string> calibrationLines() const {
        std::vector<std::string> lines;
        for (const std::string& line : console.lines(Channel::Out))
            if (line.rfind("HX>CALIBRATION>", 0) == 0)
                lines.push_back(line);
        return lines;
    }
    ConsoleCapture console;
};

TEST_P(Calibration, ActionsBeforeAStartAreIgnoredAndStoreNothing) {
    config.SPO2Calibration = {{90.0f, 600.0f}};
    act(30, 98);
    act(2, 5);
    act(100);
    EXPECT_EQ(calibrationLines(), (std::vector<std::string>{kIgnoring, kIgnoring, kIgnoring}));
    EXPECT_EQ(unit.log.count("uploadCalibration(SpO2,)"), 0u);
    for (const std::string& call : unit.log.calls())
        EXPECT_EQ(call.find("uploadCalibration"), std::string::npos) << call;
    EXPECT_EQ(config.SPO2Calibration, (std::map<float, float>{{90.0f, 600.0f}}));
    if (json()) {
        EXPECT_NE(console.out().find("Calling performCalibration with action: [30] and arg: [98]\n"), std::string::npos);
    }
}

// The design's session: counters 250 and 300 with the monitor reading 98 and 95.
TEST_P(Calibration, ASessionSavesItsPointsTheEditionsWay) {
    config.SPO2Calibration = {{90.0f, 600.0f}};
    config.CO2Calibration = {{40.0f, 500.0f}};
    config.SPO2Scale = 5;
    act(1);
    act(3, 250);
    act(30, 98);
    act(3, 300);
    act(30, 95);
    act(100);
    EXPECT_EQ(calibrationLines(),
              (std::vector<std::string>{"HX>CALIBRATION>Starting calibration", "HX>CALIBRATION>Start/reset calibration",
                                        "HX>CALIBRATION>Set SPO2 Counter to 250", "HX>CALIBRATION>Save SPO2 point 98 -> 250",
                                        "HX>CALIBRATION>Set SPO2 Counter to 300", "HX>CALIBRATION>Save SPO2 point 95 -> 300",
                                        "HX>CALIBRATION>Saving calibration file!"}));
    if (json()) {
        // Keyed by the counter; only the SpO2 table goes up.
        const Calls calls = unit.log.calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendSpO2Ratio(250)"), 1);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendSpO2Ratio(300)"), 1);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "uploadCalibration(SpO2,250>98 300>95)"), 1);
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                                [](const std::string& c) { return c.rfind("uploadCalibration(CO2", 0) == 0; }),
                  0);
    } else {
        // Keyed by the monitor's reading, into the configuration; CO2 untouched.
        EXPECT_EQ(config.SPO2Calibration, (std::map<float, float>{{95.0f, 300.0f}, {98.0f, 250.0f}}));
        EXPECT_EQ(config.SPO2Scale, 4);
        EXPECT_EQ(config.CO2Calibration, (std::map<float, float>{{40.0f, 500.0f}}));
    }
    // The procedure is over: a further point is ignored.
    act(30, 90);
    EXPECT_EQ(calibrationLines().back(), kIgnoring);
}

TEST_P(Calibration, ANewArgumentAloneRepeatsTheLastActionAndARestartStartsNoSecondThread) {
    act(1);
    act(3, 250);
    feed({intUpdate("HW_PATMON_CALIB_ARG1", 260)});
    act(1);
    EXPECT_EQ(calibrationLines(),
              (std::vector<std::string>{"HX>CALIBRATION>Starting calibration", "HX>CALIBRATION>Start/reset calibration",
                                        "HX>CALIBRATION>Set SPO2 Counter to 250", "HX>CALIBRATION>Set SPO2 Counter to 260",
                                        "HX>CALIBRATION>Start/reset calibration"}));
    act(0);
    EXPECT_EQ(calibrationLines().back(), "HX>CALIBRATION>Stopping calibration");
    if (json()) {
        EXPECT_TRUE(console.waitFor("exiting calibration mode...\n"));
        EXPECT_EQ(console.count("Entered calibration mode...\n"), 1u);
    }
}

// The simulation starting ends the procedure within one round.
TEST_P(Calibration, TheSimulationStartingEndsTheProcedure) {
    act(1);
    if (json()) {
        ASSERT_TRUE(console.waitFor("Entered calibration mode...\n"));
    }
    feed({intUpdate("HW_PATSPEED", 1)});
    act(30, 98);  // not for the procedure while the simulation runs
    EXPECT_EQ(calibrationLines().back(), "HX>CALIBRATION>Start/reset calibration");
    if (json()) {
        ASSERT_TRUE(console.waitFor("exiting calibration mode...\n", Channel::Out, 2s));
        // The simulation drives the unit now: its stream stays on.
        const Calls calls = unit.log.calls();
        auto last = std::find_if(calls.rbegin(), calls.rend(),
                                 [](const std::string& c) { return c.rfind("setStreamingEnabled", 0) == 0; });
        ASSERT_NE(last, calls.rend());
        EXPECT_EQ(*last, "setStreamingEnabled(1)");
    }
    // Stopped again, the procedure has ended: it needs a new start.
    feed({intUpdate("HW_PATSPEED", 0)});
    act(30, 98);
    EXPECT_EQ(calibrationLines().back(), kIgnoring);
}

INSTANTIATE_TEST_SUITE_P(Controller, Calibration, testing::Values(EditionKind::Json, EditionKind::V22), editionName);

TEST_F(JsonController, CalibrationCountersDriveTheUnitAndBothTablesGoUp) {
    ConsoleCapture console;
    auto act = [&](int a, int g) {
        feed({intUpdate("HW_PATMON_CALIB_ACTION", a), intUpdate("HW_PATMON_CALIB_ARG1", g)});
    };
    act(1, 0);
    act(3, 0);  // no ratio for a counter of 0
    act(4, 120);
    act(40, 38);
    act(3, 250);
    act(30, 97);
    act(100, 0);
    const Calls calls = unit.log.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendSpO2Ratio(0)"), 0);
    const std::vector<std::string> expected = {"sendRespirationRate(10)", "sendCo2FlowFactor(120)",
                                               "uploadCalibration(SpO2,250>97)", "uploadCalibration(CO2,120>38)"};
    auto at = calls.begin();
    for (const std::string& call : expected) {
        at = std::find(at, calls.end(), call);
        EXPECT_NE(at, calls.end()) << call << " missing or out of order";
    }
    EXPECT_NE(console.out().find("Sending co2FlowFactor of 120\n"), std::string::npos);
}

// The v2.2 thread's synthetic output: one batch per round with fixed vitals, the SpO2
// working values, the pulse table and the CO2 square wave.
TEST_F(V22Controller, CalibrationThreadSendsOneBatchPerRound) {
    auto act = [&](int a, int g) {
        feed({intUpdate("HW_PATMON_CALIB_ACTION", a), intUpdate("HW_PATMON_CALIB_ARG1", g)});
    };
    act(1, 0);
    act(4, 500);
    act(3, 80);
    act(2, 6);
    unit.log.take();  // rounds from now on see these values
    // 26 rounds: past the 250 samples at 0 of the CO2 square wave.
    ASSERT_TRUE(unit.log.waitForCount("flushBatch()", 26, 20s));
    // Rounds check the procedure under the controller's lock: none runs after this.
    act(0, 0);

    Calls calls = unit.log.take();
    calls.erase(std::remove(calls.begin(), calls.end(), "associate()"), calls.end());
    const Calls round = {"beginBatch()",     "sendHeartRate(72)", "sendRespirationRate(10)", "sendSpO2Probe(1)",
                         "sendSpO2Scale(6)", "sendSpO2(80)",      "sendPlethWave(10)",       "sendCo2Wave(10)",
                         "flushBatch()"};
    ASSERT_GE(calls.size(), 26 * round.size());
    for (std::size_t at = 0; at + round.size() <= calls.size(); at += round.size())
        EXPECT_EQ(Calls(calls.begin() + static_cast<std::ptrdiff_t>(at),
                        calls.begin() + static_cast<std::ptrdiff_t>(at + round.size())),
                  round)
            << "round " << at / round.size();

    // Every frame from the first round on: the pulse table from its start, wrapping
    // after its 122nd sample, and the CO2 wave at 0 for 250 samples, then at 0.5.
    std::vector<float> pleth, co2;
    for (const auto& frame : unit.wavesOf("sendPlethWave"))
        pleth.insert(pleth.end(), frame.begin(), frame.end());
    for (const auto& frame : unit.wavesOf("sendCo2Wave"))
        co2.insert(co2.end(), frame.begin(), frame.end());
    ASSERT_GE(pleth.size(), 260u);
    const std::size_t length = V22Edition::kPulseLength;
    for (std::size_t i = 0; i < pleth.size(); ++i)
        ASSERT_EQ(pleth[i], V22Edition::kPulse[i % length]) << "sample " << i;
    EXPECT_EQ(pleth[0], 0.0f);
    EXPECT_EQ(pleth[60], 8.09f);
    EXPECT_EQ(pleth[121], 8.09f);
    EXPECT_EQ(pleth[122], 0.0f);
    for (std::size_t i = 0; i < 250; ++i)
        ASSERT_EQ(co2[i], 0.0f) << "sample " << i;
    for (std::size_t i = 250; i < 260; ++i)
        EXPECT_EQ(co2[i], 0.5f) << "sample " << i;
}

// The saved calibration rewrites the configuration file, after a backup of it.
TEST(V22CalibrationSave, TheSessionRewritesTheConfigurationFile) {
    halvex::test::TempDir dir;
    const std::string original =
        "<Halvex><SPO2Scale>5</SPO2Scale><SerialID>HX22</SerialID><IPAddress>127.0.0.9</IPAddress>"
        "<SPO2Calibration><Entry key=\"90\" value=\"600\"/></SPO2Calibration>"
        "<CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration></Halvex>\n";
    dir.write("settings.xml", original);
    Configuration config(dir.file("settings.xml"));
    ConsoleCapture console;
    ASSERT_TRUE(config.load());
    RecordedController recorded(EditionKind::V22, config);
    auto act = [&](int a, int g) {
        recorded.controller->parametersUpdated(
            {intUpdate("HW_PATMON_CALIB_ACTION", a), intUpdate("HW_PATMON_CALIB_ARG1", g)});
    };
    act(1, 0);
    act(3, 250);
    act(30, 98);
    act(3, 300);
    act(30, 95);
    act(100, 0);
    EXPECT_TRUE(console.waitFor("HX>Configuration file has been written at: " + config.path() + "\n"));

    Configuration reread(config.path());
    ASSERT_TRUE(reread.load());
    EXPECT_EQ(reread.SPO2Calibration, (std::map<float, float>{{95.0f, 300.0f}, {98.0f, 250.0f}}));
    EXPECT_EQ(reread.SPO2Scale, 4);
    EXPECT_EQ(reread.CO2Calibration, (std::map<float, float>{{40.0f, 500.0f}}));
    EXPECT_EQ(reread.SerialID, "HX22");
    int backups = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        backups += entry.path().extension() == ".bak";
    EXPECT_EQ(backups, 1);
}

}  // namespace
