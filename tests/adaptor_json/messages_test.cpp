// The message texts, the resampling of waves and the exchanges' answer loops, on
// plain strings: no socket, no thread.
#include "adaptor_json/pending_messages.h"

#include <cmath>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "adaptor_json/assertion_failure.h"
#include "adaptor_json/exchanges.h"
#include "adaptor_json/value_texts.h"
#include "adaptor_json/wire_texts.h"
#include "tests/support/console_capture.h"

namespace {

using namespace halvex::adaptor_json;
using halvex::test::ConsoleCapture;

const std::string kVitalsTemplate =
    "{\"MessageType\":\"VitalsData\",\"Message\":{\"hr\":\"-1\",\"sbp\":\"-1\",\"dbp\":\"-1\",\"mbp\":\"-1\","
    "\"sPAP\":\"-1\",\"dPAP\":\"-1\",\"mPAP\":\"-1\",\"CVP\":\"-1\",\"t1\":\"-1\",\"t2\":\"-1\",\"rr\":\"-1\","
    "\"etCO2\":\"-1\",\"co2FlowFactor\":\"-1\",\"spO2\":\"-1\",\"spO2Ratio\":\"-1\",\"spo2Override\":\"None\","
    "\"abpZeroState\":\"Unknown\",\"papZeroState\":\"Unknown\",\"cvpZeroState\":\"Unknown\"}}";
const std::string kNoWaves =
    "{\"MessageType\":\"WaveformData\",\"Message\":{\"pleth\":[],\"ecg\":[],\"abp\":[],\"pap\":[],"
    "\"cvp\":[],\"aux\":[],\"co2\":[]}}";

std::string with(std::string message, const std::string& member, const std::string& replacement) {
    const std::size_t at = message.find(member);
    return message.replace(at, member.size(), replacement);
}

TEST(PendingMessages, OnlyWhatChangedSinceTheLastSendTravels) {
    PendingMessages messages;
    EXPECT_EQ(messages.vitalsText(), "");
    EXPECT_TRUE(messages.store("HR", "72", "72").warning.empty());
    EXPECT_EQ(messages.store("HR", "80", "80").warning, "WARNING: Overwriting << Message.hr: 72");
    messages.store("abpZeroState", kZeroing, kZeroing);
    messages.store("PLETH", "1,2,3", "1,2,3");
    const std::string vitals = with(with(kVitalsTemplate, "\"hr\":\"-1\"", "\"hr\":\"80\""),
                                    "\"abpZeroState\":\"Unknown\"", "\"abpZeroState\":\"Zeroing\"");
    const std::string waves = with(kNoWaves, "\"pleth\":[]", "\"pleth\":[1,2,3]");
    EXPECT_EQ(messages.vitalsText(), vitals);
    PendingMessages::Snapshot sent = messages.take();
    EXPECT_EQ(sent.vitals, vitals);
    EXPECT_EQ(sent.waveform, waves);
    sent = messages.take();
    EXPECT_EQ(sent.vitals, "");
    EXPECT_EQ(sent.waveform, "");

    // The next update starts from the template again.
    messages.store("SPO2", "97", "97");
    EXPECT_EQ(messages.vitalsText(), with(kVitalsTemplate, "\"spO2\":\"-1\"", "\"spO2\":\"97\""));
    EXPECT_EQ(messages.waveformText(), "");
    messages.store("CO2", "0", "0");
    EXPECT_EQ(messages.waveformText(), with(kNoWaves, "\"co2\":[]", "\"co2\":[0]"));
    EXPECT_FALSE(messages.store("hr", "1", "1").known);  // names are case-sensitive
}

TEST(MessageTexts, ValuesAndFixedTexts) {
    EXPECT_EQ(temperatureText(50.0f), "47.0");
    EXPECT_EQ(temperatureText(36.94f), "36.9");
    EXPECT_EQ(temperatureText(std::nanf("")), "21.0");
    EXPECT_EQ(temperatureText(37.0f), "37.0");
    EXPECT_EQ(floatText(0.0f, 9), "0");
    EXPECT_EQ(floatText(36.25f, 9), "36.25");
    EXPECT_EQ(clamped(350, halvex::unit_values::kHeartRateBounds), 300);
    EXPECT_EQ(clamped(-7, kCo2FlowFactorBounds), -1);
    EXPECT_EQ(std::string(kCalSelect).size(), 88u);
    EXPECT_EQ(std::string(kStatusRequest).size(), 71u);
    // Both texts are JSON strings: a quote, a backslash or a control character cannot
    // break out of them; UTF-8 goes through.
    EXPECT_EQ(wifiCredentialsText("Lab WiFi", "pw"),
              "{\"MessageType\":\"WifiCredentials\",\"Message\":{\"ssid\":\"Lab WiFi\",\"password\":\"pw\"}}");
    EXPECT_EQ(wifiCredentialsText("lab \"2\"", "a\\b\n\x01\xc3\xa9"),
              "{\"MessageType\":\"WifiCredentials\",\"Message\":{\"ssid\":\"lab \\\"2\\\"\",\"password\":\"a\\\\b\\n\\u0001\xc3\xa9\"}}");
}

TEST(MessageTexts, WavesResampleWholeGroupsAndKeepTheRest) {
    auto ramp = [](std::size_t count, float from, float step) {
        std::vector<float> samples;
        for (std::size_t i = 0; i < count; ++i) {
            samples.push_back(from + step * static_cast<float>(i));
        }
        return samples;
    };
    struct Case {
        const char* what;
        std::string (*resample)(std::vector<float>&);
        std::vector<float> samples;
        const char* text;
        std::size_t left;
    };
    const std::vector<Case> cases = {
        // 10, 20+(30-20)*2/3, 40+(50-40)*1/3
        {"abp 7", resampleAbp, ramp(7, 10, 10), "10,27,43", 2},
        {"abp 4", resampleAbp, ramp(4, 10, 10), "", 4},
        {"abp 10", resampleAbp, ramp(10, 10, 10), "10,27,43,60,77,93", 0},
        {"abp zeros", resampleAbp, std::vector<float>(10, 0.0f), "0,0,4,0,0,4", 0},
        {"abp high", resampleAbp, std::vector<float>(5, 400.0f), "300,300,300", 0},
        {"pleth zeros", resamplePleth, std::vector<float>(5, 0.0f), "4,4,4", 0},
        {"pleth high", resamplePleth, std::vector<float>(6, 150.0f), "100,100,100", 1},
        // Exact halves round away from zero; no clamp on PAP.
        {"pap halves", resamplePap, {-5.0f, 0.0f, -0.75f, 0.0f, 1.5f}, "-5,-1,1", 0},
        // 0, 3+(4-3)*1/3, 6+(7-6)*2/3 per ten samples
        {"cvp 25", resampleCvp, ramp(25, 0, 1), "0,3,7,10,13,17", 5},
        {"cvp negative", resampleCvp, std::vector<float>(10, -5.0f), "0,0,0", 0},
    };
    for (const Case& c : cases) {
        std::vector<float> samples = c.samples;
        EXPECT_EQ(c.resample(samples), c.text) << c.what;
        ASSERT_EQ(samples.size(), c.left) << c.what;
        // What stays is the front-most incomplete group, unchanged.
        EXPECT_TRUE(std::equal(samples.begin(), samples.end(), c.samples.end() - static_cast<long>(c.left)))
            << c.what;
    }
}

// Answers handed to an exchange one after the other, as length field + JSON text.
struct ScriptedUnit {
    std::deque<std::string> answers;
    std::vector<std::string> requests;
    std::string next() {
        std::string json = answers.front();
        answers.pop_front();
        std::string length = std::to_string(json.size());
        return std::string(4 - length.size(), '0') + length + json;
    }
    AnswerPort port() {
        return {[this](const std::string& request) {
                    requests.push_back(request);
                    return next();
                },
                [this] { return next(); }};
    }
};

TEST(Exchanges, AnswersOfAnotherKindArePrintedAndSkipped) {
    const std::string co2 = "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"CO2\"}}";
    const std::string spo2 = "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"SpO2\"}}";
    ScriptedUnit unit{{co2, "not json", spo2}, {}};
    ConsoleCapture console;
    EXPECT_EQ(requestCalListSpO2(unit.port()), spo2);
    EXPECT_EQ(unit.requests, std::vector<std::string>{kCalListRequestSpO2});  // asked once
    EXPECT_EQ(console.out(),
              "sendRequestStoredCalibrationNamesSpO2 Re-request: CO2 cal result received by mistake...\n" + co2 +
                  "\nre-reading incoming messages\n"
                  "sendRequestStoredCalibrationNamesSpO2 Re-request: something other than cal message received; "
                  "something else..\nnot json\nre-reading incoming messages\n");
    EXPECT_NE(console.err().find("HX>ERROR>"), std::string::npos);
    EXPECT_NE(console.err().find("\nError while trying to locate value for key: MessageType\n"), std::string::npos);

    ScriptedUnit other{{spo2, co2}, {}};
    ConsoleCapture console2;
    EXPECT_EQ(requestCalListCO2(other.port()), co2);
    EXPECT_NE(console2.out().find("sendRequestStoredCalibrationNamesCO2 Re-request: SpO2 cal result received by "
                                  "mistake...\n"),
              std::string::npos);
}

TEST(Exchanges, WifiJoinedOnlyOnSuccessAndTrue) {
    struct Case {
        const char* status;
        bool joined;
    };
    const Case cases[] = {
        {"{\"MessageType\":\"NetworkStatusData\",\"Message\":{\"ssid\":\"lab\",\"ipAddress\":\"127.0.0.5\","
         "\"wifiConnected\":true,\"wifiStatus\":\"Success\"}}",
         true},
        {"{\"MessageType\":\"NetworkStatusData\",\"Message\":{\"ssid\":\"lab\",\"ipAddress\":\"127.0.0.5\","
         "\"wifiConnected\":true,\"wifiStatus\":\"success\"}}",
         false},
        {"{\"MessageType\":\"NetworkStatusData\",\"Message\":{\"ssid\":\"lab\",\"ipAddress\":\"\","
         "\"wifiConnected\":false,\"wifiStatus\":\"Success\"}}",
         false},
    };
    for (const Case& c : cases) {
        ScriptedUnit unit{{"{\"MessageType\":\"CalList\"}", c.status}, {}};
        ConsoleCapture console;
        const std::string body = requestNetworkStatus(unit.port());
        EXPECT_EQ(body, c.status);
        EXPECT_NE(console.out().find("sendRequestNetworkStatus Re-request: Received CalList, looking for "
                                     "NetworkStatusData..\n"),
                  std::string::npos);
        EXPECT_EQ(reportWifiJoined(body), c.joined) << c.status;
        EXPECT_EQ(console.out().find("Successful connection!\nssid: lab\nipAddress: 127.0.0.5\nwifiConnected: "
                                     "true\nwifiStatus: Success\n") != std::string::npos,
                  c.joined);
    }
}

}  // namespace
