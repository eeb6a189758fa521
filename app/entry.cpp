#include "app/entry.h"

#include <boost/program_options.hpp>

#include <exception>
#include <mutex>
#include <sstream>

#include "controller/simulator_sample.h"
#include "platform/console.h"
#include "platform/instance_guard.h"
#include "platform/line_sink.h"
#include "platform/stop_requests.h"

namespace halvex::app {

namespace po = boost::program_options;
using controller::SimulatorSample;
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

// Hands the operator's stop request to the controller of the moment: the stop
// listener's thread calls request(), the main thread attaches each controller for its
// life. A request made between two controllers reaches the next one at once.
class ControllerStop {
public:
    void request() {
        std::lock_guard<std::mutex> guard(lock_);
        requested_ = true;
        if (current_)
            current_->stop();
    }
    bool requested() const {
        std::lock_guard<std::mutex> guard(lock_);
        return requested_;
    }

    // Declared after its controller, so that it detaches before the controller goes.
    class Attachment {
    public:
        Attachment(ControllerStop& stop, SimulatorSample& controller) : stop_(stop) {
            std::lock_guard<std::mutex> guard(stop_.lock_);
            stop_.current_ = &controller;
            if (stop_.requested_)
                controller.stop();
        }
        ~Attachment() {
            std::lock_guard<std::mutex> guard(stop_.lock_);
            stop_.current_ = nullptr;
        }
        Attachment(const Attachment&) = delete;
        Attachment& operator=(const Attachment&) = delete;

    private:
        ControllerStop& stop_;
    };

private:
    mutable std::mutex lock_;
    bool requested_ = false;
    SimulatorSample* current_ = nullptr;
};

// Normal mode: the outer loop that rebuilds the controller whenever it gives up on
// the unit, until the operator stops the bridge (Ctrl-C, SIGTERM): then the
// controller's teardown releases the unit and disconnects from the simulator, and
// the status is 0.
int runBridge(const CommandLine& commandLine, const std::string& usage, const Program& program) {
    if (commandLine.configPath.empty()) {
        printErr("HX>Missing configuration file path in parameters");
        printOut("\n" + usage);
        return 1;
    }
    // Before any thread starts (see stop_requests.h); outlives every controller.
    halvex::platform::StopRequests stopRequests;
    ControllerStop stop;
    stopRequests.onRequest([&stop](const std::string&) { stop.request(); });

    Configuration configuration(commandLine.configPath, program.configurationKeys);
    while (!stop.requested()) {
        SimulatorSample controller(&configuration, program.makeEdition(configuration));
        const ControllerStop::Attachment attached(stop, controller);
        if (!controller.init(commandLine.debug)) {
            if (controller.stopping())
                break;
            printErr("HX>ERROR>Unable to initialize the Halvex interface module. Leaving now!");
            return 1;
        }
        if (controller.stopping())
            break;
        printOut("HX>Running...");
        if (!controller.run())
            break;  // stopped
        printOut("HX>Disconnected!!");
    }
    // Every controller is gone: its threads joined, the unit released.
    printOut("HX>Stopped (" + stopRequests.reason() +
             "): the Halvex unit is released and the simulator disconnected.");
    return 0;
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

}  // namespace halvex::app
