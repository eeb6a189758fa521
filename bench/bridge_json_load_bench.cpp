// bridge-json-load-bench: runs the real halvex-relay-json between an in-process
// simulator-server stand-in streaming a full patient (five waveforms sampled every
// 12 ms, sent as one batch every 60 ms, plus numerics once a second) and an
// in-process JSON unit stand-in, and reports the bridge's CPU use, the latency of a
// completed send cycle from simulator to unit, and how regularly the unit is fed.
//
// It reports figures only: it exits 0 whenever the run itself worked, whatever the
// figures are, and non-zero only when the bridge could not be run or never streamed.
//
// Latency method: batch n carries ARTLINE samples that all equal 50 + n % 200, so
// every abp value the bridge derives from that batch equals the same tag (the bridge
// rounds and interpolates within a batch, and the tag survives both). The last abp
// value of a WaveformData frame therefore names the batch that completed its send
// cycle; the latency is the frame's arrival at the unit minus the moment just before
// that batch was handed to the simulator stand-in (the most recent batch with that
// tag sent before the arrival). The tag repeats every 12 s, far beyond any latency
// worth measuring.
//
// The bridge sends on its own 60 ms slot clock, not when a cycle fills, so the latency
// is mostly the phase between the simulator's batch clock and the bridge's slot clock
// (fixed for a run, set by when each started), plus a whole slot whenever a batch lands
// just after a slot boundary. Runs therefore differ in p50; the printout gives the
// phase and the count of such missed slots.

#include <boost/program_options.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "emulators/sim_server/patient.h"
#include "emulators/sim_server/sim_server_emulator.h"
#include "emulators/unit_json/unit_emulator.h"
#include "bench/bench_support.h"
#include "bench/command_line.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace po = boost::program_options;
namespace pt = boost::property_tree;
using bench::Clock;
using bench::cpuSeconds;
using bench::ms;
using bench::percentile;
using namespace std::chrono_literals;

