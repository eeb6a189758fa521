// The JSON edition's supervision loop against a scripted unit, with a short check
// interval.

#include <gtest/gtest.h>

#include <thread>

#include "controller/simulator_sample.h"
#include "tests/controller/test_support.h"

using Calls = std::vector<std::string>;

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

TEST(JsonSupervision, CountsFailuresWhileRunningAndGivesUpAfterTheEleventh) {
    Configuration config("unused.xml");
    SimulatorSample controller(&config, quick());
    HalvexAdaptor& unit = controller.unitAdaptor();
    controller.parametersUpdated({com_krel::ParameterValue::ofInt("HW_PATSPEED", 1)});
    // Two failures then back; one failure then back; then gone for good.
    unit.script.health = {false, false, true, false, true};
    unit.script.afterScript = false;

    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    EXPECT_TRUE(controller.run());

    EXPECT_EQ(err.lines(), (std::vector<std::string>{unableToReach(2), unableToReach(2), unableToReach(4),
                                                     unableToReach(6), unableToReach(8), unableToReach(10), kGiveUp}));
    // 14 failed checks; the last one gives up before its own reconnect.
    EXPECT_EQ(countOf(out.lines(), kReconnecting), 13u);
    EXPECT_EQ(countOf(out.lines(), kBack), 1u);
    EXPECT_EQ(unit.log.count(kInitialize), 13u + 6u);
    EXPECT_EQ(unit.log.count("sendCalSelect()"), 0u);
}

TEST(JsonSupervision, IdleUnitGetsCalSelectAndIsNeverGivenUp) {
    Configuration config("unused.xml");
    SimulatorSample controller(&config, quick());
    HalvexAdaptor& unit = controller.unitAdaptor();
    // Lost once while idle (re-initialised, not counted), then connected until the
    // simulation starts, then lost for good.
    unit.script.health = {false};
    unit.script.afterScript = true;

    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    bool gaveUp = false;
    std::thread supervisor([&] { gaveUp = controller.run(); });
    ASSERT_TRUE(unit.log.waitForCount("sendCalSelect()", 3));
    // The script is read by the supervision loop under the controller's lock.
    controller.parametersUpdated({com_krel::ParameterValue::ofInt("HW_PATSPEED", 1)});
    ASSERT_TRUE(unit.log.waitForCount("setStreamingEnabled(1)", 1));
    unit.script.afterScript = false;
    supervisor.join();
    EXPECT_TRUE(gaveUp);

    Calls calls = unit.log.calls();
    auto started = std::find(calls.begin(), calls.end(), "setStreamingEnabled(1)");
    EXPECT_EQ(std::count(started, calls.end(), "sendCalSelect()"), 0) << "no CalSelect once running";
    EXPECT_EQ(calls[0], "isConnected()");
    EXPECT_EQ(calls[1], kInitialize);  // the idle loss
    EXPECT_EQ(countOf(err.lines(), kGiveUp), 1u);
    EXPECT_EQ(countOf(err.lines(), unableToReach(10)), 1u);
    EXPECT_EQ(countOf(out.lines(), kBack), 0u);
}

}  // namespace
