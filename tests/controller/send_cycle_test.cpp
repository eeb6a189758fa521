// Parameter handling, driven batch by batch through a recording adaptor: what both
// editions do, then what each does its own way.

#include <gtest/gtest.h>

#include "tests/controller/controller_fixture.h"

namespace {

// ---- Both editions ----

TEST_P(BothEditions, CycleAfterEverySecondBatchOfFiveArterialSamples) {
    startRunning();
    feed({intUpdate("ARTERIAL_CATHETER_DEPTH", 0)});
    unit.log.take();
    for (int round = 0; round < 3; ++round) {
        feed(samples("ARTLINE", 5));
        EXPECT_TRUE(unit.log.take().empty()) << "round " << round;
        feed(samples("ARTLINE", 5));
        Calls calls = unit.log.take();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendAbpWave(10)"), 1) << "round " << round;
    }
}

TEST_P(BothEditions, UnchangedHeartRateEvery21stCycleAndAChangeAtOnce) {
    startRunning();
    feed({intUpdate("HRPM", 72)});
    EXPECT_EQ(cyclesSending("sendHeartRate(72)", 1), 1);
    EXPECT_EQ(cyclesSending("sendHeartRate(72)", 20), 0);
    EXPECT_EQ(cyclesSending("sendHeartRate(72)", 1), 1);
    EXPECT_EQ(cyclesSending("sendHeartRate(72)", 3), 0);
    feed({intUpdate("HRPM", 72)});  // the same value again is no change
    EXPECT_EQ(cyclesSending("sendHeartRate(72)", 1), 0);
    feed({intUpdate("HRPM", 80)});
    EXPECT_EQ(cyclesSending("sendHeartRate(80)", 1), 1);
}

TEST_P(BothEditions, PulseOximeterAttachment) {
    struct Case {
        int pulseSensor, probe, crossConnected;
        bool attached;
    } cases[] = {{0, 1, 0, false}, {1, 0, 1, true}, {2, 1, 1, true}, {2, 0, 0, true},
                 {2, 0, 1, false}, {3, 1, 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "PULSE_SENSOR " << c.pulseSensor << " SPO2_PROBE " << c.probe
                                        << " SIMULATOR_XCONNECTED " << c.crossConnected);
        // SaO2 95 maps to 95 through this table in both editions.
        config.SPO2Calibration = {{0.0f, 0.0f}, {100.0f, 100.0f}};
        RecordedController fresh(kind, config);
        ConsoleCapture console;  // the probe line
        fresh.controller->parametersUpdated({intUpdate("HW_PATSPEED", 1), intUpdate("HW_PATMON_ENABLED", 1),
                                             intUpdate("PULSE_SENSOR", c.pulseSensor), intUpdate("SPO2_PROBE", c.probe),
                                             intUpdate("SIMULATOR_XCONNECTED", c.crossConnected),
                                             floatUpdate("SAO2", 95.0f)});
        fresh.controller->parametersUpdated(join({samples("PLETH", 10), samples("ARTLINE", 10)}));
        Calls calls = fresh.unit.log.take();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendSpO2(95)"), c.attached ? 1 : 0);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendPlethWave(10)"), c.attached ? 1 : 0);
    }
}

// An adaptor error ends the batch, not the bridge: the line is printed, the lock is
// free again and the next batch is handled.
TEST_P(BothEditions, AdaptorErrorInsideABatchIsReportedAndTheBridgeCarriesOn) {
    ConsoleCapture console;
    startRunning();
    unit.script.throwOn = "sendHeartRate";
    feed({intUpdate("HRPM", 72)});
    feed(samples("ARTLINE", 10));
    EXPECT_EQ(console.err(), "HX>ERROR>unit write failed in sendHeartRate\n");
    unit.script.throwOn.clear();
    unit.log.take();
    feed({intUpdate("HRPM", 75)});
    Calls calls = cycle();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendHeartRate(75)"), 1);
}

INSTANTIATE_TEST_SUITE_P(Controller, BothEditions, testing::Values(EditionKind::Json, EditionKind::V22), editionName);

// ---- halvex-relay-json ----

using JsonSendCycle = JsonController;

