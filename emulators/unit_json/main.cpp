// unit-emulator-json: the stand-in JSON unit as a program, for the demo and for
// trying the bridge by hand. Loopback only.

#include <boost/program_options.hpp>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "emulators/monitor/lab_outputs.h"
#include "emulators/unit_json/report.h"
#include "emulators/unit_json/unit_emulator.h"
#include "platform/line_sink.h"
#include "platform/stop_requests.h"

namespace po = boost::program_options;
using namespace halvex::emulators::unit_json;

namespace {

void printLine(const std::string& line) { halvex::platform::printOut(line); }
void printError(const std::string& line) { halvex::platform::printErr(line); }

std::string optionsText(const po::options_description& options) {
    std::ostringstream text;
    text << options;
    return text.str();
}

std::string summaryLine(const UnitStats& now, const UnitStats& before, long second) {
    auto delta = [&](const std::string& type) {
        const auto a = now.messages.find(type);
        const auto b = before.messages.find(type);
        return (a == now.messages.end() ? 0 : a->second) - (b == before.messages.end() ? 0 : b->second);
    };
    std::string line = "UNIT> " + std::to_string(second) + " s: VitalsData " +
                       std::to_string(delta("VitalsData")) + "/s, WaveformData " +
                       std::to_string(delta("WaveformData")) + "/s, hr " + vitalOrDash(now, "hr") +
                       ", bp " + vitalOrDash(now, "sbp") + '/' + vitalOrDash(now, "dbp") + " (" +
                       vitalOrDash(now, "mbp") + "), spo2 " + vitalOrDash(now, "spO2") + ", rr " +
                       vitalOrDash(now, "rr") + ", samples/s";
    for (const auto& w : now.waves) {
        const auto b = before.waves.find(w.first);
        const std::uint64_t prev = b == before.waves.end() ? 0 : b->second.samples;
        line += ' ' + w.first + ' ' + std::to_string(w.second.samples - prev);
    }
    if (now.lengthErrors != before.lengthErrors) {
        line += ", length errors " + std::to_string(now.lengthErrors - before.lengthErrors);
    }
    return line;
}

} // namespace

int main(int argc, char** argv) {
    std::string address;
    unsigned short port = kDefaultUnitPort;
    long seconds = 0;
    std::string reportFile;
    po::options_description options("unit-emulator-json: a stand-in JSON unit on a loopback address");
    options.add_options()
        ("help,h", "print this help")
        ("address", po::value<std::string>(&address)->default_value("127.0.0.1"),
         "address to listen on, inside 127.0.0.0/8")
        ("port", po::value<unsigned short>(&port)->default_value(kDefaultUnitPort),
         "TCP port to listen on (0: any free port)")
        ("summary", "print a one-line summary every second instead of a line per message")
        ("seconds", po::value<long>(&seconds)->default_value(0),
         "exit after this many seconds (0: run until SIGINT or SIGTERM)")
        ("report", po::value<std::string>(&reportFile), "also write the final report to this file")
        ("stall-reading", "accept connections and never read from them: the bridge's writes fill the "
                          "socket buffers until they block (a unit that stopped reading)")
        ("wifi-fails", "WifiCredentials do not join the network: NetworkStatusData reports no connection");
    halvex::emulators::monitor::LabOutputs lab;
    lab.addOptions(options);
    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, options), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        printError(std::string("unit-emulator-json: ") + e.what() + '\n' + optionsText(options));
        return 1;
    }
    if (vm.count("help")) {
        printLine(optionsText(options));
        return 0;
    }
    if (!isLoopbackAddress(address)) {
        printError("unit-emulator-json: refusing to listen on '" + address +
                   "': only loopback addresses (127.0.0.0/8) are allowed");
        return 1;
    }
    if (seconds < 0) {
        printError("unit-emulator-json: --seconds must not be negative");
        return 1;
    }
    const bool summary = vm.count("summary") > 0;
    std::string labError;
    if (!lab.open(halvex::emulators::monitor::jsonUnitChannels(), "JSON unit", labError)) {
        printError("unit-emulator-json: " + labError);
        return 1;
    }

    // Before any thread starts: stop requests go to the loop below alone.
    halvex::platform::StopRequests stop;

    UnitEmulator unit(address, port);
    if (vm.count("stall-reading")) {
        unit.setNeverRead(true);
    }
    if (vm.count("wifi-fails")) {
        unit.setWifiJoins(false);
    }
    unit.setListener([&lab, summary](const ReceivedFrame& frame, const std::string& line) {
        if (!summary) printLine("UNIT> " + line);
        lab.received(frame.values);
    });
    try {
        unit.start();
    } catch (const std::exception& e) {
        printError("unit-emulator-json: cannot listen on " + address + ':' + std::to_string(port) + ": " +
                   e.what());
        return 1;
    }
    printLine("unit-emulator-json listening on " + address + ':' + std::to_string(unit.port()));
    if (!lab.monitorUrl().empty()) printLine("unit-emulator-json monitor on " + lab.monitorUrl());

    const auto startedAt = std::chrono::steady_clock::now();
    const auto deadline = startedAt + std::chrono::seconds(seconds);
    UnitStats before = unit.snapshot();
    long tick = 0;
    for (;;) {
        std::chrono::milliseconds wait = std::chrono::seconds(1);
        if (seconds > 0) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) break;
            if (left < wait) wait = std::chrono::ceil<std::chrono::milliseconds>(left);
        }
        const bool stopped = stop.waitFor(wait);
        if (stopped) {
            printLine(std::string("unit-emulator-json: ") + stop.reason() + ", stopping");
            break;
        }
        if (seconds > 0 && std::chrono::steady_clock::now() >= deadline) break;
        if (summary) {
            const UnitStats now = unit.snapshot();
            printLine(summaryLine(now, before, ++tick));
            before = now;
        }
    }
    unit.stop();
    const bool recorded = lab.finish(labError);

    const std::string report = formatReport(unit.snapshot());
    // The report's lines end with a line end; the sink adds the last one.
    printLine(report.empty() || report.back() != '\n' ? report : report.substr(0, report.size() - 1));
    if (!reportFile.empty()) {
        std::ofstream f(reportFile, std::ios::trunc);
        f << report;
        f.flush();
        if (!f) {
            printError("unit-emulator-json: cannot write the report to " + reportFile);
            return 1;
        }
    }
    if (!recorded) {
        printError("unit-emulator-json: --record: " + labError);
        return 1;
    }
    return 0;
}
