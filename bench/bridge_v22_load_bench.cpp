// bridge-v22-load-bench: runs the real halvex-relay-v22 between an in-process
// simulator-server stand-in streaming a full patient (five waveforms sampled every
// 12 ms, sent as one batch every 60 ms, plus numerics once a second) and an in-process
// v2.2 unit stand-in, and reports the bridge's CPU use, the latency of a completed send
// cycle from simulator to unit, and the datagrams each cycle takes.
//
// It reports figures only: it exits 0 whenever the run itself worked, whatever the
// figures are, and non-zero only when the bridge could not be run or never sent.
//
// The v2.2 edition connects to the simulator on 127.0.0.1 and binds UDP port 14996 on
// every address: run it by hand, never beside the tests or a demo.
//
// Latency method: batch n carries ARTLINE samples that all equal 50 + n % 200, so every
// [ABP] value the bridge derives from that batch equals the tag (resampling within a
// batch keeps it). The last [ABP] value of a datagram names the batch that completed
// its send cycle; the latency is the datagram's arrival minus the moment just before
// that batch was handed to the simulator stand-in. This edition sends a cycle as soon
// as it fills, so the loopback floor (a bare UDP datagram from one socket to another on
// this machine) is measured as well.

#include <boost/asio.hpp>
#include <boost/program_options.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
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
#include "emulators/unit_v22/unit_emulator.h"
#include "bench/bench_support.h"
#include "bench/command_line.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace po = boost::program_options;
using bench::Clock;
using bench::cpuSeconds;
using bench::ms;
using bench::percentile;
using namespace std::chrono_literals;

namespace {

constexpr const char* kProgram = "bridge-v22-load-bench";
// host(0) the unit stand-in; host(1) and host(2) the two ends of the loopback floor.
const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::BenchV22Load);
constexpr std::size_t kDatagramLimit = 230;
constexpr auto kStartDeadline = 60s;

struct Arrival {
    Clock::time_point at;
    std::size_t length = 0;
    std::optional<long> lastAbp;  // the last [ABP] value the datagram carries
};

