// The WiFi set-up mode of both programs for real, against the unit stand-ins
// (in-process): what the unit receives, the lines and the exit status. The v2.2 edition
// binds port 14996 on every address: these tests are serialised.
#include <gtest/gtest.h>

#include <signal.h>

#include "emulators/unit_json/unit_emulator.h"
#include "emulators/unit_v22/unit_emulator.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace {

using halvex::test::ChildProcess;
using halvex::test::TempDir;
using namespace std::chrono_literals;

const std::string kJsonBridge = std::string(HALVEX_BIN_DIR) + "/halvex-relay-json";
const std::string kV22Bridge = std::string(HALVEX_BIN_DIR) + "/halvex-relay-v22";
const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::WifiE2e);

struct BridgeRun {
    int status;
    std::string out, err;
};

BridgeRun runBridge(const std::string& program, std::vector<std::string> args) {
    TempDir dir;  // the last-connected-address file lands here
    args.insert(args.begin(), program);
    ChildProcess bridge(args, dir.path());
    const int status = bridge.wait(60s);
    if (status == -1)
        bridge.kill(SIGKILL);
    return {status, bridge.out(), bridge.err()};
}

TEST(JsonWifiMode, TheUnitJoinsTheNetworkAndTheModeReportsSuccess) {
    halvex::emulators::unit_json::UnitEmulator unit(kNet.host(0), 14997);
    unit.start();
    // A quote and a backslash in the password arrive as typed.
    const BridgeRun run = runBridge(kJsonBridge, {"--wifi", kNet.host(0), "Lab WiFi", "s3\"c\\ret"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("HX>>Configuration of the HX unit @ IP <" + kNet.host(0) +
                           "> for SSID <Lab WiFi> and password <s3\"c\\ret>\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("WIFI configuration...\nSuccessful connection!\nssid: Lab WiFi\n"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("HX>WIFI configuration succeeded.\n"), std::string::npos) << run.out;
    const auto stats = unit.snapshot();
    EXPECT_EQ(stats.ssid, "Lab WiFi");
    EXPECT_EQ(stats.password, "s3\"c\\ret");
}

TEST(JsonWifiMode, AUnitThatDoesNotJoinTheNetworkIsAFailure) {
    halvex::emulators::unit_json::UnitEmulator unit(kNet.host(1), 14997);
    unit.setWifiJoins(false);
    unit.start();
    const BridgeRun run = runBridge(kJsonBridge, {"--wifi", kNet.host(1), "Lab WiFi", "wrong"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("HX>ERROR: WIFI configuration failed; please revalidate your SSID and Password...\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out.find("succeeded"), std::string::npos) << run.out;
}

TEST(JsonWifiMode, AnUnreachableUnitEndsWithStatusOne) {
    // Nothing listens there: every connection attempt is refused at once.
    const BridgeRun run = runBridge(kJsonBridge, {"--wifi", kNet.host(2), "Lab", "pw"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("HX>Unable to initialize the Halvex adapter. Leaving now!\n"), std::string::npos) << run.err;
}

TEST(V22WifiMode, ConfigModeResetAndCredentialsReachTheUnit) {
    halvex::emulators::unit_v22::UnitEmulator::Options options;
    options.address = kNet.host(3);
    halvex::emulators::unit_v22::UnitEmulator unit(options);
    unit.start();
    const BridgeRun run = runBridge(kV22Bridge, {"--wifi", kNet.host(3), "Lab WiFi", "s3cret"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    for (const char* line : {"Enabling config mode...\n", "WIFI factory reset...\n", "WIFI configuration...\n",
                             "HX>WIFI configuration succeeded; power cycle the Halvex unit for changes to take effect\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << run.out;
    const auto stats = unit.snapshot();
    EXPECT_EQ(stats.commandCounts.count("CONFIG"), 1u);
    EXPECT_EQ(stats.values.at("WIFI_CFG"), "57600,14996,0,Lab WiFi,s3cret");
}

TEST(V22WifiMode, ACommaInTheNameIsRefusedBeforeAnythingIsSent) {
    halvex::emulators::unit_v22::UnitEmulator::Options options;
    options.address = kNet.host(4);
    halvex::emulators::unit_v22::UnitEmulator unit(options);
    unit.start();
    // A configuration file given too is not read in this mode.
    const BridgeRun run =
        runBridge(kV22Bridge, {"--wifi", kNet.host(4), "Lab,WiFi", "s3cret", "--configfile", "/no/such/file.xml"});
    EXPECT_EQ(run.out.find("Reading configuration file"), std::string::npos) << run.out;
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("HX>ERROR>The WiFi network name contains ','"), std::string::npos) << run.err;
    EXPECT_EQ(unit.snapshot().datagrams, 0u);
}

}  // namespace