namespace {

constexpr const char* kProgram = "bridge-json-load-bench";
// The bridge's ports are fixed; own loopback addresses keep this run apart from
// tests and demos on 127.0.0.1.
constexpr std::uint16_t kSimPort = 55580;
constexpr std::uint16_t kAppPort = 55557;
constexpr double kSlotMs = 60.0;
constexpr double kToleranceMs = 2.0;
constexpr auto kStartDeadline = 60s;

struct Arrival {
    Clock::time_point at;
    bool waveform = false;  // WaveformData, else VitalsData
    std::optional<long> lastAbp;  // WaveformData: its last abp value, the batch tag
};

// The last abp value of a WaveformData text; nothing when it carries none.
std::optional<long> lastAbp(const std::string& json) {
    try {
        pt::ptree tree;
        std::istringstream in(json);
        pt::read_json(in, tree);
        const auto abp = tree.get_child_optional("Message.abp");
        if (!abp) return std::nullopt;
        std::string last;
        if (abp->empty()) {
            // A comma-separated text rather than an array.
            const std::string text = abp->data();
            const auto comma = text.rfind(',');
            last = comma == std::string::npos ? text : text.substr(comma + 1);
        } else {
            last = abp->back().second.data();
        }
        if (last.empty()) return std::nullopt;
        std::size_t used = 0;
        const double v = std::stod(last, &used);
        if (used != last.size()) return std::nullopt;
        return std::lround(v);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void printGaps(const char* what, const std::vector<Clock::time_point>& arrivals) {
    std::vector<double> gaps, deviations;
    std::size_t nearSlot = 0, oneSlot = 0;
    std::vector<std::size_t> bySlots(6, 0);  // 0..4 slots, then "5 or more"
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        const double g = ms(arrivals[i] - arrivals[i - 1]);
        const double slots = std::round(g / kSlotMs);
        const double deviation = std::abs(g - slots * kSlotMs);
        gaps.push_back(g);
        deviations.push_back(deviation);
        if (deviation <= kToleranceMs) ++nearSlot;
        if (std::abs(g - kSlotMs) <= kToleranceMs) ++oneSlot;
        ++bySlots[std::min<std::size_t>(5, static_cast<std::size_t>(slots))];
    }
    std::printf("%s arrivals: %zu, gaps: %zu\n", what, arrivals.size(), gaps.size());
    if (gaps.empty()) return;
    const double n = static_cast<double>(gaps.size());
    std::printf("  gap p50 %.2f ms (%.2f slots), p99 %.2f ms (%.2f slots), min %.2f, max %.2f\n",
                percentile(gaps, 50), percentile(gaps, 50) / kSlotMs, percentile(gaps, 99),
                percentile(gaps, 99) / kSlotMs, *std::min_element(gaps.begin(), gaps.end()),
                *std::max_element(gaps.begin(), gaps.end()));
    std::printf("  gaps by nearest slot multiple: 0: %zu, 1: %zu, 2: %zu, 3: %zu, 4: %zu, 5+: %zu\n", bySlots[0],
                bySlots[1], bySlots[2], bySlots[3], bySlots[4], bySlots[5]);
    std::printf("  deviation from the nearest slot multiple: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                percentile(deviations, 50), percentile(deviations, 99),
                *std::max_element(deviations.begin(), deviations.end()));
    std::printf("  within +-%.0f ms of a slot multiple: %.1f%%; within 60 +-%.0f ms: %.1f%%\n", kToleranceMs,
                100.0 * static_cast<double>(nearSlot) / n, kToleranceMs, 100.0 * static_cast<double>(oneSlot) / n);
}

int fail(const std::string& why) {
    std::cerr << kProgram << ": " << why << std::endl;
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 30;
    std::string bridge = std::string(HALVEX_BIN_DIR) + "/halvex-relay-json";
    const halvex::test::Loopback net(halvex::test::LoopbackBlock::BenchJsonLoad);
    std::string unitAddress = net.host(0), simAddress = net.host(1);
    po::options_description options("Options");
    options.add_options()
        ("help,h", "show this help")
        ("seconds", po::value(&seconds)->default_value(seconds), "length of the measured run")
        ("bridge", po::value(&bridge)->default_value(bridge), "path of halvex-relay-json")
        ("unit-address", po::value(&unitAddress)->default_value(unitAddress), "unit stand-in address (127.0.0.0/8)")
        ("sim-address", po::value(&simAddress)->default_value(simAddress), "simulator stand-in address (127.0.0.0/8)");
    po::variables_map vm;
    if (const auto status = bench::parseCommandLine(argc, argv, options, kProgram, vm)) return *status;
    if (!(std::isfinite(seconds) && seconds >= 1 && seconds <= 86400)) return fail("--seconds must be 1..86400");
    if (!halvex::emulators::unit_json::isLoopbackAddress(unitAddress) ||
        !halvex::emulators::unit_json::isLoopbackAddress(simAddress))
        return fail("addresses must be in 127.0.0.0/8");
    if (access(bridge.c_str(), X_OK) != 0) return fail("cannot run " + bridge);

    // Filled on the unit's I/O thread; main reads the counts during the warm-up and the
    // rest after the unit stopped. Only the tag is kept, so a long run stays small.
    std::mutex arrivalsLock;
    std::vector<Arrival> arrivals;
    std::size_t waveformsSeen = 0, vitalsSeen = 0;

    std::unique_ptr<halvex::emulators::unit_json::UnitEmulator> unit;
    try {
        unit = std::make_unique<halvex::emulators::unit_json::UnitEmulator>(unitAddress);
        unit->setListener([&](const halvex::emulators::unit_json::ReceivedFrame& f, const std::string&) {
            const bool waveform = f.messageType == "WaveformData";
            if (!waveform && f.messageType != "VitalsData") return;
            std::lock_guard<std::mutex> g(arrivalsLock);
            arrivals.push_back(Arrival{f.at, waveform, waveform ? lastAbp(f.frame.json) : std::nullopt});
            ++(waveform ? waveformsSeen : vitalsSeen);
        });
        unit->start();
    } catch (const std::exception& e) {
        return fail(std::string("unit stand-in: ") + e.what());
    }

    halvex::emulators::sim_server::SimServerEmulator::Options o;
    o.address = simAddress;
    o.simPort = kSimPort;
    o.appPort = kAppPort;
    o.parameters = halvex::emulators::sim_server::standardPatientParameters();
    halvex::emulators::sim_server::SimServerEmulator server(o);
    std::string error;
    if (!server.start(&error)) return fail("simulator stand-in: " + error);

    // Numerics re-sent once a second with their current values, as a running
    // simulation refreshes them.
    const std::vector<std::string> numerics{"HRPM", "RRPM", "SAO2", "EXT_SABP", "EXT_DABP", "EXT_MAP",
                                            "SPA",  "DPA",  "ETCO2", "BODY_TEMP", "bloodTemp"};

    halvex::test::TempDir dir;
    dir.write("settings.xml",
              "<Halvex><SPO2Scale>5</SPO2Scale><SerialID>HX0001</SerialID><IPAddress>" + unitAddress +
                  "</IPAddress><SPO2Calibration><Entry key=\"90\" value=\"600\"/></SPO2Calibration>"
                  "<CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration>"
                  "<IPRangeStart/><IPRangeEnd/><SimulatorIP>" + simAddress + "</SimulatorIP><RHMIP>" + simAddress +
                  "</RHMIP></Halvex>");
    halvex::test::ChildProcess child({bridge, "-f", dir.file("settings.xml")}, dir.path());

    bench::PatientFeed feed(server, numerics);
    auto stream = [&](Clock::time_point until, const std::function<bool()>& done) { feed.run(until, done); };

    // Warm-up: the bridge connects to both peers and streams steadily.
    auto streaming = [&] {
        std::lock_guard<std::mutex> g(arrivalsLock);
        return waveformsSeen >= 10 && vitalsSeen >= 2;
    };
    stream(Clock::now() + kStartDeadline, streaming);
    if (!streaming()) {
        child.kill(SIGTERM);
        child.wait(10s);
        return fail("the bridge did not stream within " + std::to_string(kStartDeadline.count()) +
                    " s\nbridge stdout:\n" + child.out() + "\nbridge stderr:\n" + child.err());
    }

    const auto cpuBefore = cpuSeconds(child.pid());
    bench::TimerFloor floor;  // measured during the same run
    const auto begin = Clock::now();
    stream(begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)), nullptr);
    const auto end = Clock::now();
    const std::string floorFigures = floor.summary();
    const auto cpuAfter = cpuSeconds(child.pid());

