#include "app/entry.h"

#include <boost/program_options.hpp>

#include <exception>
#include <iostream>
#include <sstream>

#include "app/configuration.h"
#include "controller/simulator_sample.h"
#include "platform/console.h"
#include "platform/instance_guard.h"

namespace po = boost::program_options;

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
int runBridge(const CommandLine& commandLine, const std::string& usage) {
    if (commandLine.configPath.empty()) {
        std::cerr << "HX>Missing configuration file path in parameters" << std::endl;
        std::cout << '\n' << usage << std::endl;
        return 1;
    }
    Configuration configuration(commandLine.configPath);
    for (;;) {
        SimulatorSample controller(&configuration);
        if (!controller.init(commandLine.debug)) {
            std::cerr << "HX>ERROR>Unable to initialize the Halvex interface module. Leaving now!" << std::endl;
            return 1;
        }
        std::cout << "HX>Running..." << std::endl;
        controller.run();
        std::cout << "HX>Disconnected!!" << std::endl;
    }
}

}  // namespace

int runEntryPoint(int argc, char** argv) {
    // The console is the operator's log: no line may be lost when the process is
    // stopped from outside.
    std::cout.setf(std::ios::unitbuf);

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
        std::cerr << "HX>ERROR>" << error.what() << std::endl;
        std::cout << "HX>ERROR>" << usage << std::endl;
        return 1;
    }
    if (values.count("help")) {
        std::cout << '\n' << usage << std::endl;
        return 0;
    }
    try {
        po::notify(values);
    } catch (const std::exception& error) {
        std::cerr << "HX>ERROR>" << error.what() << std::endl;
        std::cout << "HX>ERROR>" << usage << std::endl;
        return 1;
    }

    if (values.count("debug")) {
        std::cout << "HX>Debug mode enabled" << std::endl;
        commandLine.debug = true;
    }
    if (values.count("nogui")) {
        halvex::platform::hideConsoleWindow();
    }

    try {
        // Held until the process ends; the operating system releases it then.
        static halvex::platform::InstanceGuard guard(kInstanceGuardName);
        if (!guard.tryAcquire()) {
            std::cerr << "HX>ERROR>PatientSimulatorHalvex is already running somewhere. Leaving now." << std::endl;
            return 1;
        }
        if (!commandLine.wifi.empty()) {
            return runWifiSetup(commandLine.wifi, usage);
        }
        return runBridge(commandLine, usage);
    } catch (const std::exception& error) {
        std::cerr << "HX>ERROR>" << error.what() << std::endl;
        return 1;
    }
}
