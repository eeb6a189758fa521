// The v2.2 edition's supervision loop against a scripted unit, with a short check
// interval.

#include <gtest/gtest.h>

#include <thread>

#include "controller/simulator_sample.h"
#include "tests/controller/test_support.h"

using Calls = std::vector<std::string>;

namespace {

const std::string kGiveUp = "HX>ERROR>No answer from the Halvex unit for too long. Disconnecting.";

std::string unableToReach(int failures) {
    return "HX>ERROR>Unable to reach the Halvex unit... (" + std::to_string(failures) + "). Reconnecting...";
}

TEST(V22Supervision, QuietWhileStoppedThenCountsFailuresAndGivesUp) {
    Configuration config("unused.xml");
    SimulatorSample::Options options;
    options.supervisionInterval = std::chrono::milliseconds(2);
    auto controller = std::make_unique<SimulatorSample>(&config, options);
    HalvexAdaptor& unit = controller->unitAdaptor();
    // Two failures then back, then gone for good.
    unit.script.health = {false, false, true};
    unit.script.afterScript = false;

    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    bool gaveUp = false;
    std::thread supervisor([&] { gaveUp = controller->run(); });
    // An absence can only be watched for a while: some 25 rounds here.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(unit.log.calls(), Calls{}) << "no unit traffic while the simulation is stopped";
    controller->parametersUpdated({com_krel::ParameterValue::ofInt("HW_PATSPEED", 1)});
    supervisor.join();
    EXPECT_TRUE(gaveUp);

    EXPECT_EQ(err.lines(), (std::vector<std::string>{unableToReach(2), unableToReach(2), unableToReach(4),
                                                     unableToReach(6), unableToReach(8), unableToReach(10), kGiveUp}));
    EXPECT_EQ(out.lines(), std::vector<std::string>{"HX>ERROR>Connection reestablished..."});
    Calls calls = unit.log.calls();
    EXPECT_EQ(calls.front(), "associate()");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "checkAssociation()"), 14);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "disable()"), 6);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "associate()"), 7);

    // Teardown disables the unit.
    unit.log.take();
    controller.reset();
}

}  // namespace
