// Every run-mode command through an enabled adaptor, as the unit receives it.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "tests/adaptor_v22/v22_test_support.h"

namespace {

using halvex::adaptor_v22::HalvexAdaptor;
using namespace v22test;

class RunCommands : public UnitFixture {};

std::vector<float> filled(std::size_t n, float value) { return std::vector<float>(n, value); }

TEST_F(RunCommands, EachCommandAsTheUnitReceivesIt) {
    startUnit({70});
    auto adaptor = foundAdaptor(true);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* what;
        std::function<void(HalvexAdaptor&, std::vector<float>&)> call;
        std::vector<float> samples;
        std::vector<std::string> datagrams;
        std::size_t samplesLeft;
    } cases[] = {
        {"HR 72", [](HalvexAdaptor& a, auto&) { a.sendHeartRate(72); }, {}, {"[HR]72@"}, 0},
        {"HR below 20", [](HalvexAdaptor& a, auto&) { a.sendHeartRate(10); }, {}, {"[HR]20@"}, 0},
        {"HR above 300", [](HalvexAdaptor& a, auto&) { a.sendHeartRate(350); }, {}, {"[HR]300@"}, 0},
        {"blood pressure", [](HalvexAdaptor& a, auto&) { a.sendBloodPressure(120, 80, 93); }, {},
         {"[SBP]120@", "[DBP]80@", "[MBP]93@"}, 0},
        {"blood pressure bounds", [](HalvexAdaptor& a, auto&) { a.sendBloodPressure(400, -5, 300); }, {},
         {"[SBP]300@", "[DBP]0@", "[MBP]300@"}, 0},
        {"clear blood pressure", [](HalvexAdaptor& a, auto&) { a.clearBloodPressure(); }, {},
         {"[SBP]0@", "[MBP]0@", "[DBP]0@"}, 0},
        {"RR bounds", [](HalvexAdaptor& a, auto&) { a.sendRespirationRate(150); }, {}, {"[RR]100@"}, 0},
        {"SpO2 0", [](HalvexAdaptor& a, auto&) { a.sendSpO2(0); }, {}, {"[SPO2]1@"}, 0},
        {"SpO2 450", [](HalvexAdaptor& a, auto&) { a.sendSpO2(450); }, {}, {"[SPO2]400@"}, 0},
        {"SpO2 scale", [](HalvexAdaptor& a, auto&) { a.sendSpO2Scale(11); }, {}, {"[SPO2_SCALE]10@"}, 0},
        {"probe attached", [](HalvexAdaptor& a, auto&) { a.sendSpO2Probe(true); }, {}, {"[SPO2_PROBE]1@"}, 0},
        {"probe off", [](HalvexAdaptor& a, auto&) { a.sendSpO2Probe(false); }, {}, {"[SPO2_PROBE]0@"}, 0},
        {"T1 36.96", [](HalvexAdaptor& a, auto&) { a.sendTemperature1(36.96f); }, {}, {"[T1]37.0@"}, 0},
        {"T1 50", [](HalvexAdaptor& a, auto&) { a.sendTemperature1(50.0f); }, {}, {"[T1]47.0@"}, 0},
        {"T2 not a number", [nan](HalvexAdaptor& a, auto&) { a.sendTemperature2(nan); }, {}, {"[T2]21.0@"}, 0},
        {"clear T1", [](HalvexAdaptor& a, auto&) { a.clearTemperature1(); }, {}, {"[T1]0@"}, 0},
        {"clear T2", [](HalvexAdaptor& a, auto&) { a.clearTemperature2(); }, {}, {"[T2]0@"}, 0},
        {"clear CO2", [](HalvexAdaptor& a, auto&) { a.clearCo2(); }, {}, {"[CO2]0@"}, 0},
        {"pleth", [](HalvexAdaptor& a, auto& s) { a.sendPlethWave(s); }, {10, 20, 30, 40, 50},
         {"[PLETH]10,27,43@"}, 0},
        {"pleth of 7 samples", [](HalvexAdaptor& a, auto& s) { a.sendPlethWave(s); }, {10, 20, 30, 40, 50, 60, 70},
         {"[PLETH]10,27,43@"}, 2},
        {"pleth of zeros", [](HalvexAdaptor& a, auto& s) { a.sendPlethWave(s); }, filled(5, 0), {"[PLETH]0,0,4@"}, 0},
        {"pleth above 100, two groups", [](HalvexAdaptor& a, auto& s) { a.sendPlethWave(s); },
         {150, 150, 150, 150, 150, 1, 2, 3, 4, 5}, {"[PLETH]100,100,100,1,3,4@"}, 0},
        {"ABP bounds", [](HalvexAdaptor& a, auto& s) { a.sendAbpWave(s); }, {-1, 0, 0, 1, 1, 400, 0, 0, 0, 0},
         {"[ABP]0,0,4,300,0,4@"}, 0},
        {"PAP negative", [](HalvexAdaptor& a, auto& s) { a.sendPapWave(s); }, filled(5, -3), {"[PAP]-3,-3,-3@"}, 0},
        {"PAP rounds halves away from zero", [](HalvexAdaptor& a, auto& s) { a.sendPapWave(s); },
         {2.5f, -2.5f, -2.5f, 0, 0}, {"[PAP]3,-3,0@"}, 0},
        {"CVP negative", [](HalvexAdaptor& a, auto& s) { a.sendCvpWave(s); }, filled(10, -2), {"[CVP]0,0,0@"}, 0},
        {"CVP interpolates", [](HalvexAdaptor& a, auto& s) { a.sendCvpWave(s); },
         {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}, {"[CVP]0,33,67@"}, 1},
        {"CO2 zeros", [](HalvexAdaptor& a, auto& s) { a.sendCo2Wave(s); }, filled(10, 0),
         {"[CO2]0.001,0.001,0.001@"}, 0},
        {"CO2 1.5", [](HalvexAdaptor& a, auto& s) { a.sendCo2Wave(s); }, filled(10, 1.5f),
         {"[CO2]1.000,1.000,1.000@"}, 0},
        {"CO2 negative and not a number", [nan](HalvexAdaptor& a, auto& s) { a.sendCo2Wave(s); },
         {-0.5f, 0, 0, nan, nan, 0, 0.25f, 0.25f, 0, 0}, {"[CO2]0.001,1.000,0.250@"}, 0},
    };
    for (Case& c : cases) {
        const std::size_t from = mark();
        c.call(*adaptor, c.samples);
        EXPECT_EQ(textsBeforeMarker(*adaptor, from), c.datagrams) << c.what;
        EXPECT_EQ(c.samples.size(), c.samplesLeft) << c.what;
    }
}

TEST_F(RunCommands, IncompleteGroupsSendNothingAndStay) {
    startUnit({71});
    auto adaptor = foundAdaptor(true);
    const std::size_t from = mark();
    std::vector<float> four(4, 10.0f), nine(9, 1.0f), none;
    adaptor->sendPlethWave(four);
    adaptor->sendAbpWave(four);
    adaptor->sendPapWave(none);
    adaptor->sendCvpWave(nine);
    adaptor->sendCo2Wave(nine);
    EXPECT_EQ(textsBeforeMarker(*adaptor, from), std::vector<std::string>{});
    EXPECT_EQ(four.size(), 4u);
    EXPECT_EQ(nine.size(), 9u);
}

}  // namespace
