// Each edition's WiFi set-up sequence over a recording adaptor: the calls in order,
// the lines, the status.

#include <gtest/gtest.h>

#include "tests/controller/controller_fixture.h"

namespace {

const WifiSettings kSettings{"127.0.0.5", "Lab WiFi", "s3cret"};

struct Outcome {
    int status;
    Calls calls;
    std::vector<std::string> out, err;
};

template <typename Adaptor, typename Setup>
Outcome run(Setup setUp, const WifiSettings& settings, bool initializes, bool unitAnswers) {
    Adaptor unit;
    unit.script.initializeResult = initializes;
    unit.script.wifiResult = unitAnswers;
    ConsoleCapture console;
    const int status = setUp(unit, settings);
    return {status, unit.log.calls(), console.lines(Channel::Out), console.lines(Channel::Err)};
}

Outcome json(bool initializes = true, bool unitAnswers = true) {
    return run<RecordingJsonAdaptor>(&JsonEdition::setUpWifi, kSettings, initializes, unitAnswers);
}
Outcome v22(const WifiSettings& settings = kSettings, bool initializes = true, bool unitAnswers = true) {
    return run<RecordingV22Adaptor>(&V22Edition::setUpWifi, settings, initializes, unitAnswers);
}

TEST(JsonWifi, CredentialsAfterReachingTheUnitAndTheOutcomeAsStatus) {
    Outcome ok = json();
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.calls, (Calls{"initialize(,127.0.0.5,,,0)", "sendWifiCredentials(Lab WiFi,s3cret)"}));
    EXPECT_EQ(ok.out, (std::vector<std::string>{"WIFI configuration...", "HX>WIFI configuration succeeded."}));

    Outcome refused = json(true, false);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, std::vector<std::string>{
                               "HX>ERROR: WIFI configuration failed; please revalidate your SSID and Password..."});

    // A unit that never answers the status request: the exchange's error, then failure.
    Outcome silent = run<RecordingJsonAdaptor>(
        [](RecordingJsonAdaptor& unit, const WifiSettings& settings) {
            unit.script.throwOn = "sendWifiCredentials";
            return JsonEdition::setUpWifi(unit, settings);
        },
        kSettings, true, true);
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.err, (std::vector<std::string>{
                              "HX>ERROR>unit write failed in sendWifiCredentials",
                              "HX>ERROR: WIFI configuration failed; please revalidate your SSID and Password..."}));

    Outcome unreachable = json(false);
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_EQ(unreachable.calls, Calls{"initialize(,127.0.0.5,,,0)"});
    EXPECT_EQ(unreachable.err, std::vector<std::string>{"HX>Unable to initialize the Halvex adapter. Leaving now!"});
}

TEST(V22Wifi, AssociatesEntersConfigModeResetsThenConfigures) {
    Outcome ok = v22();
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.calls, (Calls{"initialize(,127.0.0.5,,,0)", "associate()", "enterConfigMode()",
                               "resetWifiToFactory()", "configureWifi(Lab WiFi,s3cret)"}));
    EXPECT_EQ(ok.out, (std::vector<std::string>{
                          "Enabling config mode...", "WIFI factory reset...", "WIFI configuration...",
                          "HX>WIFI configuration succeeded; power cycle the Halvex unit for changes to take effect"}));

    // A unit that never reports the reset (or never answers the configuration).
    Outcome silent = v22(kSettings, true, false);
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.calls.back(), "resetWifiToFactory()");
    EXPECT_EQ(silent.err, std::vector<std::string>{
                              "HX>ERROR>Unable to reset the Halvex unit WIFI settings to factory. Leaving now!"});

    Outcome unreachable = v22(kSettings, false);
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_EQ(unreachable.calls, Calls{"initialize(,127.0.0.5,,,0)"});
}

// The unit's command cannot carry ',' or '@' in its fields: refused before any traffic.
TEST(V22Wifi, NamesOrPasswordsWithACommaOrAnAtAreRefusedBeforeAnythingIsSent) {
    for (const WifiSettings& settings : {WifiSettings{"127.0.0.5", "Lab,WiFi", "pw"},
                                         WifiSettings{"127.0.0.5", "Lab", "p@ss"}}) {
        SCOPED_TRACE(settings.ssid + " / " + settings.password);
        Outcome refused = v22(settings);
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.calls, Calls{});
        ASSERT_EQ(refused.err.size(), 1u);
        EXPECT_EQ(refused.err[0].rfind("HX>ERROR>The WiFi ", 0), 0u) << refused.err[0];
    }
}

}  // namespace