TEST_F(JsonSendCycle, EveryGroupInOrderWithTrimmedWaves) {
    ConsoleCapture console;
    startRunning();
    feed({intUpdate("ARTERIAL_CATHETER_DEPTH", 5), intUpdate("CVP_CATHETER_DEPTH", 5),
          intUpdate("PA_CATHETER_DEPTH", 5), intUpdate("PULSE_SENSOR", 1), floatUpdate("SAO2", 97.9f),
          intUpdate("NIBP_SENSOR", 1), intUpdate("EXT_SABP", 120), intUpdate("EXT_DABP", 80),
          intUpdate("EXT_MAP", 93), intUpdate("SPA", 25), intUpdate("DPA", 10), intUpdate("HRPM", 72),
          intUpdate("RRPM", 14), intUpdate("TEMP_BODY_SENSOR", 1), floatUpdate("BODY_TEMP", 37.5f),
          floatUpdate("bloodTemp", 38.0f), intUpdate("ETCO2", 35), intUpdate("CAPNOGRAPH_SENSOR", 1),
          intUpdate("SPO2_PROBE", 0)});
    EXPECT_EQ(unit.log.take(), (Calls{"sendCommand(abpZeroState,NotZeroing)", "sendCommand(cvpZeroState,NotZeroing)",
                                      "sendCommand(papZeroState,NotZeroing)"}));
    EXPECT_NE(console.out().find("Got update for SpO2 probe param: SPO2_PROBE: 0\n"), std::string::npos);

    feed(join({samples("CVPLINE", 12), samples("PLINE", 10), samples("PLETH", 12), samples("CAPNOGRAM", 10),
               samples("ARTLINE", 10)}));
    EXPECT_EQ(unit.log.take(),
              (Calls{"sendSpO2(97)", "sendPlethWave(10)", "sendBloodPressure(120,80,93)", "sendHeartRate(72)",
                     "sendRespirationRate(14)", "sendTemperature1(37.5)", "clearTemperature2()",
                     "sendCommand(etCO2,35)", "sendAbpWave(10)", "sendCvpWave(10)", "sendPapWave(10)"}));
    // The two oldest samples of the longer waves were dropped.
    EXPECT_EQ(unit.lastWave["sendCvpWave"].front(), 3.0f);
    EXPECT_EQ(unit.lastWave["sendPlethWave"].front(), 3.0f);
    EXPECT_EQ(unit.lastWave["sendPapWave"].front(), 1.0f);
}

TEST_F(JsonSendCycle, SensorsOffClearInsteadOfSending) {
    startRunning();
    feed({intUpdate("TEMP_BLOOD_SENSOR", 1), floatUpdate("bloodTemp", 38.0f), intUpdate("HRPM", 60)});
    EXPECT_EQ(cycle(), (Calls{"clearBloodPressure()", "sendHeartRate(60)", "sendRespirationRate(0)",
                              "clearTemperature1()", "sendTemperature2(38)", "sendCommand(etCO2,0)", "clearCo2()"}));
}

TEST_F(JsonSendCycle, NothingWithoutArterialSamplesOrWhileGated) {
    ConsoleCapture console;
    Batch otherWaves = join({samples("PLINE", 20), samples("CVPLINE", 20), samples("PLETH", 20)});
    startRunning();
    feed(otherWaves);
    feed({intUpdate("HRPM", 90)});
    EXPECT_TRUE(unit.log.take().empty());

    // Stopped, or running with the feature off: samples are discarded, nothing sent.
    feed(join({{intUpdate("HW_PATSPEED", 0)}, samples("ARTLINE", 30)}));
    EXPECT_EQ(unit.log.take(), Calls{"setStreamingEnabled(0)"});
    feed(join({{intUpdate("HW_PATSPEED", 1), intUpdate("HW_PATMON_ENABLED", 0)}, samples("ARTLINE", 30)}));
    EXPECT_EQ(unit.log.take(), Calls{"setStreamingEnabled(1)"});
    EXPECT_NE(console.out().find("HX>>>>>>>>>>>>>>>>>>Feature is not enabled!\n"), std::string::npos);

    // Nothing of the discarded samples is left over.
    feed(join({{intUpdate("HW_PATMON_ENABLED", 1)}, samples("ARTLINE", 9)}));
    EXPECT_TRUE(unit.log.take().empty());
    EXPECT_NE(console.out().find("HX>Feature enabled!\n"), std::string::npos);
}

