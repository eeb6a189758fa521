// Value updates and wave resampling, read back as the text the next streaming pass
// would send. Streaming stays disabled, so everything stays pending.
#include "adaptor_json/halvex_adaptor.h"

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loopback_unit.h"

namespace {

using adaptor_test::InTempDirectory;
using adaptor_test::LoopbackUnit;

class AdaptorValues : public testing::Test {
protected:
    // A stand-in unit on an address of the test's own (ctest runs tests side by side).
    void useUnit(const char* address) {
        unitAddress = address;
        unit = std::make_unique<LoopbackUnit>(address);
    }

    // A connected adaptor with nothing pending.
    std::unique_ptr<HalvexAdaptor> connected() {
        auto adaptor = std::make_unique<HalvexAdaptor>();
        testing::internal::CaptureStdout();
        const bool ok = adaptor->initialize("", unitAddress, "", "", false);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(ok);
        return adaptor;
    }

    InTempDirectory directory;
    std::string unitAddress;
    std::unique_ptr<LoopbackUnit> unit;
};

const std::string kVitalsTemplate =
    "{\"MessageType\":\"VitalsData\",\"Message\":{\"hr\":\"-1\",\"sbp\":\"-1\",\"dbp\":\"-1\",\"mbp\":\"-1\","
    "\"sPAP\":\"-1\",\"dPAP\":\"-1\",\"mPAP\":\"-1\",\"CVP\":\"-1\",\"t1\":\"-1\",\"t2\":\"-1\",\"rr\":\"-1\","
    "\"etCO2\":\"-1\",\"co2FlowFactor\":\"-1\",\"spO2\":\"-1\",\"spO2Ratio\":\"-1\",\"spo2Override\":\"None\","
    "\"abpZeroState\":\"Unknown\",\"papZeroState\":\"Unknown\",\"cvpZeroState\":\"Unknown\"}}";

// The untouched message with the given members changed.
std::string vitalsWith(const std::vector<std::pair<std::string, std::string>>& members) {
    std::string message = kVitalsTemplate;
    for (const auto& member : members) {
        const std::string from = "\"" + member.first + "\":\"";
        const std::size_t at = message.find(from) + from.size();
        message.replace(at, message.find('"', at) - at, member.second);
    }
    return message;
}

std::string waveformWith(const std::string& key, const std::string& array) {
    std::string message =
        "{\"MessageType\":\"WaveformData\",\"Message\":{\"pleth\":[],\"ecg\":[],\"abp\":[],\"pap\":[],"
        "\"cvp\":[],\"aux\":[],\"co2\":[]}}";
    const std::string from = "\"" + key + "\":[]";
    return message.replace(message.find(from), from.size(), "\"" + key + "\":" + array);
}

TEST_F(AdaptorValues, VitalsClampsAndTexts) {
    useUnit("127.0.4.11");
    struct Case {
        const char* what;
        std::function<void(HalvexAdaptor&)> update;
        std::vector<std::pair<std::string, std::string>> members;
    };
    const std::vector<Case> cases = {
        {"hr low", [](HalvexAdaptor& a) { a.sendHeartRate(10); }, {{"hr", "20"}}},
        {"hr high", [](HalvexAdaptor& a) { a.sendHeartRate(350); }, {{"hr", "300"}}},
        {"hr in range", [](HalvexAdaptor& a) { a.sendHeartRate(72); }, {{"hr", "72"}}},
        {"blood pressure", [](HalvexAdaptor& a) { a.sendBloodPressure(120, -5, 400); },
         {{"sbp", "120"}, {"dbp", "0"}, {"mbp", "300"}}},
        {"blood pressure clear", [](HalvexAdaptor& a) { a.clearBloodPressure(); },
         {{"sbp", "0"}, {"dbp", "0"}, {"mbp", "0"}}},
        {"rr", [](HalvexAdaptor& a) { a.sendRespirationRate(120); }, {{"rr", "100"}}},
        {"spo2", [](HalvexAdaptor& a) { a.sendSpO2(0); }, {{"spO2", "1"}}},
        {"spo2 ratio", [](HalvexAdaptor& a) { a.sendSpO2Ratio(0); }, {{"spO2Ratio", "1"}}},
        {"co2 flow low", [](HalvexAdaptor& a) { a.sendCo2FlowFactor(-7); }, {{"co2FlowFactor", "-1"}}},
        {"co2 flow high", [](HalvexAdaptor& a) { a.sendCo2FlowFactor(5000); }, {{"co2FlowFactor", "1000"}}},
        {"t1 high", [](HalvexAdaptor& a) { a.sendTemperature1(50.0f); }, {{"t1", "47.0"}}},
        {"t1 one decimal", [](HalvexAdaptor& a) { a.sendTemperature1(36.94f); }, {{"t1", "36.9"}}},
        {"t2 NaN", [](HalvexAdaptor& a) { a.sendTemperature2(std::nanf("")); }, {{"t2", "21.0"}}},
        {"t2 whole", [](HalvexAdaptor& a) { a.sendTemperature2(37.0f); }, {{"t2", "37.0"}}},
        {"t1 clear", [](HalvexAdaptor& a) { a.clearTemperature1(); }, {{"t1", "0"}}},
        {"float command", [](HalvexAdaptor& a) { a.sendCommand("T2", 36.25f); }, {{"t2", "36.25"}}},
        {"etco2", [](HalvexAdaptor& a) { a.sendCommand("etCO2", -3); }, {{"etCO2", "-3"}}},
        {"zero state", [](HalvexAdaptor& a) { a.sendCommand("abpZeroState", std::string("Zeroing")); },
         {{"abpZeroState", "Zeroing"}}},
    };
    for (const Case& c : cases) {
        auto adaptor = connected();
        testing::internal::CaptureStdout();
        c.update(*adaptor);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.what;
        EXPECT_EQ(adaptor->pendingVitalsMessage(), vitalsWith(c.members)) << c.what;
        EXPECT_EQ(adaptor->pendingWaveformMessage(), "") << c.what;
    }
}

TEST_F(AdaptorValues, WavesResampleWholeGroupsAndKeepTheRest) {
    useUnit("127.0.4.12");
    auto ramp = [](std::size_t count, float from, float step) {
        std::vector<float> samples;
        for (std::size_t i = 0; i < count; ++i) {
            samples.push_back(from + step * static_cast<float>(i));
        }
        return samples;
    };
    struct Case {
        const char* what;
        void (HalvexAdaptor::*wave)(std::vector<float>&);
        std::vector<float> samples;
        const char* key;
        const char* array;  // nullptr: nothing sent
        std::size_t left;
    };
    const std::vector<Case> cases = {
        // 10, 20+(30-20)*2/3, 40+(50-40)*1/3
        {"abp 7", &HalvexAdaptor::sendAbpWave, ramp(7, 10, 10), "abp", "[10,27,43]", 2},
        {"abp 4", &HalvexAdaptor::sendAbpWave, ramp(4, 10, 10), "abp", nullptr, 4},
        {"abp 10", &HalvexAdaptor::sendAbpWave, ramp(10, 10, 10), "abp", "[10,27,43,60,77,93]", 0},
        {"abp zeros", &HalvexAdaptor::sendAbpWave, std::vector<float>(10, 0.0f), "abp", "[0,0,4,0,0,4]", 0},
        {"abp high", &HalvexAdaptor::sendAbpWave, std::vector<float>(5, 400.0f), "abp", "[300,300,300]", 0},
        {"pleth zeros", &HalvexAdaptor::sendPlethWave, std::vector<float>(5, 0.0f), "pleth", "[4,4,4]", 0},
        {"pleth high", &HalvexAdaptor::sendPlethWave, std::vector<float>(6, 150.0f), "pleth", "[100,100,100]", 1},
        // Exact halves round away from zero; no clamp on PAP.
        {"pap halves", &HalvexAdaptor::sendPapWave, {-5.0f, 0.0f, -0.75f, 0.0f, 1.5f}, "pap", "[-5,-1,1]", 0},
        // 0, 3+(4-3)*1/3, 6+(7-6)*2/3 per ten samples
        {"cvp 25", &HalvexAdaptor::sendCvpWave, ramp(25, 0, 1), "cvp", "[0,3,7,10,13,17]", 5},
        {"cvp negative", &HalvexAdaptor::sendCvpWave, std::vector<float>(10, -5.0f), "cvp", "[0,0,0]", 0},
    };
    for (Case c : cases) {
        auto adaptor = connected();
        std::vector<float> samples = c.samples;
        ((*adaptor).*(c.wave))(samples);
        EXPECT_EQ(adaptor->pendingWaveformMessage(), c.array ? waveformWith(c.key, c.array) : "") << c.what;
        ASSERT_EQ(samples.size(), c.left) << c.what;
        // What stays is the front-most incomplete group, unchanged.
        EXPECT_TRUE(std::equal(samples.begin(), samples.end(), c.samples.end() - static_cast<long>(c.left)))
            << c.what;
    }
}

TEST_F(AdaptorValues, ClearCo2IsAOneElementArray) {
    useUnit("127.0.4.13");
    auto adaptor = connected();
    adaptor->clearCo2();
    EXPECT_EQ(adaptor->pendingWaveformMessage(), waveformWith("co2", "[0]"));
}

TEST_F(AdaptorValues, OverwriteBeforeASendWarnsAndTheLaterValueWins) {
    useUnit("127.0.4.14");
    auto adaptor = connected();
    testing::internal::CaptureStdout();
    adaptor->sendHeartRate(72);
    adaptor->sendHeartRate(80);
    std::vector<float> first(5, 50.0f), second(5, 60.0f);
    adaptor->sendPlethWave(first);
    adaptor->sendPlethWave(second);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "WARNING: Overwriting << Message.hr: 72\n"
              "WARNING: Overwriting << Message.pleth: [50,50,50]\n");
    EXPECT_EQ(adaptor->pendingVitalsMessage(), vitalsWith({{"hr", "80"}}));
    EXPECT_EQ(adaptor->pendingWaveformMessage(), waveformWith("pleth", "[60,60,60]"));
}

TEST_F(AdaptorValues, UnknownNamesAreReportedAndChangeNothing) {
    useUnit("127.0.4.15");
    auto adaptor = connected();
    testing::internal::CaptureStdout();
    adaptor->sendCommand("hr", 80);  // names are case-sensitive
    adaptor->sendCommand("ECG", std::string("1,2,3"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "iCommandName: [hr] is not in the map!\niCommandName: [ECG] is not in the map!\n");
    EXPECT_EQ(adaptor->pendingVitalsMessage(), "");
    EXPECT_EQ(adaptor->pendingWaveformMessage(), "");
}

TEST(AdaptorValuesUnconnected, UpdatesAreDroppedSilently) {
    HalvexAdaptor adaptor;
    testing::internal::CaptureStdout();
    adaptor.sendHeartRate(80);
    adaptor.sendCommand("hr", 1);
    std::vector<float> samples(10, 50.0f);
    adaptor.sendPlethWave(samples);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(adaptor.pendingVitalsMessage(), "");
    EXPECT_EQ(adaptor.pendingWaveformMessage(), "");
}

}  // namespace
