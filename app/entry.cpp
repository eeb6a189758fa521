#include "app/entry.h"

#include <boost/program_options.hpp>

#include <exception>
#include <sstream>

#include "controller/simulator_sample.h"
#include "platform/console.h"
#include "platform/instance_guard.h"
#include "platform/line_sink.h"

namespace po = boost::program_options;
using halvex::platform::printErr;
using halvex::platform::printOut;

namespace {

struct CommandLine {
    bool debug = false;
    std::string configPath;
    std::vector<std::string> wifi;
};

std::string usageText(const po::options_description& options) {
    std::ostringstream text;
    text << options;
    return text.str();
}

// Normal mode: the outer loop that rebuilds the controller whenever it gives up on
// the unit. Returns only to end the process.
int runBridge(const CommandLine& commandLine, const std::string& usage, const Program& program) {
    if (commandLine.configPath.empty()) {
        printErr("HX>Missing configuration file path in parameters");
        printOut("\n" + usage);
        return 1;
    }
    Configuration configuration(commandLine.configPath, program.configurationKeys);
    for (;;) {
        SimulatorSample controller(&configuration, program.makeEdition(configuration));
        if (!controller.init(commandLine.debug)) {
            printErr("HX>ERROR>Unable to initialize the Halvex interface module. Leaving now!");
            return 1;
        }
        printOut("HX>Running...");
        controller.run();
        printOut("HX>Disconnected!!");
    }
}

}  // namespace

int runEntryPoint(int argc, char** argv, const Program& program) {
    CommandLine commandLine;
    po::options_description options("PatientSimulatorHalvex Usage");
    options.add_options()
        ("help,h", "Print usage message")
        ("debug,d", "Print debug info")
        ("nogui,n", "Hide the console, Windows only")
        ("configfile,f", po::value<std::string>(&commandLine.configPath), "Pathname to the configuration XML file")
        ("wifi,w", po::value<std::vector<std::string>>(&commandLine.wifi)->multitoken(),
         "Configure WIFI settings (arg: HX_IP WIFI_SSID WIFI_PWD)");
    const std::string usage = usageText(options);

    // A command line that cannot be parsed ends with status 1: a script that started
    // the bridge must not take a typo for success.
    po::variables_map values;
    try {
        // No positional arguments are declared, so a stray argument is an error
        // rather than silently ignored.
        const po::positional_options_description noPositionals;
        po::store(po::command_line_parser(argc, argv).options(options).positional(noPositionals).run(), values);
    } catch (const std::exception& error) {
        printErr(std::string("HX>ERROR>") + error.what());
        printOut("HX>ERROR>" + usage);
        return 1;
    }
    if (values.count("help")) {
        printOut("\n" + usage);
        return 0;
    }
    try {
        po::notify(values);
    } catch (const std::exception& error) {
        printErr(std::string("HX>ERROR>") + error.what());
        printOut("HX>ERROR>" + usage);
        return 1;
    }

    if (values.count("debug")) {
        printOut("HX>Debug mode enabled");
        commandLine.debug = true;
    }
    if (values.count("nogui")) {
        halvex::platform::hideConsoleWindow();
    }

    try {
        // Held until the process ends; the operating system releases it then.
        static halvex::platform::InstanceGuard guard(kInstanceGuardName);
        if (!guard.tryAcquire()) {
            printErr("HX>ERROR>PatientSimulatorHalvex is already running somewhere. Leaving now.");
            return 1;
        }
        if (!commandLine.wifi.empty()) {
            return runWifiSetup(commandLine.wifi, usage, program);
        }
        return runBridge(commandLine, usage, program);
    } catch (const std::exception& error) {
        printErr(std::string("HX>ERROR>") + error.what());
        return 1;
    } catch (...) {
        printErr("HX>ERROR>Unknown error. Leaving now.");
        return 1;
    }
}
