// init() against the simulator-server stand-in, for both editions.

#include <gtest/gtest.h>

#include "tests/controller/controller_fixture.h"
#include "tests/controller/init_support.h"

using namespace init_support;
using halvex::emulators::sim_server::Protocol;
using halvex::emulators::sim_server::SimServerEmulator;

namespace {

SimulatorSample::Options towards(std::uint16_t simPort, std::uint16_t appPort) {
    SimulatorSample::Options options;
    options.simPort = simPort;
    options.appPort = appPort;
    return options;
}

const std::vector<WireInput> kSimList = {
    {"HW_PATSPEED", 1, 0}, {"HW_PATMON_ENABLED", 1, 0}, {"HW_PATMON_CALIB_ACTION", 1, 0}, {"HW_PATMON_CALIB_ARG1", 1, 0}};

// The JSON edition's APP list; the v2.2 edition's lacks SPA, DPA and ETCO2.
const std::vector<WireInput> kJsonAppList = {
    {"ARTERIAL_CATHETER_DEPTH", -1, 0}, {"CVP_CATHETER_DEPTH", -1, 0}, {"PA_CATHETER_DEPTH", -1, 0},
    {"PULSE_SENSOR", -1, 0},            {"SPO2_PROBE", -1, 0},         {"CAPNOGRAPH_SENSOR", -1, 0},
    {"TEMP_BODY_SENSOR", -1, 0},        {"TEMP_BLOOD_SENSOR", -1, 0},  {"NIBP_SENSOR", -1, 0},
    {"SIMULATOR_XCONNECTED", -1, 0},    {"ARTLINE", -1, 12000},        {"PLINE", -1, 12000},
    {"CVPLINE", -1, 12000},             {"CAPNOGRAM", -1, 12000},      {"PLETH", -1, 12000},
    {"SAO2", -1, 0},                    {"EXT_DABP", -1, 0},           {"EXT_MAP", -1, 0},
    {"EXT_SABP", -1, 0},                {"SPA", -1, 0},                {"DPA", -1, 0},
    {"ETCO2", -1, 0},                   {"HRPM", -1, 0},               {"RRPM", -1, 0},
    {"BODY_TEMP", -1, 0},               {"bloodTemp", -1, 0}};

std::vector<WireInput> appList(EditionKind kind) {
    if (kind == EditionKind::Json)
        return kJsonAppList;
    std::vector<WireInput> list;
    for (const WireInput& input : kJsonAppList)
        if (input.id != "SPA" && input.id != "DPA" && input.id != "ETCO2")
            list.push_back(input);
    return list;
}

class Init : public testing::TestWithParam<EditionKind> {
protected:
    bool json() const { return GetParam() == EditionKind::Json; }
    std::string fileName(const std::string& what) const {
        return std::string("controller_init_") + (json() ? "json_" : "v22_") + what + ".xml";
    }
};

TEST_P(Init, SubscribesBothListsAndForwardsUpdatesToTheUnit) {
    ConfigFile file(fileName("subscribes"));
    Configuration config(file.path());
    SimServerEmulator server(serverOptions());
    ASSERT_TRUE(server.start());
    ConsoleCapture console;
    {
        RecordedController recorded(GetParam(), config, towards(server.simPort(), server.appPort()));
        SimulatorSample& controller = *recorded.controller;
        Recorder& unit = recorded.unit;
        ASSERT_TRUE(controller.init(false)) << console.err();
        EXPECT_EQ(unit.log.calls().at(0), "initialize(HX0001,127.0.0.1,127.0.0.1,127.0.0.1,1)");

        EXPECT_EQ(subscription(server, Protocol::Sim), sorted(kSimList));
        EXPECT_EQ(subscription(server, Protocol::App), sorted(appList(GetParam())));
        EXPECT_EQ(asWire(SimulatorSample::simInputs(), true), kSimList);  // in subscription order
        EXPECT_TRUE(console.waitFor("Zephra> Connected (SIM Protocol)\n"));
        EXPECT_TRUE(console.waitFor("Zephra> Connected (APP Protocol)\n"));

        // An update from the server reaches the parameter handling, which switches the
        // unit's output on.
        ASSERT_TRUE(server.setValue("HW_PATSPEED", 1));
        EXPECT_TRUE(unit.log.waitForCount(json() ? "setStreamingEnabled(1)" : "associate()", 1));
    }
    EXPECT_NE(console.out().find("Zephra> Disconnected (SIM Protocol)\n"), std::string::npos);
    EXPECT_EQ(console.out().find("Destroying SimulatorSample object!"), std::string::npos);
    EXPECT_EQ(console.err().find("HX>ERROR>"), std::string::npos) << console.err();
}

TEST_P(Init, UnreadableConfigurationOrUnitNotFound) {
    ConsoleCapture console;
    Configuration missing(fileName("missing"));
    RecordedController noFile(GetParam(), missing);
    EXPECT_FALSE(noFile.controller->init(false));
    EXPECT_NE(console.err().find("HX>ERROR>Unable to read the configuration!\n"), std::string::npos);
    EXPECT_EQ(noFile.unit.log.calls(), std::vector<std::string>{});

    ConfigFile file(fileName("nounit"));
    Configuration config(file.path());
    RecordedController noUnit(GetParam(), config);
    noUnit.unit.script.initializeResult = false;
    EXPECT_FALSE(noUnit.controller->init(false));
    EXPECT_NE(console.err().find("HX>ERROR>Unable to initialize the connection with the Halvex unit!\n"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Controller, Init, testing::Values(EditionKind::Json, EditionKind::V22), editionName);

TEST(EditionLists, AppListsInSubscriptionOrderAndServerAddresses) {
    Configuration config("unused.xml", JsonEdition::kConfigurationKeys);
    config.SimulatorIP = "127.0.0.2";
    config.RHMIP = "127.0.0.3";
    const SimulatorLinks json = JsonEdition(config, std::make_unique<RecordingJsonAdaptor>()).simulatorLinks();
    EXPECT_EQ(asWire(json.appInputs, false), kJsonAppList);
    EXPECT_EQ(json.appAddress, "127.0.0.2");
    EXPECT_EQ(json.simAddress, "127.0.0.3");

    const SimulatorLinks v22 = V22Edition(config, std::make_unique<RecordingV22Adaptor>()).simulatorLinks();
    EXPECT_EQ(asWire(v22.appInputs, false), appList(EditionKind::V22));
    EXPECT_EQ(v22.appAddress, "127.0.0.1");
    EXPECT_EQ(v22.simAddress, "127.0.0.1");
}

TEST(JsonInit, SucceedsBeforeTheServerRunsAndConnectsWhenItStarts) {
    std::uint16_t simPort, appPort;
    {
        // Two ports that were free a moment ago.
        SimServerEmulator probe(serverOptions());
        ASSERT_TRUE(probe.start());
        simPort = probe.simPort();
        appPort = probe.appPort();
    }
    ConfigFile file("controller_init_json_late.xml");
    Configuration config(file.path());
    ConsoleCapture console;
    {
        RecordedController recorded(EditionKind::Json, config, towards(simPort, appPort));
        ASSERT_TRUE(recorded.controller->init(true)) << console.err();
        const std::vector<std::string> calls = recorded.unit.log.calls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[0], "setVerbose()");  // made verbose before it looks for the unit
        EXPECT_EQ(calls[1], "initialize(HX0001,127.0.0.1,127.0.0.1,127.0.0.1,1)");
        EXPECT_EQ(console.out().find("Zephra> Connected"), std::string::npos);

        SimServerEmulator server(serverOptions(simPort, appPort));
        ASSERT_TRUE(server.start());
        EXPECT_TRUE(console.waitFor("Zephra> Connected (SIM Protocol)\n", Channel::Out, std::chrono::seconds(20)));
        EXPECT_TRUE(console.waitFor("Zephra> Connected (APP Protocol)\n", Channel::Out, std::chrono::seconds(20)));
        EXPECT_EQ(subscription(server, Protocol::Sim), sorted(kSimList));
    }
    EXPECT_NE(console.out().find("Destroying SimulatorSample object!\n"), std::string::npos);
}

}  // namespace
