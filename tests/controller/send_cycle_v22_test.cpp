// Parameter handling of the v2.2 edition, driven batch by batch through a recording
// adaptor.

#include <gtest/gtest.h>

#include "tests/controller/send_cycle_fixture.h"

namespace {

using V22SendCycle = SendCycleFixture;

TEST_F(V22SendCycle, OneBatchPerCycleWithCurvesAndTrimmedWaves) {
    config.SPO2Calibration = {{90.0f, 600.0f}, {100.0f, 300.0f}};
    config.CO2Calibration = {{40.0f, 500.0f}};
    startRunning();
    feed({intUpdate("ARTERIAL_CATHETER_DEPTH", 0), intUpdate("CVP_CATHETER_DEPTH", 3),
          intUpdate("PA_CATHETER_DEPTH", 5), intUpdate("PULSE_SENSOR", 1), floatUpdate("SAO2", 95.0f),
          intUpdate("NIBP_SENSOR", 1), intUpdate("EXT_SABP", 120), intUpdate("EXT_DABP", 80),
          intUpdate("EXT_MAP", 93), intUpdate("HRPM", 72), intUpdate("RRPM", 14), intUpdate("TEMP_BODY_SENSOR", 1),
          floatUpdate("BODY_TEMP", 37.5f), intUpdate("ETCO2", 35), intUpdate("CAPNOGRAPH_SENSOR", 1)});
    EXPECT_EQ(unit.log.take(), Calls{});  // no zero-state commands in this edition

    Batch co2 = {floatUpdate("CAPNOGRAM", 0.0f), floatUpdate("CAPNOGRAM", 20.0f)};
    for (int i = 0; i < 10; ++i)
        co2.push_back(floatUpdate("CAPNOGRAM", 50.0f));
    feed(join({samples("CVPLINE", 12), samples("PLINE", 10), samples("PLETH", 12), co2, samples("ARTLINE", 10)}));
    EXPECT_EQ(unit.log.take(),
              (Calls{"beginBatch()", "sendSpO2Probe(1)", "sendSpO2(450)", "sendPlethWave(10)",
                     "sendBloodPressure(120,80,93)", "sendHeartRate(72)", "sendRespirationRate(14)",
                     "sendTemperature1(37.5)", "clearTemperature2()", "sendCo2Wave(10)", "sendAbpWave(10)",
                     "sendCvpWave(10)", "sendPapWave(10)", "flushBatch()"}));
    EXPECT_EQ(unit.lastWave["sendCvpWave"].front(), 3.0f);
    // The 2 oldest CO2 samples (0 -> 0.001, 20 -> 0.2505) were trimmed; 50 -> 0.5.
    EXPECT_EQ(unit.lastWave["sendCo2Wave"], std::vector<float>(10, 0.5f));

    // The next cycle: only the waves, still inside one batch.
    EXPECT_EQ(cycle(), (Calls{"beginBatch()", "sendPlethWave(0)", "sendCo2Wave(0)", "sendAbpWave(10)",
                              "sendCvpWave(0)", "sendPapWave(0)", "flushBatch()"}));
}

TEST_F(V22SendCycle, DetachedOximeterAndNoCapnographSendTheirStatesOnTheCountdown) {
    startRunning();
    feed({intUpdate("PULSE_SENSOR", 2), intUpdate("SPO2_PROBE", 0), intUpdate("SIMULATOR_XCONNECTED", 1),
          floatUpdate("SAO2", 97.0f)});
    feed(join({samples("PLETH", 10), samples("CAPNOGRAM", 10)}));
    EXPECT_EQ(cycle(), (Calls{"beginBatch()", "sendSpO2Probe(0)", "clearBloodPressure()", "sendHeartRate(0)",
                              "sendRespirationRate(0)", "clearTemperature1()", "clearTemperature2()", "clearCo2()",
                              "flushBatch()"}));
    int probeStates = 0;
    for (int i = 0; i < 21; ++i) {
        Calls calls = cycle();
        probeStates += static_cast<int>(std::count(calls.begin(), calls.end(), "sendSpO2Probe(0)"));
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendPlethWave(10)"), 0);
    }
    EXPECT_EQ(probeStates, 1);  // every 21st cycle
}

TEST_F(V22SendCycle, SpeedChangesAssociateAndDisable) {
    feed({intUpdate("HW_PATSPEED", 1)});
    feed({intUpdate("HW_PATSPEED", 1)});
    feed({intUpdate("HW_PATSPEED", 0)});
    feed({intUpdate("HW_PATSPEED", 3)});
    EXPECT_EQ(unit.log.take(), (Calls{"associate()", "associate()", "disable()", "disable()"}));
}

TEST_F(V22SendCycle, SaO2FollowsTheConfigurationsCurrentTable) {
    startRunning();
    feed({intUpdate("PULSE_SENSOR", 1), floatUpdate("SAO2", 45.0f)});
    Calls calls = cycle();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendSpO2(400)"), 1);  // empty table: the start value
    config.SPO2Calibration = {{90.0f, 600.0f}, {100.0f, 300.0f}};
    feed({floatUpdate("SAO2", 45.1f)});
    calls = cycle();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendSpO2(500)"), 1);
}

}  // namespace
