// Two operations of the adaptor never overlap: the v2.2 edition's supervision loop and
// the parameter batches drive one real adaptor against the unit stand-in together,
// through a loss of the unit and the give-up; the adaptor counts any overlap.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "configuration/configuration.h"
#include "controller/edition_v22.h"
#include "controller/simulator_sample.h"
#include "simlink/types.h"
#include "tests/adaptor_v22/v22_test_support.h"
#include "tests/support/console_capture.h"

namespace {

using com_krel::ParameterValue;
using halvex::platform::Channel;
using halvex::configuration::Configuration;
using halvex::controller::SimulatorSample;
using halvex::controller::V22Edition;
using halvex::test::ConsoleCapture;
using namespace v22test;

std::vector<ParameterValue> cycleHalf(float base) {
    std::vector<ParameterValue> batch;
    for (int i = 0; i < 5; ++i) {
        const float x = base + static_cast<float>(i);
        for (const char* wave : {"ARTLINE", "PLINE", "CVPLINE", "PLETH", "CAPNOGRAM"})
            batch.push_back(ParameterValue::ofFloat(wave, x));
    }
    batch.push_back(ParameterValue::ofInt("HRPM", 60 + static_cast<int>(base) % 40));
    return batch;
}

class OneOperation : public UnitFixture {};

TEST_F(OneOperation, SupervisionAndBatchesTakeTurns) {
    startUnit({72});
    auto options = optionsFor({72});
    auto owned = makeAdaptor(options);
    halvex::adaptor_v22::HalvexAdaptor& adaptor = *owned;
    ASSERT_TRUE(adaptor.initialize(kSerial, Block{72}.unit(), "", "", false));

    Configuration config("unused.xml");
    SimulatorSample::Options controllerOptions;
    controllerOptions.supervisionInterval = std::chrono::milliseconds(5);
    auto controller = std::make_unique<SimulatorSample>(
        &config, std::make_unique<V22Edition>(config, std::move(owned)), controllerOptions);

    ConsoleCapture console;
    controller->parametersUpdated({ParameterValue::ofInt("HW_PATSPEED", 1), ParameterValue::ofInt("HW_PATMON_ENABLED", 1),
                                   ParameterValue::ofInt("PULSE_SENSOR", 1), ParameterValue::ofInt("CAPNOGRAPH_SENSOR", 1),
                                   ParameterValue::ofInt("ARTERIAL_CATHETER_DEPTH", 1),
                                   ParameterValue::ofInt("CVP_CATHETER_DEPTH", 1),
                                   ParameterValue::ofInt("PA_CATHETER_DEPTH", 1)});
    ASSERT_TRUE(adaptor.enabled());

    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        float base = 0;
        while (feeding.load()) {
            controller->parametersUpdated(cycleHalf(base));
            base += 5;
            // Also the speed update the simulator repeats: associate() while enabled.
            if (static_cast<int>(base) % 100 == 0)
                controller->parametersUpdated({ParameterValue::ofInt("HW_PATSPEED", 1)});
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    bool gaveUp = false;
    std::thread supervisor([&] { gaveUp = controller->run(); });

    EXPECT_TRUE(unit->waitForCommand("ID", 30, 30s));
    EXPECT_TRUE(unit->waitForCommand("ABP", 30, 30s));
    // The unit forgets the bridge and refuses it from now on: the loop disables and
    // associates again on every second failed check and gives up after the 11th.
    unit->setRefuseAssociation(true);
    unit->restart();
    supervisor.join();
    feeding = false;
    feeder.join();

    EXPECT_TRUE(gaveUp);
    EXPECT_EQ(adaptor.overlappingCalls(), 0u);
    EXPECT_EQ(console.count("started while another operation was running", Channel::Err), 0u);
    EXPECT_EQ(console.count("HX>ERROR>No answer from the Halvex unit for too long. Disconnecting.", Channel::Err), 1u);
    EXPECT_EQ(unit->snapshot().overLimit, 0u);
    controller.reset();
}

TEST_F(OneOperation, OverlappingCallsAreReported) {
    startUnit({73});
    auto options = optionsFor({73}, false);
    options.transport.waits.polls = 100;  // a query waits a whole second for the silent unit
    auto adaptor = makeAdaptor(options);
    ASSERT_TRUE(adaptor->initialize(kSerial, Block{73}.unit(), "", "", false));
    unit->overrideReply("ID", {});
    const auto ids = idCount();
    ConsoleCapture console;
    std::thread checker([&] { adaptor->checkAssociation(); });
    ASSERT_TRUE(unit->waitForCommand("ID", ids + 1, 5s));
    adaptor->sendHeartRate(72);  // dropped (not enabled), but it ran during the query
    checker.join();
    EXPECT_EQ(adaptor->overlappingCalls(), 1u);
    EXPECT_EQ(console.count("HX>ERROR>Halvex v2.2 adaptor: sendHeartRate started while another operation was running",
                            Channel::Err),
              1u);
}

}  // namespace
