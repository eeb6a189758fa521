// Value updates through the adaptor's operations, read back as the text the next
// streaming pass would send. Streaming stays disabled, so everything stays pending.
// The texts and the resampling themselves are tested without sockets in messages_test.cpp.
#include "adaptor_json/halvex_adaptor.h"

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/adaptor_json/adaptor_test_support.h"
#include "tests/support/console_capture.h"
#include "tests/support/loopback.h"

namespace {

using adaptor_test::HalvexAdaptor;
using adaptor_test::startUnit;
using adaptor_test::StoreFolder;
using halvex::test::ConsoleCapture;

const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::AdaptorJsonValues);

class AdaptorValues : public testing::Test {
protected:
    // A stand-in unit on an address of the test's own (ctest runs tests side by side).
    void useUnit(const std::string& address) {
        unitAddress = address;
        unit = startUnit(address);
    }

    // A connected adaptor with nothing pending.
    std::unique_ptr<HalvexAdaptor> connected() {
        auto adaptor = std::make_unique<HalvexAdaptor>(folder.store);
        ConsoleCapture console;
        EXPECT_TRUE(adaptor->initialize("", unitAddress, "", "", false));
        return adaptor;
    }

    StoreFolder folder;
    std::string unitAddress;
    std::unique_ptr<halvex::emulators::unit_json::UnitEmulator> unit;
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
    useUnit(kNet.host(0));
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
        ConsoleCapture console;
        c.update(*adaptor);
        EXPECT_EQ(console.out(), "") << c.what;
        EXPECT_EQ(adaptor->pendingVitalsMessage(), vitalsWith(c.members)) << c.what;
        EXPECT_EQ(adaptor->pendingWaveformMessage(), "") << c.what;
    }
}

TEST_F(AdaptorValues, WaveOperationsSendWholeGroupsUnderTheirKey) {
    useUnit(kNet.host(1));
    struct Case {
        void (HalvexAdaptor::*wave)(std::vector<float>&);
        std::size_t count;
        const char* key;
        const char* array;
        std::size_t left;
    };
    const Case cases[] = {
        {&HalvexAdaptor::sendAbpWave, 7, "abp", "[50,50,50]", 2},
        {&HalvexAdaptor::sendPlethWave, 5, "pleth", "[50,50,50]", 0},
        {&HalvexAdaptor::sendPapWave, 9, "pap", "[50,50,50]", 4},
        {&HalvexAdaptor::sendCvpWave, 25, "cvp", "[50,50,50,50,50,50]", 5},
    };
    for (const Case& c : cases) {
        auto adaptor = connected();
        std::vector<float> samples(c.count, 50.0f);
        ((*adaptor).*(c.wave))(samples);
        EXPECT_EQ(adaptor->pendingWaveformMessage(), waveformWith(c.key, c.array)) << c.key;
        EXPECT_EQ(samples.size(), c.left) << c.key;
    }
    auto adaptor = connected();
    adaptor->clearCo2();
    EXPECT_EQ(adaptor->pendingWaveformMessage(), waveformWith("co2", "[0]"));
}

TEST_F(AdaptorValues, OverwriteBeforeASendWarnsAndTheLaterValueWins) {
    useUnit(kNet.host(3));
    auto adaptor = connected();
    ConsoleCapture console;
    adaptor->sendHeartRate(72);
    adaptor->sendHeartRate(80);
    std::vector<float> first(5, 50.0f), second(5, 60.0f);
    adaptor->sendPlethWave(first);
    adaptor->sendPlethWave(second);
    EXPECT_EQ(console.out(),
              "WARNING: Overwriting << Message.hr: 72\n"
              "WARNING: Overwriting << Message.pleth: [50,50,50]\n");
    EXPECT_EQ(adaptor->pendingVitalsMessage(), vitalsWith({{"hr", "80"}}));
    EXPECT_EQ(adaptor->pendingWaveformMessage(), waveformWith("pleth", "[60,60,60]"));
}

TEST_F(AdaptorValues, UnknownNamesAreReportedAndChangeNothing) {
    useUnit(kNet.host(4));
    auto adaptor = connected();
    ConsoleCapture console;
    adaptor->sendCommand("hr", 80);  // names are case-sensitive
    adaptor->sendCommand("ECG", std::string("1,2,3"));
    EXPECT_EQ(console.out(), "iCommandName: [hr] is not in the map!\niCommandName: [ECG] is not in the map!\n");
    EXPECT_EQ(adaptor->pendingVitalsMessage(), "");
    EXPECT_EQ(adaptor->pendingWaveformMessage(), "");
}

TEST(AdaptorValuesUnconnected, UpdatesAreDroppedSilently) {
    StoreFolder folder;
    HalvexAdaptor adaptor(folder.store);
    ConsoleCapture console;
    adaptor.sendHeartRate(80);
    adaptor.sendCommand("hr", 1);
    std::vector<float> samples(10, 50.0f);
    adaptor.sendPlethWave(samples);
    EXPECT_EQ(console.out(), "");
    EXPECT_EQ(adaptor.pendingVitalsMessage(), "");
    EXPECT_EQ(adaptor.pendingWaveformMessage(), "");
}

}  // namespace
