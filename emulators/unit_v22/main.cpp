// unit-emulator-v22: the stand-in Halvex v2.2 unit as a program, for the demo and for
// trying the bridge by hand. Loopback only.

#include <boost/program_options.hpp>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "emulators/monitor/lab_outputs.h"
#include "emulators/unit_v22/report.h"
#include "emulators/unit_v22/unit_emulator.h"
#include "platform/stop_requests.h"

namespace po = boost::program_options;
using namespace halvex::emulators::unit_v22;

namespace {

constexpr const char* kProgram = "unit-emulator-v22";

void printLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    UnitEmulator::Options unitOptions;
    long seconds = 0;
    long answerDelayMs = 0;
    std::string reportFile;
    std::string identitySerial;
    po::options_description options("unit-emulator-v22: a stand-in Halvex v2.2 unit on a loopback address");
    options.add_options()
        ("help,h", "print this help")
        ("address", po::value<std::string>(&unitOptions.address)->default_value(unitOptions.address),
         "the unit's address, inside 127.0.0.0/8 but not 127.0.0.1 (where the bridge gets replies)")
        ("port", po::value<unsigned short>(&unitOptions.port)->default_value(kDefaultUnitPort), "UDP port")
        ("serial", po::value<std::string>(&unitOptions.serialId)->default_value(kDefaultSerialId),
         "the unit's serial id")
        ("also-listen", po::value<std::vector<std::string>>(&unitOptions.alsoListenOn)->composing(),
         "one more loopback address to receive on, e.g. a broadcast address (may be repeated)")
        ("summary", "print a one-line summary every second instead of a line per datagram")
        ("seconds", po::value<long>(&seconds)->default_value(0),
         "exit after this many seconds (0: run until SIGINT or SIGTERM)")
        ("report", po::value<std::string>(&reportFile), "also write the final report to this file")
        ("answer-delay", po::value<long>(&answerDelayMs)->default_value(0), "answer every request this many ms late")
        ("split-replies", "send every reply in two datagrams")
        ("identity-serial", po::value<std::string>(&identitySerial),
         "answer the identification request with this serial id instead of its own")
        ("refuse-assoc", "refuse every association request")
        ("silent", "receive nothing and answer nothing");
    halvex::emulators::monitor::LabOutputs lab;
    lab.addOptions(options);
    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, options), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        std::cerr << kProgram << ": " << e.what() << '\n' << options << std::endl;
        return 1;
    }
    if (vm.count("help")) {
        std::cout << options << std::endl;
        return 0;
    }
    if (seconds < 0 || answerDelayMs < 0) {
        std::cerr << kProgram << ": --seconds and --answer-delay must not be negative" << std::endl;
        return 1;
    }
    const bool summary = vm.count("summary") > 0;
    std::string labError;
    if (!lab.open(halvex::emulators::monitor::v22UnitChannels(), "Halvex v2.2 unit", labError)) {
        std::cerr << kProgram << ": " << labError << std::endl;
        return 1;
    }

    // Before any thread starts: stop requests go to the loop below alone.
    halvex::platform::StopRequests stop;

    std::unique_ptr<UnitEmulator> unit;
    try {
        unit = std::make_unique<UnitEmulator>(unitOptions);
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": refusing to listen: " << e.what() << std::endl;
        return 1;
    }
    unit->setAnswerDelay(std::chrono::milliseconds(answerDelayMs));
    unit->setSplitReplies(vm.count("split-replies") > 0);
    unit->setRefuseAssociation(vm.count("refuse-assoc") > 0);
    unit->setSilent(vm.count("silent") > 0);
    if (vm.count("identity-serial"))
        unit->setIdentitySerial(identitySerial);
    unit->setListener([&lab, summary](const ReceivedDatagram& datagram, const std::string& line) {
        if (!summary)
            printLine("UNIT> " + line);
        lab.received(datagram.values);
    });
    try {
        unit->start();
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": cannot listen on " << unitOptions.address << ':' << unitOptions.port << ": "
                  << e.what() << std::endl;
        return 1;
    }
    std::string listening = unitOptions.address;
    for (const std::string& also : unitOptions.alsoListenOn)
        listening += ", " + also;
    printLine(std::string(kProgram) + " (serial " + unitOptions.serialId + ") listening on " + listening + " port " +
              std::to_string(unitOptions.port));
    if (!lab.monitorUrl().empty())
        printLine(std::string(kProgram) + " monitor on " + lab.monitorUrl());

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    UnitStats before = unit->snapshot();
    long tick = 0;
    for (;;) {
        std::chrono::milliseconds wait = std::chrono::seconds(1);
        if (seconds > 0) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero())
                break;
            if (left < wait)
                wait = std::chrono::ceil<std::chrono::milliseconds>(left);
        }
        const bool stopped = stop.waitFor(wait);
        if (stopped) {
            printLine(std::string(kProgram) + ": " + stop.reason() + ", stopping");
            break;
        }
        if (seconds > 0 && std::chrono::steady_clock::now() >= deadline)
            break;
        if (summary) {
            const UnitStats now = unit->snapshot();
            printLine(summaryLine(now, before, ++tick));
            before = now;
        }
    }
    unit->stop();
    const bool recorded = lab.finish(labError);

    const std::string report = formatReport(unit->snapshot());
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);
    if (!reportFile.empty()) {
        std::ofstream f(reportFile, std::ios::trunc);
        f << report;
        f.flush();
        if (!f) {
            std::cerr << kProgram << ": cannot write the report to " << reportFile << std::endl;
            return 1;
        }
    }
    if (!recorded) {
        std::cerr << kProgram << ": --record: " << labError << std::endl;
        return 1;
    }
    return 0;
}
