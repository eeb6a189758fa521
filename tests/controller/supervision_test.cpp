// The supervision loop against a scripted unit, with a short check interval.

#include <gtest/gtest.h>

#include <thread>

#include "tests/controller/controller_fixture.h"

namespace {

SimulatorSample::Options quick() {
    SimulatorSample::Options options;
    options.supervisionInterval = std::chrono::milliseconds(2);
    return options;
}

std::size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

const std::string kInitialize = "initialize(,,,,1)";
const std::string kGiveUp = "HX>ERROR>No answer from the Halvex unit for too long. Disconnecting.";
const std::string kBack = "HX>ERROR>Connection reestablished...";
const std::string kReconnecting = "Disconnected. Reconnecting.";

std::string unableToReach(int failures) {
    return "HX>ERROR>Unable to reach the Halvex unit... (" + std::to_string(failures) + "). Reconnecting...";
}

class Supervision : public testing::TestWithParam<EditionKind> {
protected:
    Configuration config{"unused.xml"};
};

TEST_P(Supervision, CountsFailuresWhileRunningAndGivesUpAfterTheEleventh) {
    RecordedController recorded(GetParam(), config, quick());
    Recorder& unit = recorded.unit;
    recorded.controller->parametersUpdated({intUpdate("HW_PATSPEED", 1)});
    // Two failures then back; one failure then back; then gone for good.
    unit.script.health = {false, false, true, false, true};
    unit.script.afterScript = false;

    ConsoleCapture console;
    EXPECT_TRUE(recorded.controller->run());

    EXPECT_EQ(console.lines(Channel::Err),
              (std::vector<std::string>{unableToReach(2), unableToReach(2), unableToReach(4), unableToReach(6),
                                        unableToReach(8), unableToReach(10), kGiveUp}));
    EXPECT_EQ(countOf(console.lines(Channel::Out), kBack), 1u);
    // 14 failed checks: every second one tries to bring the unit back, the last one
    // gives up before it does.
    if (GetParam() == EditionKind::Json) {
        // The JSON edition also re-initialises after every failed check.
        EXPECT_EQ(countOf(console.lines(Channel::Out), kReconnecting), 13u);
        EXPECT_EQ(unit.log.count(kInitialize), 13u + 6u);
        EXPECT_EQ(unit.log.count("sendCalSelect()"), 0u);
    } else {
        EXPECT_EQ(unit.log.count("checkAssociation()"), 16u);
        EXPECT_EQ(unit.log.count("disable()"), 6u);
        EXPECT_EQ(unit.log.count("associate()"), 1u + 6u);
    }
}

INSTANTIATE_TEST_SUITE_P(Controller, Supervision, testing::Values(EditionKind::Json, EditionKind::V22), editionName);

TEST(JsonSupervision, IdleUnitGetsCalSelectAndIsNeverGivenUp) {
    Configuration config("unused.xml");
    RecordedController recorded(EditionKind::Json, config, quick());
    SimulatorSample& controller = *recorded.controller;
    Recorder& unit = recorded.unit;
    // Lost once while idle (re-initialised, not counted), then connected until the
    // simulation starts, then lost for good.
    unit.script.health = {false};
    unit.script.afterScript = true;

    ConsoleCapture console;
    bool gaveUp = false;
    std::thread supervisor([&] { gaveUp = controller.run(); });
    ASSERT_TRUE(unit.log.waitForCount("sendCalSelect()", 3));
    controller.parametersUpdated({intUpdate("HW_PATSPEED", 1)});
    ASSERT_TRUE(unit.log.waitForCount("setStreamingEnabled(1)", 1));
    unit.script.afterScript = false;
    supervisor.join();
    EXPECT_TRUE(gaveUp);

    Calls calls = unit.log.calls();
    auto started = std::find(calls.begin(), calls.end(), "setStreamingEnabled(1)");
    EXPECT_EQ(std::count(started, calls.end(), "sendCalSelect()"), 0) << "no CalSelect once running";
    EXPECT_EQ(calls[0], "isConnected()");
    EXPECT_EQ(calls[1], kInitialize);  // the idle loss
    EXPECT_EQ(countOf(console.lines(Channel::Err), kGiveUp), 1u);
    EXPECT_EQ(countOf(console.lines(Channel::Err), unableToReach(10)), 1u);
    EXPECT_EQ(countOf(console.lines(Channel::Out), kBack), 0u);
}

// The simulation is paused while the lost unit is being reconnected: once the unit is
// back, streaming is off, and it is not switched on again.
TEST(JsonSupervision, APauseDuringTheReconnectionLeavesStreamingOff) {
    Configuration config("unused.xml");
    RecordedController recorded(EditionKind::Json, config, quick());
    SimulatorSample& controller = *recorded.controller;
    Recorder& unit = recorded.unit;
    controller.parametersUpdated({intUpdate("HW_PATSPEED", 1)});
    ASSERT_TRUE(unit.log.waitForCount("setStreamingEnabled(1)", 1));
    unit.script.health = {false};  // lost at the first check, then back
    unit.script.afterScript = true;
    unit.script.duringInitialize = [&] { controller.parametersUpdated({intUpdate("HW_PATSPEED", 0)}); };

    ConsoleCapture console;
    std::thread supervisor([&] { controller.run(); });
    ASSERT_TRUE(unit.log.waitForCount(kInitialize, 1));
    // Checks after the reconnection: the replay is done by then.
    ASSERT_TRUE(unit.log.waitForCount("isConnected()", 3));
    controller.stop();
    supervisor.join();

    const Calls calls = unit.log.calls();
    const auto reconnected = std::find(calls.begin(), calls.end(), kInitialize);
    ASSERT_NE(reconnected, calls.end());
    EXPECT_NE(std::find(reconnected, calls.end(), "setStreamingEnabled(0)"), calls.end()) << console.out();
    EXPECT_EQ(std::find(reconnected, calls.end(), "setStreamingEnabled(1)"), calls.end());
    EXPECT_EQ(countOf(console.lines(Channel::Out), kReconnecting), 1u);
}

TEST(V22Supervision, QuietWhileStoppedThenCountsFailuresAndGivesUp) {
    Configuration config("unused.xml");
    auto adaptor = std::make_unique<RecordingV22Adaptor>();
    RecordingV22Adaptor& unit = *adaptor;
    // The supervision checks counted, so the test can wait for a number of rounds
    // instead of sleeping.
    CallLog checks;
    SimulatorSample::Options options = quick();
    options.onCheck = [&checks](bool driven) { checks.add(driven ? "driven" : "stopped"); };
    auto controller = std::make_unique<SimulatorSample>(
        &config, std::make_unique<V22Edition>(config, std::move(adaptor)), options);
    // Two failures then back, then gone for good.
    unit.script.health = {false, false, true};
    unit.script.afterScript = false;

    ConsoleCapture console;
    bool gaveUp = false;
    std::thread supervisor([&] { gaveUp = controller->run(); });
    ASSERT_TRUE(checks.waitForCount("stopped", 25));
    EXPECT_EQ(unit.log.calls(), Calls{}) << "no unit traffic while the simulation is stopped";
    controller->parametersUpdated({intUpdate("HW_PATSPEED", 1)});
    supervisor.join();
    EXPECT_TRUE(gaveUp);

    EXPECT_EQ(console.lines(Channel::Err),
              (std::vector<std::string>{unableToReach(2), unableToReach(2), unableToReach(4), unableToReach(6),
                                        unableToReach(8), unableToReach(10), kGiveUp}));
    EXPECT_EQ(console.lines(Channel::Out), std::vector<std::string>{kBack});
    Calls calls = unit.log.calls();
    EXPECT_EQ(calls.front(), "associate()");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "checkAssociation()"), 14);
}

}  // namespace