TEST_F(JsonSendCycle, CatheterDepthSelectsZeroStateAndInsertion) {
    struct Case {
        int depth;
        const char* zeroState;
        bool inserted;
    } cases[] = {{-1, "NotZeroing", false}, {0, "Zeroing", true}, {5, "NotZeroing", true}};
    struct Line {
        const char* param;
        const char* command;
        const char* wave;
        const char* waveParam;
    } lines[] = {{"ARTERIAL_CATHETER_DEPTH", "abpZeroState", "sendAbpWave(10)", "ARTLINE"},
                 {"CVP_CATHETER_DEPTH", "cvpZeroState", "sendCvpWave(10)", "CVPLINE"},
                 {"PA_CATHETER_DEPTH", "papZeroState", "sendPapWave(10)", "PLINE"}};
    for (const Line& line : lines) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << line.param << " " << c.depth);
            RecordedController recordedFresh(EditionKind::Json, config);
            SimulatorSample& fresh = *recordedFresh.controller;
            Recorder& freshUnit = recordedFresh.unit;
            // Sent at once, even while the simulation is stopped.
            fresh.parametersUpdated({intUpdate(line.param, c.depth)});
            EXPECT_EQ(freshUnit.log.take(), Calls{std::string("sendCommand(") + line.command + "," + c.zeroState + ")"});
            fresh.parametersUpdated({intUpdate("HW_PATSPEED", 1), intUpdate("HW_PATMON_ENABLED", 1)});
            const bool arterial = std::string(line.waveParam) == "ARTLINE";
            fresh.parametersUpdated(arterial ? samples("ARTLINE", 10)
                                             : join({samples(line.waveParam, 10, 100.0f), samples("ARTLINE", 10)}));
            Calls calls = freshUnit.log.take();
            EXPECT_EQ(std::count(calls.begin(), calls.end(), line.wave), c.inserted ? 1 : 0);
        }
    }
}

TEST_F(JsonSendCycle, SpeedChangeResetsEveryCountdownAndRepeatedRunReenablesStreaming) {
    startRunning();
    cycle();
    EXPECT_EQ(cycle(), Calls{});  // every group is waiting for its countdown
    feed({intUpdate("HW_PATSPEED", 1)});
    EXPECT_EQ(unit.log.take(), Calls{"setStreamingEnabled(1)"});
    EXPECT_EQ(cycle(), Calls{});  // the same speed again restarts no countdown

    feed({intUpdate("HW_PATSPEED", 2)});
    EXPECT_EQ(unit.log.take(), Calls{"setStreamingEnabled(0)"});
    feed({intUpdate("HW_PATSPEED", 1)});
    EXPECT_EQ(unit.log.take(), Calls{"setStreamingEnabled(1)"});
    EXPECT_EQ(cycle(), (Calls{"clearBloodPressure()", "sendHeartRate(0)", "sendRespirationRate(0)",
                              "clearTemperature1()", "clearTemperature2()", "sendCommand(etCO2,0)", "clearCo2()"}));
}

TEST_F(JsonSendCycle, DebugTraceLines) {
    ConsoleCapture console;
    feed({intUpdate("PULSE_SENSOR", 2)});
    EXPECT_EQ(console.out(), "");  // no trace without debug
    // init() sets the debug flag; here it fails at once on the missing file, which
    // is all this test needs.
    EXPECT_FALSE(controller.init(true));
    EXPECT_NE(console.err().find("HX>ERROR>Unable to read the configuration!\n"), std::string::npos);
    feed({intUpdate("PULSE_SENSOR", 1), intUpdate("HW_PATSPEED", 0), intUpdate("HW_PATMON_CALIB_ACTION", 3)});
    EXPECT_NE(console.out().find("HX>PULSE_SENSOR: 1\nHX>HW_PATSPEED_PARAM: 0\nGot here2 (parametersUpdated)\n"
                              "HX>CALIBRATION_ACTION: 3\n"),
              std::string::npos)
        << console.out();
}

// ---- halvex-relay-v22 ----

using V22SendCycle = V22Controller;

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
