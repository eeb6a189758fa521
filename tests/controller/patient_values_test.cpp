// The patient's values without a controller or an adaptor: the countdowns that pace
// each group, the waves handed out with a cycle, and the oximeter's attachment.

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "controller/patient_values.h"

namespace {

using namespace halvex::controller;

// The cycles, of `count`, in which `due` held.
std::vector<int> dueCycles(PatientValues& values, int count, const std::function<bool(const SendCycle&)>& due) {
    std::vector<int> cycles;
    for (int i = 0; i < count; ++i)
        if (due(values.takeCycle()))
            cycles.push_back(i);
    return cycles;
}

struct Group {
    const char* name;
    std::function<void(PatientValues&, int)> set;
    std::function<bool(const SendCycle&)> due;
};

TEST(PatientValues, AChangedValueGoesOutInTheNextCycleThenEvery21st) {
    auto oximetry = [](const SendCycle& c) { return c.oximetry.has_value(); };
    auto pressure = [](const SendCycle& c) { return c.bloodPressure.has_value(); };
    const Group groups[] = {
        {"heart rate", [](PatientValues& v, int x) { v.setHeartRate(x); }, [](const SendCycle& c) { return c.heartRate.has_value(); }},
        {"respiration rate", [](PatientValues& v, int x) { v.setRespirationRate(x); },
         [](const SendCycle& c) { return c.respirationRate.has_value(); }},
        {"etCO2", [](PatientValues& v, int x) { v.setEtco2(x); }, [](const SendCycle& c) { return c.etco2.has_value(); }},
        {"SpO2", [](PatientValues& v, int x) { v.setSpO2(x); }, oximetry},
        {"pulse sensor", [](PatientValues& v, int x) { v.setPulseSensor(x); }, oximetry},
        {"SpO2 probe", [](PatientValues& v, int x) { v.setSpO2Probe(x % 2 == 0); }, oximetry},
        {"cross-connection", [](PatientValues& v, int x) { v.setCrossConnected(x % 2 == 1); }, oximetry},
        {"systolic", [](PatientValues& v, int x) { v.setSystolic(x); }, pressure},
        {"diastolic", [](PatientValues& v, int x) { v.setDiastolic(x); }, pressure},
        {"mean", [](PatientValues& v, int x) { v.setMean(x); }, pressure},
        {"NIBP sensor", [](PatientValues& v, int x) { v.setNibpSensor(x % 2 == 1); }, pressure},
    };
    for (const Group& group : groups) {
        SCOPED_TRACE(group.name);
        PatientValues values;
        // Every group starts due; then every 21st cycle.
        EXPECT_EQ(dueCycles(values, 43, group.due), (std::vector<int>{0, 21, 42}));
        dueCycles(values, 5, group.due);
        group.set(values, 1);
        EXPECT_EQ(dueCycles(values, 23, group.due), (std::vector<int>{0, 21}));
        group.set(values, 1);  // the same value again is no change
        EXPECT_EQ(dueCycles(values, 19, group.due), std::vector<int>{});
        values.restartCountdowns();
        EXPECT_EQ(dueCycles(values, 1, group.due), std::vector<int>{0});
    }
}

TEST(PatientValues, TemperaturesAndTheirSensorsKeepTheirOwnRhythm) {
    PatientValues values;
    auto due = [](const SendCycle& c) { return c.temperatures.has_value(); };
    EXPECT_EQ(dueCycles(values, 3, due), std::vector<int>{0});
    values.setBodyTemperature(37.5f);
    values.setBodyTemperatureSensor(true);
    values.setBloodTemperature(38.0f);
    EXPECT_EQ(dueCycles(values, 19, due), std::vector<int>{18});
    values.restartCountdowns();
    const SendCycle cycle = values.takeCycle();
    ASSERT_TRUE(cycle.temperatures);
    EXPECT_TRUE(cycle.temperatures->body.measured);
    EXPECT_EQ(cycle.temperatures->body.value, 37.5f);
    EXPECT_FALSE(cycle.temperatures->blood.measured);
}

// Without a capnograph the clearing goes out on its countdown; with one the capnogram
// goes out in every cycle and the countdown stands still.
TEST(PatientValues, TheCapnographChoosesBetweenTheWaveAndTheClearing) {
    PatientValues values;
    auto clears = [](const SendCycle& c) { return c.clearCo2; };
    EXPECT_EQ(dueCycles(values, 22, clears), (std::vector<int>{0, 21}));
    values.setCapnograph(true);
    for (int i = 0; i < 30; ++i) {
        const SendCycle cycle = values.takeCycle();
        EXPECT_FALSE(cycle.clearCo2);
        EXPECT_TRUE(cycle.capnogram.has_value());
    }
    values.setCapnograph(false);
    EXPECT_EQ(dueCycles(values, 22, clears), (std::vector<int>{0, 21}));
}

TEST(PatientValues, WavesAreTrimmedToTheArterialCountAndGoOutOnlyWhenInsertedOrAttached) {
    PatientValues values;
    values.setPulseSensor(1);
    values.setCapnograph(true);
    values.setCatheterDepth(Catheter::Arterial, 0);
    values.setCatheterDepth(Catheter::CentralVenous, 5);
    values.setCatheterDepth(Catheter::PulmonaryArtery, -1);
    for (int i = 1; i <= 12; ++i) {
        const float x = static_cast<float>(i);
        values.addSample(Wave::CentralVenous, x);
        values.addSample(Wave::Pleth, x);
        values.addSample(Wave::PulmonaryArtery, x);
        values.addSample(Wave::Capnogram, x);
        if (i <= 10)
            values.addSample(Wave::Arterial, x);
    }
    values.addSample(Wave::PulmonaryArtery, 13.0f);
    EXPECT_EQ(values.arterialSamples(), 10u);

    const SendCycle cycle = values.takeCycle();
    const Samples arterial = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const Samples newest = {3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(cycle.arterial, arterial);
    EXPECT_EQ(cycle.centralVenous, newest);
    EXPECT_EQ(cycle.pleth, newest);
    EXPECT_EQ(cycle.capnogram, newest);
    EXPECT_FALSE(cycle.pulmonaryArtery.has_value());  // not inserted: dropped

    // Nothing is left for the next cycle, and a shorter wave is not padded.
    EXPECT_EQ(values.arterialSamples(), 0u);
    values.addSample(Wave::Arterial, 1.0f);
    values.addSample(Wave::Arterial, 2.0f);
    values.addSample(Wave::Pleth, 7.0f);
    const SendCycle next = values.takeCycle();
    EXPECT_EQ(next.pleth, Samples{7.0f});
    EXPECT_EQ(next.centralVenous, Samples{});

    values.addSample(Wave::Arterial, 1.0f);
    values.clearWaves();
    EXPECT_EQ(values.arterialSamples(), 0u);
}

TEST(PatientValues, PulseOximeterAttachment) {
    struct Case {
        int pulseSensor;
        bool probe, crossConnected, attached;
    } cases[] = {
        {0, true, false, false},  {0, false, true, false},  {1, false, true, true},   {1, true, false, true},
        {2, true, true, true},    {2, true, false, true},   {2, false, false, true},  {2, false, true, false},
        {3, true, false, false},  {-1, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "pulse sensor " << c.pulseSensor << " probe " << c.probe
                                        << " cross-connected " << c.crossConnected);
        PatientValues values;
        values.setPulseSensor(c.pulseSensor);
        values.setSpO2Probe(c.probe);
        values.setCrossConnected(c.crossConnected);
        values.setSpO2(95);
        EXPECT_EQ(values.oximeterAttached(), c.attached);
        const SendCycle cycle = values.takeCycle();
        ASSERT_TRUE(cycle.oximetry);
        EXPECT_EQ(cycle.oximetry->attached, c.attached);
        EXPECT_EQ(cycle.oximetry->spo2, 95);
        EXPECT_EQ(cycle.pleth.has_value(), c.attached);
    }
}

}  // namespace
