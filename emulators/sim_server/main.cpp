// sim-server-emulator: serves a simulated adult patient over the SIM and APP
// protocols on loopback, for demos and whole-program tests of the bridge.

#include <boost/program_options.hpp>

#include <chrono>
#include <cmath>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "emulators/sim_server/patient.h"
#include "emulators/sim_server/scenario.h"
#include "emulators/sim_server/session.h"
#include "emulators/sim_server/sim_server_emulator.h"
#include "platform/stop_requests.h"

namespace po = boost::program_options;
using namespace halvex::emulators::sim_server;

namespace {

constexpr const char* kProgram = "sim-server-emulator";
constexpr std::uint16_t kDefaultSimPort = 55580;
constexpr std::uint16_t kDefaultAppPort = 55557;
constexpr auto kBatchInterval = std::chrono::milliseconds(60);

std::mutex outputLock;  // the I/O thread and the main thread both print

// One line, with its end, in one write: readers of the output see whole lines.
void writeLine(std::ostream& to, const std::string& line) {
    std::lock_guard<std::mutex> g(outputLock);
    to << line + "\n" << std::flush;
}

void say(const std::string& line) { writeLine(std::cout, line); }

int fail(const std::string& why) {
    writeLine(std::cerr, std::string(kProgram) + ": " + why);
    return 1;
}

// Sleeps until `deadline` unless a stop request (SIGINT, SIGTERM) arrives first (true then).
bool waitForStop(halvex::platform::StopRequests& stop, std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return stop.requested();
    return stop.waitFor(std::chrono::ceil<std::chrono::milliseconds>(left));
}

}  // namespace

int main(int argc, char** argv) {
    std::string address = "127.0.0.1", scenarioFile, replayFile;
    double speed = 1;
    int simPort = kDefaultSimPort, appPort = kDefaultAppPort;
    double seconds = 0;
    std::vector<std::string> assignments;

    po::options_description options("Options");
    options.add_options()
        ("help,h", "show this help")
        ("address", po::value(&address)->default_value(address), "loopback address to serve on (127.0.0.0/8)")
        ("sim-port", po::value(&simPort)->default_value(simPort), "SIM protocol port (0 = any free port)")
        ("app-port", po::value(&appPort)->default_value(appPort), "APP protocol port (0 = any free port)")
        ("set", po::value(&assignments)->composing(), "start value, ID=VALUE (may be repeated)")
        ("scenario", po::value(&scenarioFile),
         "file of timed steps ('at 5.0 set HRPM 80', ...), or the name of a shipped one (stable-adult, ...)")
        ("replay", po::value(&replayFile), "serve a session recorded by sim-session-recorder, with its timing")
        ("speed", po::value(&speed)->default_value(speed), "--replay: play this many times faster")
        ("loop", "--replay: start the session again after its end")
        ("seconds", po::value(&seconds), "exit after this many seconds (default: run until SIGINT/SIGTERM)");
    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, options), vm);
        po::notify(vm);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    if (vm.count("help")) {
        std::ostringstream usage;
        usage << "Usage: " << kProgram << " [options]\n" << options;
        say(usage.str());
        return 0;
    }
    if (simPort < 0 || simPort > 65535 || appPort < 0 || appPort > 65535) return fail("ports must be 0..65535");
    if (vm.count("seconds") && !(std::isfinite(seconds) && seconds >= 0)) return fail("--seconds must be 0 or more");

    SimServerEmulator::Options o;
    o.address = address;
    o.simPort = static_cast<std::uint16_t>(simPort);
    o.appPort = static_cast<std::uint16_t>(appPort);
    o.parameters = standardPatientParameters();

    std::string error;
    for (const std::string& a : assignments) {
        std::string id;
        double v;
        if (!parseAssignment(a, o.parameters, id, v, error)) return fail("--set: " + error);
        for (Parameter& p : o.parameters)
            if (p.id == id) p.value = v;
    }
    std::vector<ScenarioStep> steps;
    if (!scenarioFile.empty()) {
        const std::string path = findScenario(scenarioFile, scenarioFolders(), error);
        if (path.empty()) return fail("--scenario: " + error);
        std::ifstream in(path);
        if (!in) return fail("cannot read scenario file " + path);
        if (!parseScenario(in, o.parameters, steps, error)) return fail(path + ": " + error);
    }
    if (!replayFile.empty() && !scenarioFile.empty()) return fail("--replay and --scenario cannot be combined");
    if (!(std::isfinite(speed) && speed > 0)) return fail("--speed must be above 0");
    std::unique_ptr<SessionPlayer> player;
    if (!replayFile.empty()) {
        std::ifstream in(replayFile);
        if (!in) return fail("cannot read session file " + replayFile);
        std::vector<SessionUpdate> session;
        if (!readSession(in, o.parameters, session, error)) return fail(replayFile + ": " + error);
        if (session.empty()) return fail(replayFile + ": the session holds no update");
        player = std::make_unique<SessionPlayer>(std::move(session), speed, vm.count("loop") > 0);
        player->applyStartValues(o.parameters);
    }

    // Before the emulator's thread starts: stop requests go to the main loop alone.
    halvex::platform::StopRequests stop;

    SimServerEmulator server(o);
    server.setEventSink(say);
    if (!server.start(&error)) return fail(error);
    say("Serving SIM on " + address + ":" + std::to_string(server.simPort()) + " and APP on " + address + ":" +
        std::to_string(server.appPort()));

    using clock = std::chrono::steady_clock;
    const auto begin = clock::now();
    const bool timed = vm.count("seconds") > 0;
    const auto end = begin + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
    WaveformGenerator waves;
    std::size_t nextStep = 0;
    bool replayDone = false;
    auto nextBatch = begin;
    for (;;) {
        const auto now = clock::now();
        if (timed && now >= end) break;
        const double elapsed = std::chrono::duration<double>(now - begin).count();
        for (; nextStep < steps.size() && steps[nextStep].at <= elapsed; ++nextStep) applyStep(steps[nextStep], server);
        if (player) {
            // The session carries its own waveforms; nothing is generated.
            const double due = player->play(elapsed, server);
            if (due < 0 && !replayDone) {
                replayDone = true;
                say("Replay finished: " + std::to_string(player->sent()) + " updates");
            }
            nextBatch = due < 0 ? now + std::chrono::seconds(1)
                                : begin + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(due));
        } else if (now >= nextBatch) {
            server.setValues(waves.nextBatch(server));
            nextBatch += kBatchInterval;
            if (nextBatch < now) nextBatch = now + kBatchInterval;  // fell behind: do not burst
        }
        auto wake = nextBatch;
        if (timed && end < wake) wake = end;
        if (waitForStop(stop, wake)) break;
    }
    server.stop();
    say("Stopped");
    return 0;
}
