// init() of the v2.2 edition against the simulator-server stand-in.

#include <gtest/gtest.h>

#include "controller/simulator_sample.h"
#include "tests/controller/init_support.h"
#include "tests/controller/test_support.h"

using namespace init_support;
using halvex_emu::Protocol;
using halvex_emu::SimServerEmulator;

namespace {

const std::vector<WireInput> kAppList = {
    {"ARTERIAL_CATHETER_DEPTH", -1, 0}, {"CVP_CATHETER_DEPTH", -1, 0}, {"PA_CATHETER_DEPTH", -1, 0},
    {"PULSE_SENSOR", -1, 0},            {"SPO2_PROBE", -1, 0},         {"CAPNOGRAPH_SENSOR", -1, 0},
    {"TEMP_BODY_SENSOR", -1, 0},        {"TEMP_BLOOD_SENSOR", -1, 0},  {"NIBP_SENSOR", -1, 0},
    {"SIMULATOR_XCONNECTED", -1, 0},    {"ARTLINE", -1, 12000},        {"PLINE", -1, 12000},
    {"CVPLINE", -1, 12000},             {"CAPNOGRAM", -1, 12000},      {"PLETH", -1, 12000},
    {"SAO2", -1, 0},                    {"EXT_DABP", -1, 0},           {"EXT_MAP", -1, 0},
    {"EXT_SABP", -1, 0},                {"HRPM", -1, 0},               {"RRPM", -1, 0},
    {"BODY_TEMP", -1, 0},               {"bloodTemp", -1, 0}};

TEST(V22Init, SubscribesBothListsAndForwardsUpdates) {
    ConfigFile file("controller_init_v22.xml");
    Configuration config(file.path());
    SimServerEmulator server(serverOptions());
    ASSERT_TRUE(server.start());
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    SimulatorSample::Options options;
    options.simPort = server.simPort();
    options.appPort = server.appPort();
    auto controller = std::make_unique<SimulatorSample>(&config, options);
    HalvexAdaptor& unit = controller->unitAdaptor();
    ASSERT_TRUE(controller->init(false)) << err.text();

    EXPECT_EQ(asWire(SimulatorSample::simInputs(), true), (std::vector<WireInput>{{"HW_PATSPEED", 1, 0}, {"HW_PATMON_ENABLED", 1, 0},
                                      {"HW_PATMON_CALIB_ACTION", 1, 0}, {"HW_PATMON_CALIB_ARG1", 1, 0}}));
    EXPECT_EQ(subscription(server, Protocol::Sim), sorted(asWire(SimulatorSample::simInputs(), true)));
    EXPECT_EQ(subscription(server, Protocol::App), sorted(kAppList));
    EXPECT_EQ(asWire(SimulatorSample::appInputs(), false), kAppList);  // in subscription order
    EXPECT_TRUE(out.waitFor("Zephra> Connected (SIM Protocol)\n"));
    EXPECT_TRUE(out.waitFor("Zephra> Connected (APP Protocol)\n"));
    ASSERT_TRUE(server.setValue("HW_PATSPEED", 1));
    EXPECT_TRUE(unit.log.waitForCount("associate()", 1));

    controller.reset();
    EXPECT_NE(out.text().find("Zephra> Disconnected (SIM Protocol)\n"), std::string::npos);
}

}  // namespace
