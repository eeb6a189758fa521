// sim-session-recorder ADDRESS FILE: records a simulator session, as a bridge sees
// it, for sim-server-emulator --replay. Runs until a stop request (Ctrl-C, SIGTERM)
// or --seconds.

#include <boost/program_options.hpp>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <sstream>
#include <string>

#include "platform/line_sink.h"
#include "platform/stop_requests.h"
#include "tools/session_recorder.h"

namespace po = boost::program_options;
using halvex::platform::printErr;
using halvex::platform::printOut;

namespace {

constexpr const char* kProgram = "sim-session-recorder";

int fail(const std::string& why) {
    printErr(std::string(kProgram) + ": " + why);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string address, file;
    int simPort = halvex::tools::kSimPort, appPort = halvex::tools::kAppPort;
    double seconds = 0;
    po::options_description options("Options");
    options.add_options()
        ("help,h", "show this help")
        ("sim-port", po::value(&simPort)->default_value(simPort), "SIM protocol port")
        ("app-port", po::value(&appPort)->default_value(appPort), "APP protocol port")
        ("seconds", po::value(&seconds), "stop after this many seconds (default: run until SIGINT/SIGTERM)");
    po::options_description hidden;
    hidden.add_options()("address", po::value(&address))("file", po::value(&file));
    po::options_description all;
    all.add(options).add(hidden);
    po::positional_options_description positional;
    positional.add("address", 1).add("file", 1);
    const std::string usage = std::string("Usage: ") + kProgram +
                              " ADDRESS FILE [options]\n"
                              "Connects to the simulator server at ADDRESS over SIM and APP as the bridge does, "
                              "subscribes the inputs of both editions and writes every update with its time to "
                              "FILE, one JSON object per line.\n";
    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
        po::notify(vm);
    } catch (const std::exception& e) {
        std::ostringstream text;
        text << usage << options;
        return fail(std::string(e.what()) + '\n' + text.str());
    }
    if (vm.count("help")) {
        std::ostringstream text;
        text << usage << options;
        printOut(text.str());
        return 0;
    }
    if (address.empty() || file.empty()) return fail("ADDRESS and FILE are both needed (see --help)");
    if (simPort <= 0 || simPort > 65535 || appPort <= 0 || appPort > 65535) return fail("ports must be 1..65535");
    const bool timed = vm.count("seconds") > 0;
    if (timed && !(std::isfinite(seconds) && seconds > 0)) return fail("--seconds must be above 0");

    // Before any thread starts: stop requests go to the loop below alone.
    halvex::platform::StopRequests stop;

    std::unique_ptr<halvex::tools::SessionRecorder> recorder;
    try {
        recorder = std::make_unique<halvex::tools::SessionRecorder>(file);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    std::string error;
    if (!recorder->start(address, simPort, appPort, error)) return fail(error);
    printOut(std::string(kProgram) + ": recording " + address + " (SIM " + std::to_string(simPort) + ", APP " +
             std::to_string(appPort) + ") to " + file);

    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(timed ? seconds : 0));
    for (;;) {
        auto wait = std::chrono::milliseconds(1000);
        if (timed) {
            const auto left = end - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) break;
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(left));
        }
        if (stop.waitFor(wait)) break;
    }
    recorder->stop();
    if (!recorder->ok()) return fail(recorder->error());
    printOut(std::string(kProgram) + ": " + std::to_string(recorder->updates()) + " updates recorded in " + file);
    return 0;
}