// The last [ABP] value of a datagram; nothing when it carries none.
std::optional<long> lastAbp(const std::string& datagram) {
    const auto at = datagram.rfind("[ABP]");
    if (at == std::string::npos) return std::nullopt;
    const auto end = datagram.find('@', at);
    if (end == std::string::npos) return std::nullopt;
    const std::string payload = datagram.substr(at + 5, end - at - 5);
    const auto comma = payload.rfind(',');
    const std::string last = comma == std::string::npos ? payload : payload.substr(comma + 1);
    try {
        std::size_t used = 0;
        const long v = std::stol(last, &used);
        if (used != last.size()) return std::nullopt;
        return v;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// One-way delay of a bare datagram from one loopback socket to another whose reader
// thread waits in receive, as the unit stand-in's does: p50 and p99 of 1000, 1 ms apart.
std::pair<double, double> loopbackFloorMs() {
    namespace asio = boost::asio;
    using asio::ip::udp;
    asio::io_context io;
    udp::socket receiver(io, udp::endpoint(asio::ip::make_address(kNet.host(1)), 0));
    udp::socket sender(io, udp::endpoint(asio::ip::make_address(kNet.host(2)), 0));
    constexpr int kCount = 1000;
    std::vector<Clock::time_point> sent(kCount), received(kCount);
    std::thread reader([&] {
        char buffer[512];
        for (int i = 0; i < kCount; ++i) {
            const std::size_t n = receiver.receive(asio::buffer(buffer));
            const int index = std::stoi(std::string(buffer, n));
            received[static_cast<std::size_t>(index)] = Clock::now();
        }
    });
    for (int i = 0; i < kCount; ++i) {
        const std::string text = std::to_string(i) + std::string(120, ' ');
        sent[static_cast<std::size_t>(i)] = Clock::now();
        sender.send_to(asio::buffer(text), receiver.local_endpoint());
        std::this_thread::sleep_for(1ms);
    }
    reader.join();
    std::vector<double> delays;
    for (int i = 0; i < kCount; ++i)
        delays.push_back(ms(received[static_cast<std::size_t>(i)] - sent[static_cast<std::size_t>(i)]));
    return {percentile(delays, 50), percentile(delays, 99)};
}

int fail(const std::string& why) {
    std::cerr << kProgram << ": " << why << std::endl;
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 30;
    std::string bridge = std::string(HALVEX_BIN_DIR) + "/halvex-relay-v22";
    std::string unitAddress = kNet.host(0);
    po::options_description options("Options");
    options.add_options()
        ("help,h", "show this help")
        ("seconds", po::value(&seconds)->default_value(seconds), "length of the measured run")
        ("bridge", po::value(&bridge)->default_value(bridge), "path of halvex-relay-v22")
        ("unit-address", po::value(&unitAddress)->default_value(unitAddress), "unit stand-in address (127.0.0.0/8)");
    po::variables_map vm;
    if (const auto status = bench::parseCommandLine(argc, argv, options, kProgram, vm)) return *status;
    if (!(std::isfinite(seconds) && seconds >= 1 && seconds <= 86400)) return fail("--seconds must be 1..86400");
    if (!halvex::emulators::unit_v22::isLoopbackAddress(unitAddress))
        return fail("the unit address must be in 127.0.0.0/8");
    if (access(bridge.c_str(), X_OK) != 0) return fail("cannot run " + bridge);

    const auto [floor, floorP99] = loopbackFloorMs();

    std::mutex arrivalsLock;
    std::vector<Arrival> arrivals;
    std::size_t wavesSeen = 0;
    std::unique_ptr<halvex::emulators::unit_v22::UnitEmulator> unit;
    try {
        halvex::emulators::unit_v22::UnitEmulator::Options unitOptions;
        unitOptions.address = unitAddress;
        unit = std::make_unique<halvex::emulators::unit_v22::UnitEmulator>(unitOptions);
        unit->setListener([&](const halvex::emulators::unit_v22::ReceivedDatagram& d, const std::string&) {
            if (d.text.find("[ABP]") == std::string::npos && d.text.find("[HR]") == std::string::npos) return;
            std::lock_guard<std::mutex> g(arrivalsLock);
            arrivals.push_back(Arrival{d.at, d.text.size(), lastAbp(d.text)});
            wavesSeen += d.text.find("[ABP]") != std::string::npos;
        });
        unit->start();
    } catch (const std::exception& e) {
        return fail(std::string("unit stand-in: ") + e.what());
    }

    halvex::emulators::sim_server::SimServerEmulator::Options o;
    o.address = "127.0.0.1";
    o.simPort = 55580;
    o.appPort = 55557;
    o.parameters = halvex::emulators::sim_server::standardPatientParameters();
    halvex::emulators::sim_server::SimServerEmulator server(o);
    std::string error;
    if (!server.start(&error)) return fail("simulator stand-in: " + error);

    const std::vector<std::string> numerics{"HRPM", "RRPM", "SAO2", "EXT_SABP", "EXT_DABP", "EXT_MAP", "BODY_TEMP",
                                            "bloodTemp"};
    halvex::test::TempDir dir;
    dir.write("settings.xml",
              "<Halvex><SPO2Scale>5</SPO2Scale><SerialID>" +
                  std::string(halvex::emulators::unit_v22::kDefaultSerialId) +
                  "</SerialID><IPAddress>" + unitAddress +
                  "</IPAddress><SPO2Calibration><Entry key=\"90\" value=\"600\"/></SPO2Calibration>"
                  "<CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration>"
                  "<IPRangeStart/><IPRangeEnd/></Halvex>");
    halvex::test::ChildProcess child({bridge, "-f", dir.file("settings.xml")}, dir.path());

    bench::PatientFeed feed(server, numerics);
    auto stream = [&](Clock::time_point until, const std::function<bool()>& done) { feed.run(until, done); };

    auto sending = [&] {
        std::lock_guard<std::mutex> g(arrivalsLock);
        return wavesSeen >= 10;
    };
    stream(Clock::now() + kStartDeadline, sending);
    if (!sending()) {
        child.kill(SIGTERM);
        child.wait(10s);
        return fail("the bridge did not send within " + std::to_string(kStartDeadline.count()) +
                    " s\nbridge stdout:\n" + child.out() + "\nbridge stderr:\n" + child.err());
    }

    const auto cpuBefore = cpuSeconds(child.pid());
    bench::TimerFloor timerFloor;  // measured during the same run
    const auto begin = Clock::now();
    stream(begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)), nullptr);
    const auto end = Clock::now();
    const std::string timerFloorFigures = timerFloor.summary();
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
    std::size_t unmatched = 0, cycleDatagrams = 0, overLimit = 0, longest = 0;
    std::map<std::size_t, std::size_t> lengths;  // by tens of characters
    for (const Arrival& a : arrivals) {
        if (a.at < begin || a.at > end) continue;
        ++cycleDatagrams;
        longest = std::max(longest, a.length);
        overLimit += a.length > kDatagramLimit;
        ++lengths[a.length / 50 * 50];
        const auto& abp = a.lastAbp;
        if (!abp) continue;
        const std::optional<Clock::time_point> sent = feed.sentBefore(*abp, a.at);
        if (!sent) {
            ++unmatched;
            continue;
        }
        latencies.push_back(ms(a.at - *sent));
    }

    std::printf("%s: halvex-relay-v22 at a full patient load for %.1f s\n", kProgram, wall);
    std::printf("load: one batch of 5 samples x 5 waveforms every 60 ms (12 ms sampling), numerics every 1 s; "
                "%zu batches sent in all\n",
                feed.batches());
    if (cpuBefore && cpuAfter)
        std::printf("bridge CPU: %.3f s user+system over %.1f s = %.3f%% of one core (counted in %.0f ms ticks)\n",
                    *cpuAfter - *cpuBefore, wall, 100.0 * (*cpuAfter - *cpuBefore) / wall,
                    1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK)));
    else
        std::printf("bridge CPU: unreadable (/proc/%d/stat)\n", static_cast<int>(child.pid()));
    std::printf("loopback floor: a bare datagram to a thread waiting on another loopback socket takes %.3f ms "
                "(p50), %.3f ms (p99)\n",
                floor, floorP99);
    std::printf("latency, simulator send of the batch that completes a send cycle -> unit receipt of the "
                "datagram carrying its [ABP] (batch named by its ARTLINE tag): %zu matched, %zu unmatched\n",
                latencies.size(), unmatched);
    if (!latencies.empty())
        std::printf("  p50 %.3f ms, p99 %.3f ms, max %.3f ms; p99 above the floor's p99 %.3f ms (aim: under 1 ms)\n",
                    percentile(latencies, 50), percentile(latencies, 99),
                    *std::max_element(latencies.begin(), latencies.end()), percentile(latencies, 99) - floorP99);
    std::printf("timer floor of this machine during the run (a thread sleeping to a fixed 60 ms schedule): %s\n",
                timerFloorFigures.c_str());
    const double cycles = static_cast<double>(latencies.size());
    std::printf("datagrams carrying send cycles: %zu (%.2f per cycle), longest %zu characters, %zu over %zu\n",
                cycleDatagrams, cycles > 0 ? static_cast<double>(cycleDatagrams) / cycles : 0.0, longest, overLimit,
                kDatagramLimit);
    std::printf("  lengths:");
    for (const auto& [from, count] : lengths) std::printf(" %zu-%zu: %zu;", from, from + 49, count);
    std::printf("\nunit: %llu datagrams, %llu malformed, %llu over the limit; bridge %s\n",
                static_cast<unsigned long long>(stats.datagrams), static_cast<unsigned long long>(stats.malformed),
                static_cast<unsigned long long>(stats.overLimit), howEnded.c_str());
    return latencies.empty() ? 1 : 0;
}
