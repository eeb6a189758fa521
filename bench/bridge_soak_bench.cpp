// bridge-soak-bench: either program for a long run between in-process stand-ins at N
// times the real-time patient load, with the simulator and the unit dropping the
// connection every K seconds on request. It prints what the bridge holds (resident
// memory, open descriptors, threads) after the warm-up and at the end, the updates
// sent and handled, and whether a backlog grew: the bytes the bridge left unread on
// its APP socket and (JSON) unsent on its unit socket, sampled once a second.

#include <boost/program_options.hpp>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/command_line.h"
#include "emulators/sim_server/patient.h"
#include "emulators/sim_server/sim_server_emulator.h"
#include "emulators/unit_json/unit_emulator.h"
#include "emulators/unit_v22/unit_emulator.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace po = boost::program_options;
using bench::Clock;
using namespace std::chrono_literals;

namespace {

constexpr const char* kProgram = "bridge-soak-bench";
constexpr std::uint16_t kSimPort = 55580;
constexpr std::uint16_t kAppPort = 55557;
constexpr std::uint16_t kJsonUnitPort = 14997;
constexpr auto kStartDeadline = 60s;
// After the warm-up the first figures are taken; the last drop comes this long before
// the end, so the end figures are taken on a settled bridge.
constexpr auto kWarmUp = 10s;
constexpr auto kSettle = 10s;
// A queue that ends more than this above where it started has grown.
constexpr long kBacklogSlack = 64 * 1024;
const std::string kSerial = "HX22-SOAK";

int fail(const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
    return 1;
}

std::size_t entriesOf(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return 0;
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

// What the bridge holds, as the kernel counts it.
struct Holdings {
    long residentKiB = -1;
    std::size_t descriptors = 0;
    std::size_t threads = 0;
};

Holdings holdingsOf(pid_t pid) {
    Holdings h;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) h.residentKiB = std::stol(line.substr(6));
    h.descriptors = entriesOf(proc + "/fd");
    h.threads = entriesOf(proc + "/task");
    return h;
}

// The queues of the TCP sockets of this network namespace whose remote port is
// `port`: those are the bridge's ends (the stand-ins' ends have it as local port).
// The largest send and receive queue among them, in bytes.
struct Queues {
    long send = 0;
    long receive = 0;
};

Queues queuesTowards(std::uint16_t port) {
    Queues q;
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);  // header
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const auto colon = remote.find(':');
        const auto split = queues.find(':');
        if (colon == std::string::npos || split == std::string::npos) continue;
        if (std::stoul(remote.substr(colon + 1), nullptr, 16) != port) continue;
        q.send = std::max(q.send, std::stol(queues.substr(0, split), nullptr, 16));
        q.receive = std::max(q.receive, std::stol(queues.substr(split + 1), nullptr, 16));
    }
    return q;
}

