// Parameter handling of the JSON edition, driven batch by batch through a recording
// adaptor.

#include <gtest/gtest.h>

#include "tests/controller/send_cycle_fixture.h"

namespace {

using JsonSendCycle = SendCycleFixture;

TEST_F(JsonSendCycle, EveryGroupInOrderWithTrimmedWaves) {
    StreamCapture out(std::cout);
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
    EXPECT_NE(out.text().find("Got update for SpO2 probe param: SPO2_PROBE: 0\n"), std::string::npos);

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

TEST_F(JsonSendCycle, CycleAfterEverySecondBatchOfFiveArterialSamples) {
    startRunning();
    feed({intUpdate("ARTERIAL_CATHETER_DEPTH", 0)});
    EXPECT_EQ(unit.log.take(), Calls{"sendCommand(abpZeroState,Zeroing)"});
    for (int round = 0; round < 3; ++round) {
        feed(samples("ARTLINE", 5));
        EXPECT_TRUE(unit.log.take().empty()) << "round " << round;
        feed(samples("ARTLINE", 5));
        Calls calls = unit.log.take();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendAbpWave(10)"), 1) << "round " << round;
    }
}

TEST_F(JsonSendCycle, NothingWithoutArterialSamplesOrWhileGated) {
    StreamCapture out(std::cout);
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
    EXPECT_NE(out.text().find("HX>>>>>>>>>>>>>>>>>>Feature is not enabled!\n"), std::string::npos);

    // Nothing of the discarded samples is left over.
    feed(join({{intUpdate("HW_PATMON_ENABLED", 1)}, samples("ARTLINE", 9)}));
    EXPECT_TRUE(unit.log.take().empty());
    EXPECT_NE(out.text().find("HX>Feature enabled!\n"), std::string::npos);
}

TEST_F(JsonSendCycle, UnchangedHeartRateEvery21stCycleAndAChangeAtOnce) {
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

TEST_F(JsonSendCycle, PulseOximeterAttachment) {
    struct Case {
        int pulseSensor, probe, crossConnected;
        bool attached;
    } cases[] = {{0, 1, 0, false}, {1, 0, 1, true}, {2, 1, 1, true}, {2, 0, 0, true},
                 {2, 0, 1, false}, {3, 1, 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "PULSE_SENSOR " << c.pulseSensor << " SPO2_PROBE " << c.probe
                                        << " SIMULATOR_XCONNECTED " << c.crossConnected);
        SimulatorSample fresh(&config);
        HalvexAdaptor& freshUnit = fresh.unitAdaptor();
        StreamCapture out(std::cout);  // the probe line
        fresh.parametersUpdated({intUpdate("HW_PATSPEED", 1), intUpdate("HW_PATMON_ENABLED", 1),
                                 intUpdate("PULSE_SENSOR", c.pulseSensor), intUpdate("SPO2_PROBE", c.probe),
                                 intUpdate("SIMULATOR_XCONNECTED", c.crossConnected), floatUpdate("SAO2", 95.0f)});
        fresh.parametersUpdated(join({samples("PLETH", 10), samples("ARTLINE", 10)}));
        Calls calls = freshUnit.log.take();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendSpO2(95)"), c.attached ? 1 : 0);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendPlethWave(10)"), c.attached ? 1 : 0);
    }
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
            SimulatorSample fresh(&config);
            HalvexAdaptor& freshUnit = fresh.unitAdaptor();
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
    StreamCapture out(std::cout);
    feed({intUpdate("PULSE_SENSOR", 2)});
    EXPECT_EQ(out.text(), "");  // no trace without debug
    // init() sets the debug flag; here it fails at once on the missing file, which
    // is all this test needs.
    StreamCapture err(std::cerr);
    EXPECT_FALSE(controller.init(true));
    EXPECT_NE(err.text().find("HX>ERROR>Unable to read the configuration!\n"), std::string::npos);
    feed({intUpdate("PULSE_SENSOR", 1), intUpdate("HW_PATSPEED", 0), intUpdate("HW_PATMON_CALIB_ACTION", 3)});
    EXPECT_NE(out.text().find("HX>PULSE_SENSOR: 1\nHX>HW_PATSPEED_PARAM: 0\nGot here2 (parametersUpdated)\n"
                              "HX>CALIBRATION_ACTION: 3\n"),
              std::string::npos)
        << out.text();
}

// An adaptor error ends the batch, not the bridge: the line is printed, the lock is
// free again and the next batch is handled.
TEST_F(JsonSendCycle, AdaptorErrorInsideABatchIsReportedAndTheBridgeCarriesOn) {
    StreamCapture err(std::cerr);
    startRunning();
    unit.script.throwOn = "sendHeartRate";
    feed({intUpdate("HRPM", 72)});
    feed(samples("ARTLINE", 10));
    EXPECT_EQ(err.text(), "HX>ERROR>unit write failed in sendHeartRate\n");
    unit.script.throwOn.clear();
    unit.log.take();
    feed({intUpdate("HRPM", 75)});
    Calls calls = cycle();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendHeartRate(75)"), 1);
}

}  // namespace
