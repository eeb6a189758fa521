// The programs' command line, run for real: usage, errors and exit statuses, and the
// single-instance guard shared by both editions.
#include <gtest/gtest.h>

#include <signal.h>

#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace {

using halvex::test::ChildProcess;
using halvex::test::TempDir;
using namespace std::chrono_literals;

const std::string kJson = std::string(HALVEX_BIN_DIR) + "/halvex-relay-json";
const std::string kV22 = std::string(HALVEX_BIN_DIR) + "/halvex-relay-v22";

// The options table exactly as the options library lays it out.
const std::string kUsage =
    "PatientSimulatorHalvex Usage:\n"
    "  -h [ --help ]           Print usage message\n"
    "  -d [ --debug ]          Print debug info\n"
    "  -n [ --nogui ]          Hide the console, Windows only\n"
    "  -f [ --configfile ] arg Pathname to the configuration XML file\n"
    "  -w [ --wifi ] arg       Configure WIFI settings (arg: HX_IP WIFI_SSID \n"
    "                          WIFI_PWD)\n";

const std::string kAlreadyRunning = "HX>ERROR>PatientSimulatorHalvex is already running somewhere. Leaving now.\n";

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome run(std::vector<std::string> argv) {
    ChildProcess child(std::move(argv));
    const int status = child.wait(20s);
    return {status, child.out(), child.err()};
}

std::vector<std::string> programs() { return {kJson, kV22}; }

TEST(CommandLine, HelpPrintsUsageOnlyAndTakesNoGuard) {
    for (const auto& program : programs()) {
        SCOPED_TRACE(program);
        for (std::vector<std::string> args : {std::vector<std::string>{"--help"}, {"-h"}, {"-d", "--help", "-f", "x.xml"},
                                              {"--wifi", "127.0.0.1", "--help"}}) {
            args.insert(args.begin(), program);
            const Outcome result = run(args);
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.out, "\n" + kUsage + "\n");
            EXPECT_EQ(result.err, "");
        }
    }
}

TEST(CommandLine, UnparsableCommandLinesFailWithStatusOne) {
    struct Case {
        std::vector<std::string> args;
        std::string reason;  // the options library's description
    } cases[] = {
        {{"--bogus"}, "unrecognised option '--bogus'"},
        {{"-f", "a.xml", "stray"}, "too many positional options have been specified on the command line"},
        {{"-f", "a.xml", "--configfile", "b.xml"}, "option '--configfile' cannot be specified more than once"},
        {{"--configfile"}, "the required argument for option '--configfile' is missing"},
    };
    for (const auto& program : programs()) {
        for (const Case& test : cases) {
            std::vector<std::string> args = test.args;
            args.insert(args.begin(), program);
            SCOPED_TRACE(program + " " + test.args[0]);
            const Outcome result = run(args);
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.err, "HX>ERROR>" + test.reason + "\n");
            EXPECT_EQ(result.out, "HX>ERROR>" + kUsage + "\n");
        }
    }
}

TEST(CommandLine, NoArgumentsAsksForTheConfigurationPath) {
    for (const auto& program : programs()) {
        SCOPED_TRACE(program);
        const Outcome result = run({program});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "HX>Missing configuration file path in parameters\n");
        EXPECT_EQ(result.out, "\n" + kUsage + "\n");
    }
}

TEST(CommandLine, DebugIsAnnouncedAndUnreadableConfigurationEndsTheProgram) {
    TempDir dir;
    const Outcome result = run({kJson, "-d", "-n", "-f", dir.file("missing.xml")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.rfind("HX>Debug mode enabled\nHX>Reading configuration file: " + dir.file("missing.xml") + "\n", 0),
              0u)
        << result.out;
    const std::string tail = "Unable to read the configuration file\n"
                             "HX>ERROR>Unable to read the configuration!\n"
                             "HX>ERROR>Unable to initialize the Halvex interface module. Leaving now!\n";
    ASSERT_GE(result.err.size(), tail.size()) << result.err;
    EXPECT_EQ(result.err.substr(result.err.size() - tail.size()), tail) << result.err;
}

TEST(CommandLine, WifiNeedsExactlyThreeTexts) {
    for (const auto& program : programs()) {
        SCOPED_TRACE(program);
        const Outcome result = run({program, "--wifi", "127.0.0.1", "lab-net"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "HX>Incorrect parameters for wifi configuration mode\n");
        EXPECT_EQ(result.out, "\n" + kUsage + "\n");
    }
}

// A bridge that waits for its unit holds the guard for as long as it runs.
TEST(InstanceGuard, OneBridgeAtATimeAndFreedByKill) {
    TempDir dir;
    // The unit address refuses connections, so the first bridge keeps retrying.
    const std::string address = halvex::test::Loopback(halvex::test::LoopbackBlock::AppCommandLine).host(0);
    dir.write("settings.xml",
              "<Halvex><SPO2Scale>5</SPO2Scale><SerialID/><IPAddress>" + address + "</IPAddress>"
              "<SPO2Calibration><Entry key=\"90\" value=\"600\"/></SPO2Calibration>"
              "<CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration>"
              "<IPRangeStart/><IPRangeEnd/><SimulatorIP>" + address + "</SimulatorIP><RHMIP>" + address +
              "</RHMIP></Halvex>");
    ChildProcess first({kJson, "--configfile", dir.file("settings.xml")}, dir.path());
    ASSERT_TRUE(first.waitForText("Fixed IP configured: " + address, 20s)) << first.out() << first.err();

    for (const auto& program : programs()) {
        SCOPED_TRACE(program);
        const Outcome second = run({program, "--configfile", dir.file("settings.xml")});
        EXPECT_EQ(second.status, 1);
        EXPECT_EQ(second.err, kAlreadyRunning);
        // The guard comes before the configuration path is looked at.
        const Outcome bare = run({program});
        EXPECT_EQ(bare.err, kAlreadyRunning);
    }

    first.kill(SIGKILL);
    ASSERT_EQ(first.wait(10s), 128 + SIGKILL);
    const Outcome after = run({kV22});
    EXPECT_EQ(after.status, 1);
    EXPECT_EQ(after.err, "HX>Missing configuration file path in parameters\n");
}

}  // namespace