std::string mib(long kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f MiB", static_cast<double>(kib) / 1024.0);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::string edition = "json";
    double rate = 10, minutes = 1, seconds = 0, dropEvery = 0;
    po::options_description options("Options");
    options.add_options()
        ("help,h", "show this help")
        ("edition", po::value(&edition)->default_value(edition), "json or v22")
        ("rate", po::value(&rate)->default_value(rate), "times the real-time load (batches per 60 ms), 1..1000")
        ("minutes", po::value(&minutes)->default_value(minutes), "length of the run after the warm-up")
        ("seconds", po::value(&seconds), "length in seconds instead (short runs)")
        ("drop-every", po::value(&dropEvery)->default_value(dropEvery),
         "the simulator and the unit drop the connection every K seconds (0: never)");
    po::variables_map vm;
    if (const auto status = bench::parseCommandLine(argc, argv, options, kProgram, vm)) return *status;
    const bool json = edition == "json";
    if (!json && edition != "v22") return fail("--edition must be json or v22");
    if (!(rate >= 1 && rate <= 1000)) return fail("--rate must be 1..1000");
    const double runSeconds = vm.count("seconds") ? seconds : minutes * 60;
    if (!(runSeconds >= 30 && runSeconds <= 86400)) return fail("the run must last 30 s to 24 h");
    if (!(dropEvery == 0 || dropEvery >= 5)) return fail("--drop-every must be 0 or at least 5 s");
    const int batchesPerTick = static_cast<int>(std::lround(rate));

    // The v2.2 edition looks for the simulator on 127.0.0.1; the JSON one is told.
    const halvex::test::Loopback net(halvex::test::LoopbackBlock::BenchSoak);
    const std::string simAddress = json ? net.host(0) : "127.0.0.1";
    const std::string unitAddress = json ? net.host(1) : net.host(2);
    std::unique_ptr<halvex::emulators::unit_json::UnitEmulator> jsonUnit;
    std::unique_ptr<halvex::emulators::unit_v22::UnitEmulator> v22Unit;
    try {
        if (json) {
            jsonUnit = std::make_unique<halvex::emulators::unit_json::UnitEmulator>(unitAddress, kJsonUnitPort);
            jsonUnit->start();
        } else {
            halvex::emulators::unit_v22::UnitEmulator::Options unitOptions;
            unitOptions.address = unitAddress;
            unitOptions.serialId = kSerial;
            v22Unit = std::make_unique<halvex::emulators::unit_v22::UnitEmulator>(unitOptions);
            v22Unit->start();
        }
    } catch (const std::exception& e) {
        return fail(std::string("unit stand-in: ") + e.what());
    }
    // WaveformData messages the JSON unit received.
    auto unitWaveforms = [&]() -> std::uint64_t {
        if (!json) return 0;
        const auto stats = jsonUnit->snapshot();
        const auto it = stats.messages.find("WaveformData");
        return it == stats.messages.end() ? 0 : it->second;
    };
    // Arterial samples the unit received (resampled by 3/5 in both editions).
    auto unitAbpSamples = [&]() -> std::uint64_t {
        if (json) {
            const auto stats = jsonUnit->snapshot();
            const auto it = stats.waves.find("abp");
            return it == stats.waves.end() ? 0 : it->second.samples;
        }
        const auto stats = v22Unit->snapshot();
        const auto it = stats.waves.find("ABP");
        return it == stats.waves.end() ? 0 : it->second.samples;
    };

    halvex::emulators::sim_server::SimServerEmulator::Options o;
    o.address = simAddress;
    o.simPort = kSimPort;
    o.appPort = kAppPort;
    o.parameters = halvex::emulators::sim_server::standardPatientParameters();
    halvex::emulators::sim_server::SimServerEmulator server(o);
    std::string error;
    if (!server.start(&error)) return fail("simulator stand-in: " + error);

    halvex::test::TempDir dir;
    dir.write("settings.xml",
              "<Halvex><SPO2Scale>5</SPO2Scale><SerialID>" + kSerial + "</SerialID><IPAddress>" + unitAddress +
                  "</IPAddress><SPO2Calibration><Entry key=\"90\" value=\"600\"/></SPO2Calibration>"
                  "<CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration><IPRangeStart/><IPRangeEnd/>"
                  "<SimulatorIP>" + simAddress + "</SimulatorIP><RHMIP>" + simAddress + "</RHMIP></Halvex>");
    const std::string bridge =
        std::string(HALVEX_BIN_DIR) + (json ? "/halvex-relay-json" : "/halvex-relay-v22");
    halvex::test::ChildProcess child({bridge, "-f", dir.file("settings.xml")}, dir.path());

    // The feed: `batchesPerTick` APP updates of 5 samples of each waveform every 60 ms,
    // the numerics once a second.
    halvex::emulators::sim_server::WaveformGenerator waves;
    std::uint64_t updatesSent = 0, arterialSent = 0;
    auto nextTick = Clock::now();
    auto nextNumerics = nextTick;
    const std::vector<std::string> numerics{"HRPM", "RRPM", "SAO2", "EXT_SABP", "EXT_DABP", "EXT_MAP", "ETCO2"};
    auto feedUntil = [&](Clock::time_point until, const std::function<bool()>& done) {
        while (Clock::now() < until && !(done && done())) {
            const auto now = Clock::now();
            if (now >= nextNumerics) {
                std::vector<std::pair<std::string, double>> values;
                for (const std::string& id : numerics)
                    if (const auto v = server.value(id)) values.emplace_back(id, *v);
                server.setValues(values);
                nextNumerics += 1s;
            }
            if (now >= nextTick) {
                for (int n = 0; n < batchesPerTick; ++n) {
                    const auto batch = waves.nextBatch(server);
                    for (const auto& entry : batch) arterialSent += entry.first == "ARTLINE";
                    server.setValues(batch);
                    ++updatesSent;
                }
                nextTick += bench::PatientFeed::kBatchInterval;
                if (nextTick < now) nextTick = now + bench::PatientFeed::kBatchInterval;  // fell behind
            }
            std::this_thread::sleep_until(std::min({nextTick, nextNumerics, until}));
        }
    };

    auto streaming = [&] { return unitAbpSamples() > 100; };
    feedUntil(Clock::now() + kStartDeadline, streaming);
    if (!streaming()) {
        child.kill(SIGTERM);
        child.wait(10s);
        return fail("the bridge did not stream\nbridge stdout:\n" + child.out() + "\nbridge stderr:\n" + child.err());
    }
    feedUntil(Clock::now() + kWarmUp, nullptr);

    const Holdings first = holdingsOf(child.pid());
    const auto cpuBefore = bench::cpuSeconds(child.pid());
    const std::uint64_t sentBefore = arterialSent, updatesBefore = updatesSent, handledBefore = unitAbpSamples();
    const std::uint64_t waveformsBefore = unitWaveforms();
    const auto begin = Clock::now();
    const auto end = begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(runSeconds));
    const auto lastDrop = end - kSettle;
    const auto dropPeriod = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(dropEvery));

    // Once a second: the queues, and the drops when they are due.
    std::vector<Queues> appQueues, unitQueues;
    int simulatorDrops = 0, unitDrops = 0;
    auto nextSample = begin + 1s;
    auto nextSimDrop = begin + dropPeriod;
    auto nextUnitDrop = begin + dropPeriod + dropPeriod / 2;  // apart from the simulator's
    while (Clock::now() < end) {
        feedUntil(std::min(nextSample, end), nullptr);
        const auto now = Clock::now();
        appQueues.push_back(queuesTowards(kAppPort));
        if (json) unitQueues.push_back(queuesTowards(kJsonUnitPort));
        nextSample += 1s;
        if (dropEvery > 0 && now >= nextSimDrop && now < lastDrop) {
            server.dropConnections();
            ++simulatorDrops;
            nextSimDrop += dropPeriod;
        }
        if (dropEvery > 0 && now >= nextUnitDrop && now < lastDrop) {
            // The JSON unit closes its connection; the v2.2 unit forgets the bridge (as
            // after a power cycle) and must be associated again.
            if (json) jsonUnit->closeConnection();
            else v22Unit->restart();
            ++unitDrops;
            nextUnitDrop += dropPeriod;
        }
    }
    const auto wallEnd = Clock::now();
    const Holdings last = holdingsOf(child.pid());
    const auto cpuAfter = bench::cpuSeconds(child.pid());
    const std::uint64_t sent = arterialSent - sentBefore, updates = updatesSent - updatesBefore;
    // What is still in flight at the end arrives within a send cycle or two.
    std::this_thread::sleep_for(500ms);
    const std::uint64_t handled = unitAbpSamples() - handledBefore;
    const std::uint64_t waveforms = unitWaveforms() - waveformsBefore;

    const auto stopSent = Clock::now();
    child.kill(SIGTERM);
    const int status = child.wait(20s);
    const double stopMs = bench::ms(Clock::now() - stopSent);
    server.stop();

    // A queue grew when the largest value of the last fifth of the run passes the
    // largest of the first fifth by more than the slack.
    auto grew = [](const std::vector<Queues>& samples, long Queues::*field, long& early, long& late) {
        early = late = 0;
        const std::size_t fifth = std::max<std::size_t>(1, samples.size() / 5);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            if (i < fifth) early = std::max(early, samples[i].*field);
            if (i >= samples.size() - fifth) late = std::max(late, samples[i].*field);
        }
        return late > early + kBacklogSlack;
    };
    long appEarly, appLate, unitEarly = 0, unitLate = 0;
    const bool appGrew = grew(appQueues, &Queues::receive, appEarly, appLate);
    const bool unitGrew = json && grew(unitQueues, &Queues::send, unitEarly, unitLate);
    long appMax = 0, unitMax = 0;
    for (const Queues& q : appQueues) appMax = std::max(appMax, q.receive);
    for (const Queues& q : unitQueues) unitMax = std::max(unitMax, q.send);

    const double wall = std::chrono::duration<double>(wallEnd - begin).count();
    std::printf("%s: halvex-relay-%s for %.1f min at %dx the real-time load", kProgram, edition.c_str(), wall / 60,
                batchesPerTick);
    if (dropEvery > 0)
        std::printf(", the simulator and the unit dropping the connection every %.0f s (%d and %d drops)",
                    dropEvery, simulatorDrops, unitDrops);
    std::printf("\n");
    std::printf("bridge holds     after warm-up     at the end\n");
    std::printf("  resident       %-17s %s (%+ld KiB)\n", mib(first.residentKiB).c_str(), mib(last.residentKiB).c_str(),
                last.residentKiB - first.residentKiB);
    std::printf("  descriptors    %-17zu %zu\n", first.descriptors, last.descriptors);
    std::printf("  threads        %-17zu %zu\n", first.threads, last.threads);
    if (cpuBefore && cpuAfter)
        std::printf("bridge CPU: %.1f%% of one core\n", 100.0 * (*cpuAfter - *cpuBefore) / wall);
    std::printf("updates sent: %llu APP updates (%.0f per second), %llu arterial samples\n",
                static_cast<unsigned long long>(updates), static_cast<double>(updates) / wall,
                static_cast<unsigned long long>(sent));
    // Every update the bridge read was handled in its batch; what it did not read is the
    // backlog below.
    if (json)
        std::printf("handled: the unit received %llu WaveformData (%.1f per second; one per 60 ms slot at most, "
                    "each carrying the samples pending then) with %llu arterial samples\n",
                    static_cast<unsigned long long>(waveforms), static_cast<double>(waveforms) / wall,
                    static_cast<unsigned long long>(handled));
    else
        std::printf("handled: %llu arterial samples reached the unit, %.1f%% of the %llu expected after resampling "
                    "by 3/5 (what is sent while a peer is away is lost)\n",
                    static_cast<unsigned long long>(handled),
                    sent ? 100.0 * static_cast<double>(handled) / (static_cast<double>(sent) * 3 / 5) : 0.0,
                    static_cast<unsigned long long>(sent * 3 / 5));
    std::printf("backlog, bytes left unread by the bridge on its APP socket: max %ld, first fifth max %ld, last "
                "fifth max %ld: %s\n",
                appMax, appEarly, appLate, appGrew ? "GREW" : "did not grow");
    if (json)
        std::printf("backlog, bytes unsent on the bridge's unit socket: max %ld, first fifth max %ld, last fifth max "
                    "%ld: %s\n",
                    unitMax, unitEarly, unitLate, unitGrew ? "GREW" : "did not grow");
    const std::string howEnded = status == -1 ? "no end within 20 s" : "status " + std::to_string(status);
    std::printf("stop: SIGTERM -> %s in %.0f ms\n", howEnded.c_str(), stopMs);
    return 0;
}
