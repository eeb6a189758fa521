// init() of the JSON edition against the simulator-server stand-in.

#include <gtest/gtest.h>

#include "controller/simulator_sample.h"
#include "tests/controller/init_support.h"
#include "tests/controller/test_support.h"

using namespace init_support;
using halvex_emu::Protocol;
using halvex_emu::SimServerEmulator;

namespace {

SimulatorSample::Options towards(const SimServerEmulator& server) {
    SimulatorSample::Options options;
    options.simPort = server.simPort();
    options.appPort = server.appPort();
    return options;
}

const std::vector<WireInput> kSimList = {
    {"HW_PATSPEED", 1, 0}, {"HW_PATMON_ENABLED", 1, 0}, {"HW_PATMON_CALIB_ACTION", 1, 0}, {"HW_PATMON_CALIB_ARG1", 1, 0}};

const std::vector<WireInput> kAppList = {
    {"ARTERIAL_CATHETER_DEPTH", -1, 0}, {"CVP_CATHETER_DEPTH", -1, 0}, {"PA_CATHETER_DEPTH", -1, 0},
    {"PULSE_SENSOR", -1, 0},            {"SPO2_PROBE", -1, 0},         {"CAPNOGRAPH_SENSOR", -1, 0},
    {"TEMP_BODY_SENSOR", -1, 0},        {"TEMP_BLOOD_SENSOR", -1, 0},  {"NIBP_SENSOR", -1, 0},
    {"SIMULATOR_XCONNECTED", -1, 0},    {"ARTLINE", -1, 12000},        {"PLINE", -1, 12000},
    {"CVPLINE", -1, 12000},             {"CAPNOGRAM", -1, 12000},      {"PLETH", -1, 12000},
    {"SAO2", -1, 0},                    {"EXT_DABP", -1, 0},           {"EXT_MAP", -1, 0},
    {"EXT_SABP", -1, 0},                {"SPA", -1, 0},                {"DPA", -1, 0},
    {"ETCO2", -1, 0},                   {"HRPM", -1, 0},               {"RRPM", -1, 0},
    {"BODY_TEMP", -1, 0},               {"bloodTemp", -1, 0}};

TEST(JsonInit, SubscribesBothListsAndForwardsUpdatesToTheUnit) {
    ConfigFile file("controller_init_json.xml");
    Configuration config(file.path());
    SimServerEmulator server(serverOptions());
    ASSERT_TRUE(server.start());
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    {
        SimulatorSample controller(&config, towards(server));
        HalvexAdaptor& unit = controller.unitAdaptor();
        ASSERT_TRUE(controller.init(false)) << err.text();
        EXPECT_EQ(unit.log.calls().at(0), "initialize(HX0001,127.0.0.1,127.0.0.1,127.0.0.1,1)");

        EXPECT_EQ(subscription(server, Protocol::Sim), sorted(kSimList));
        EXPECT_EQ(subscription(server, Protocol::App), sorted(kAppList));
        EXPECT_EQ(asWire(SimulatorSample::appInputs(), false), kAppList);  // in subscription order
        EXPECT_EQ(asWire(SimulatorSample::simInputs(), true), kSimList);
        EXPECT_TRUE(out.waitFor("Zephra> Connected (SIM Protocol)\n"));
        EXPECT_TRUE(out.waitFor("Zephra> Connected (APP Protocol)\n"));

        // An update from the server reaches the parameter handling.
        ASSERT_TRUE(server.setValue("HW_PATSPEED", 1));
        EXPECT_TRUE(unit.log.waitForCount("setStreamingEnabled(1)", 1));
    }
    EXPECT_EQ(out.text().find("Destroying SimulatorSample object!"), std::string::npos);
    EXPECT_EQ(err.text().find("HX>ERROR>"), std::string::npos) << err.text();
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
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    {
        SimulatorSample::Options options;
        options.simPort = simPort;
        options.appPort = appPort;
        SimulatorSample controller(&config, options);
        HalvexAdaptor& unit = controller.unitAdaptor();
        ASSERT_TRUE(controller.init(true)) << err.text();
        const std::vector<std::string> calls = unit.log.calls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[0], "setVerbose()");  // made verbose before it looks for the unit
        EXPECT_EQ(calls[1], "initialize(HX0001,127.0.0.1,127.0.0.1,127.0.0.1,1)");
        EXPECT_EQ(out.text().find("Zephra> Connected"), std::string::npos);

        SimServerEmulator server(serverOptions(simPort, appPort));
        ASSERT_TRUE(server.start());
        EXPECT_TRUE(out.waitFor("Zephra> Connected (SIM Protocol)\n", std::chrono::seconds(20)));
        EXPECT_TRUE(out.waitFor("Zephra> Connected (APP Protocol)\n", std::chrono::seconds(20)));
        EXPECT_EQ(subscription(server, Protocol::Sim), sorted(kSimList));
    }
    EXPECT_NE(out.text().find("Destroying SimulatorSample object!\n"), std::string::npos);
}

TEST(JsonInit, UnreadableConfigurationOrUnitNotFound) {
    StreamCapture err(std::cerr);
    Configuration missing("controller_init_missing.xml");
    SimulatorSample noFile(&missing);
    EXPECT_FALSE(noFile.init(false));
    EXPECT_NE(err.text().find("HX>ERROR>Unable to read the configuration!\n"), std::string::npos);
    EXPECT_EQ(noFile.unitAdaptor().log.calls(), std::vector<std::string>{});

    ConfigFile file("controller_init_json_nounit.xml");
    Configuration config(file.path());
    SimulatorSample noUnit(&config);
    noUnit.unitAdaptor().script.initializeResult = false;
    EXPECT_FALSE(noUnit.init(false));
    EXPECT_NE(err.text().find("HX>ERROR>Unable to initialize the connection with the Halvex unit!\n"),
              std::string::npos);
}

}  // namespace
