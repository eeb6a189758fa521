// The request/answer exchanges and the calibration upload against the stand-in unit,
// and the texts and checks they are built from.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "adaptor_json/halvex_adaptor.h"
#include "adaptor_json/answer_reading.h"
#include "adaptor_json/json_tree.h"
#include "adaptor_json/wire_texts.h"
#include "emulators/unit_json/frame.h"
#include "tests/adaptor_json/adaptor_test_support.h"
#include "tests/support/console_capture.h"
#include "tests/support/loopback.h"

namespace {

using adaptor_test::HalvexAdaptor;
using adaptor_test::startUnit;
using adaptor_test::StoreFolder;
using halvex::controller::JsonUnitAdaptor;
using halvex::test::ConsoleCapture;
using Channel = halvex::test::ConsoleCapture::Channel;
using namespace std::chrono_literals;

const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::AdaptorJsonExchanges);

const std::string kCo2List = "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"CO2\",\"calNames\":[]}}";
const std::string kStatus =
    "{\"MessageType\":\"NetworkStatusData\",\"Message\":{\"ssid\":\"\",\"ipAddress\":\"\",\"wifiConnected\":false,"
    "\"wifiStatus\":\"NotConfigured\"}}";

class Exchanges : public testing::Test {
protected:
    // A connected adaptor whose answers wait at most `answerLimit`.
    std::unique_ptr<HalvexAdaptor> connected(const std::string& address, std::chrono::milliseconds answerLimit = 2s) {
        unit = startUnit(address);
        halvex::adaptor_json::LinkLimits limits;
        limits.answer = answerLimit;
        auto adaptor = std::make_unique<HalvexAdaptor>(folder.store, limits);
        EXPECT_TRUE(adaptor->initialize("", address, "", "", false));
        return adaptor;
    }
    StoreFolder folder;
    std::unique_ptr<halvex::emulators::unit_json::UnitEmulator> unit;
    ConsoleCapture console;
};