    child.kill(SIGTERM);
    const int status = child.wait(20s);
    const std::string howEnded = status == 0    ? "stopped by SIGTERM (status 0)"
                                 : status == -1 ? "did not end within 20 s (killed)"
                                                : "ended with status " + std::to_string(status);
    server.stop();
    const auto stats = unit->snapshot();
    unit->stop();

    const double wall = std::chrono::duration<double>(end - begin).count();
    std::vector<double> latencies;
    std::vector<Clock::time_point> waveArrivals, vitalsArrivals;
    std::size_t unmatched = 0;
    for (const Arrival& a : arrivals) {
        if (a.at < begin || a.at > end) continue;
        if (!a.waveform) {
            vitalsArrivals.push_back(a.at);
            continue;
        }
        waveArrivals.push_back(a.at);
        const auto& abp = a.lastAbp;
        const std::optional<Clock::time_point> sent = abp ? feed.sentBefore(*abp, a.at) : std::nullopt;
        if (!sent) {
            ++unmatched;
            continue;
        }
        latencies.push_back(ms(a.at - *sent));
    }

    std::printf("%s: halvex-relay-json at a full patient load for %.1f s\n", kProgram, wall);
    std::printf("load: one batch of 5 samples x 5 waveforms every 60 ms (12 ms sampling), numerics every 1 s; "
                "%zu batches sent in all\n",
                feed.batches());
    if (cpuBefore && cpuAfter)
        std::printf("bridge CPU: %.3f s user+system over %.1f s = %.3f%% of one core (counted in %.0f ms ticks)\n",
                    *cpuAfter - *cpuBefore, wall, 100.0 * (*cpuAfter - *cpuBefore) / wall,
                    1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK)));
    else
        std::printf("bridge CPU: unreadable (/proc/%d/stat)\n", static_cast<int>(child.pid()));
    std::printf("latency, simulator send of the batch that completes a send cycle -> unit receipt of the "
                "WaveformData carrying it (batch named by its ARTLINE tag): %zu matched, %zu unmatched\n",
                latencies.size(), unmatched);
    if (!latencies.empty()) {
        std::printf("  p50 %.2f ms, p99 %.2f ms, min %.2f ms, max %.2f ms (aim: p99 <= %.0f ms)\n",
                    percentile(latencies, 50), percentile(latencies, 99),
                    *std::min_element(latencies.begin(), latencies.end()),
                    *std::max_element(latencies.begin(), latencies.end()), kSlotMs + kToleranceMs);
        const auto missed = std::count_if(latencies.begin(), latencies.end(),
                                          [](double l) { return l > kSlotMs / 2; });
        std::printf("  the bridge sends on its own 60 ms slots: this run's phase between the batch clock and the "
                    "slot clock is about %.1f ms (the p50); %ld cycles waited a further slot (latency > %.0f ms)\n",
                    std::fmod(percentile(latencies, 50), kSlotMs), static_cast<long>(missed), kSlotMs / 2);
    }
    std::printf("streaming intervals, in 60 ms slots (a WaveformData goes out when a send cycle fills, "
                "every second batch at this load):\n");
    printGaps("WaveformData", waveArrivals);
    printGaps("VitalsData", vitalsArrivals);
    std::printf("timer floor of this machine during the run (a thread sleeping to a fixed 60 ms schedule): %s\n",
                floorFigures.c_str());
    std::printf("unit: %llu frames, %llu length errors, %llu undecodable, %llu malformed waves; "
                "bridge %s\n",
                static_cast<unsigned long long>(stats.frames), static_cast<unsigned long long>(stats.lengthErrors),
                static_cast<unsigned long long>(stats.undecodable),
                static_cast<unsigned long long>(stats.malformedWaves), howEnded.c_str());
    return latencies.empty() ? 1 : 0;
}