// Answers of another kind are printed with the reason and skipped; the next fitting
// answer is the result.
TEST_F(Exchanges, AnswersOfAnotherKindAreSkippedWithTheirReason) {
    auto adaptor = connected(kNet.host(0));
    struct Case {
        const char* name;
        std::string skipped;  // an answer sent just before the unit's own
        std::function<std::string(HalvexAdaptor&)> request;
        std::string rejection;
    } cases[] = {
        {"a CO2 list to the SpO2 request", kCo2List,
         [](HalvexAdaptor& a) { return a.sendRequestStoredCalibrationNamesSpO2(); },
         "sendRequestStoredCalibrationNamesSpO2 Re-request: CO2 cal result received by mistake..."},
        {"a network status to a CalList request", kStatus,
         [](HalvexAdaptor& a) { return a.sendRequestStoredCalibrationNamesCO2(); },
         "sendRequestStoredCalibrationNamesCO2 Re-request: something other than cal message received; something "
         "else.."},
        {"a text that is no JSON", "not json",
         [](HalvexAdaptor& a) { return a.sendRequestNetworkStatus(); },
         "sendRequestNetworkStatus Re-request: Received , looking for NetworkStatusData.."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = console.out().size();
        unit->prependToNextAnswer(halvex::emulators::unit_json::encodeFrame(c.skipped));
        const std::string answer = c.request(*adaptor);
        const std::string printed = console.out().substr(before);
        EXPECT_NE(printed.find(c.rejection + "\n"), std::string::npos) << printed;
        EXPECT_NE(printed.find("re-reading incoming messages\n"), std::string::npos) << printed;
        EXPECT_NE(answer.find(c.skipped), 0u) << "the skipped answer is no result";
        EXPECT_FALSE(answer.empty());
    }
    // The text that is no JSON: the reader's reason and the key, on standard error.
    EXPECT_NE(console.err().find("Error while trying to locate value for key: MessageType\n"), std::string::npos)
        << console.err();
}

// An unanswered request or a unit that keeps answering something else ends the
// exchange with an error instead of holding the caller.
TEST_F(Exchanges, AnUnansweredOrEndlesslyWrongRequestRaises) {
    auto adaptor = connected(kNet.host(1), 300ms);
    unit->setSilent(true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(adaptor->sendRequestStoredCalibrationNamesSpO2(), std::exception);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    unit->setSilent(false);

    std::string wrong;
    for (int i = 0; i <= halvex::adaptor_json::kMaxSkippedAnswers; ++i)
        wrong += halvex::emulators::unit_json::encodeFrame(kCo2List);
    unit->prependToNextAnswer(wrong);
    try {
        adaptor->sendRequestStoredCalibrationNamesSpO2();
        ADD_FAILURE() << "no error after " << halvex::adaptor_json::kMaxSkippedAnswers << " skipped answers";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("no expected answer"), std::string::npos) << error.what();
    }
}

TEST_F(Exchanges, TheUploadReplacesTheUnitsCalibrationOfTheType) {
    auto adaptor = connected(kNet.host(2));
    adaptor->setCalibrationReplacePause(0ms);
    adaptor->uploadCalibration(JsonUnitAdaptor::CalibrationType::SpO2, {{250, 98}, {300, 95}});
    adaptor->uploadCalibration(JsonUnitAdaptor::CalibrationType::CO2, {{120, 38}});

    const auto stats = unit->snapshot();
    const auto& spo2 = stats.calibrations.at("SpO2").at("SpaceLabs Xprezzon");
    ASSERT_EQ(spo2.size(), 2u);
    EXPECT_EQ(spo2[0], (halvex::emulators::unit_json::CalPoint{"250", "98"}));
    EXPECT_EQ(spo2[1], (halvex::emulators::unit_json::CalPoint{"300", "95"}));
    EXPECT_EQ(stats.calibrations.at("CO2").at("SpaceLabs Xprezzon").size(), 1u);

    // The steps in order, each list printed.
    const std::string out = console.out();
    std::size_t at = 0;
    for (const char* step : {"Removing previous calibration:\n", "New calibration list:\n", "After SpO2:\n",
                             "Removing previous calibration\n", "New calibration list:\n", "After CO2:\n"}) {
        at = out.find(step, at);
        ASSERT_NE(at, std::string::npos) << step << " missing or out of order:\n" << out;
    }
    EXPECT_EQ(stats.messages.at("CalRemove"), 2u);
    EXPECT_EQ(stats.messages.at("CalListRequest"), 6u);
}

// The unit drops the connection, or leaves its answer out, at each step of the
// upload: the upload raises within its answer limit, and after the supervision's
// reconnection (a new initialize) the next upload stores the calibration.
struct UploadStep {
    halvex::emulators::unit_json::UnitEmulator::Fault fault;
    const char* messageType;
    int nth;
    std::uint32_t host;  // of the file's block
};

class UploadFault : public Exchanges, public testing::WithParamInterface<UploadStep> {};

TEST_P(UploadFault, TheUploadFailsThenSucceedsAfterTheReconnection) {
    const UploadStep step = GetParam();
    const std::string address = kNet.host(step.host);
    auto adaptor = connected(address, 300ms);
    adaptor->setCalibrationReplacePause(0ms);
    unit->faultAtMessage(step.fault, step.messageType, step.nth);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(adaptor->uploadCalibration(JsonUnitAdaptor::CalibrationType::SpO2, {{250, 98}}), std::exception);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(console.waitFor("ERROR: Exception thrown within receiveHXResponse!", Channel::Out, 1s))
        << console.out();

    ASSERT_TRUE(adaptor->initialize("", address, "", "", false));
    adaptor->uploadCalibration(JsonUnitAdaptor::CalibrationType::SpO2, {{300, 95}});
    const auto stats = unit->snapshot();
    EXPECT_EQ(stats.calibrations.at("SpO2").at("SpaceLabs Xprezzon"),
              (std::vector<halvex::emulators::unit_json::CalPoint>{{"300", "95"}}));
}

using Fault = halvex::emulators::unit_json::UnitEmulator::Fault;
INSTANTIATE_TEST_SUITE_P(
    Steps, UploadFault,
    testing::Values(UploadStep{Fault::Drop, "CalListRequest", 1, 3},
                    UploadStep{Fault::Drop, "CalRemove", 1, 4},
                    UploadStep{Fault::Drop, "CalListRequest", 2, 5},
                    UploadStep{Fault::Drop, "CalData", 1, 6},
                    UploadStep{Fault::Drop, "CalListRequest", 3, 7},
                    UploadStep{Fault::Silence, "CalListRequest", 1, 8},
                    UploadStep{Fault::Silence, "CalListRequest", 2, 9},
                    UploadStep{Fault::Silence, "CalListRequest", 3, 10}),
    [](const testing::TestParamInfo<UploadStep>& step) {
        return std::string(step.param.fault == Fault::Drop ? "Drop" : "Silence") + "At" + step.param.messageType +
               std::to_string(step.param.nth);
    });

TEST(CalibrationTexts, CalDataInItsOrderWithNumbersAsStrings) {
    EXPECT_EQ(halvex::adaptor_json::calDataText("SpO2", {{300, 95}, {250, 98}}),
              "{\"MessageType\":\"CalData\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"SpO2\","
              "\"calPts\":[{\"Item1\":\"250\",\"Item2\":\"98\"},{\"Item1\":\"300\",\"Item2\":\"95\"}]}}");
    EXPECT_EQ(std::string(halvex::adaptor_json::kCalRemoveCO2).size(), 86u);
    EXPECT_EQ(std::string(halvex::adaptor_json::kCalRemoveSpO2).size(), 87u);
}

// Nesting deep enough to overflow the JSON reader's stack is refused before parsing.
TEST(AnswerDepth, DeepAnswersAreMalformedNotFatal) {
    struct Case {
        std::string text;
        std::size_t depth;
    } cases[] = {
        {"{}", 1}, {"{\"a\":[1,{\"b\":2}]}", 3}, {"{\"a\":\"[[[{{{\"}", 1}, {"{\"a\":\"\\\"[[\"}", 1}, {"plain", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(halvex::adaptor_json::jsonNestingDepth(c.text), c.depth) << c.text;

    const std::string deep = std::string(60000, '[') + std::string(60000, ']');
    ConsoleCapture console;
    EXPECT_EQ(halvex::adaptor_json::getJsonValue(deep, "MessageType"), "");
    EXPECT_NE(console.err().find("nested deeper than"), std::string::npos) << console.err();
    EXPECT_THROW(halvex::adaptor_json::indentedJson(deep), std::runtime_error);
    const std::size_t inner = halvex::adaptor_json::kMaxJsonDepth - 1;
    const std::string atTheLimit = "{\"a\":" + std::string(inner, '[') + std::string(inner, ']') + "}";
    EXPECT_NO_THROW(halvex::adaptor_json::indentedJson(atTheLimit)) << "nesting at the limit parses";
    EXPECT_THROW(halvex::adaptor_json::indentedJson("[" + atTheLimit + "]"), std::runtime_error)
        << "one level more does not";
}

}  // namespace
