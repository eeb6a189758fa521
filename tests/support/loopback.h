#pragma once

// Loopback addresses of a test file's own. CTest runs tests in parallel, one process
// each, and a stand-in on a fixed port (the JSON unit's 14997, the v2.2 unit's 14996,
// the simulator's 55580 and 55557) must never meet another file's on the same address.
// Each file asks for its block by name; every block is registered in the one table
// below, and the compiler refuses a table whose blocks overlap. The benchmarks in
// bench/ take theirs from the same table: one may run while the tests do.
//
// 127.0.0.1 is in no block: the v2.2 edition reaches its simulator there and binds
// 14996 on every address, so the tests that do so are serialised instead (SERIAL in
// halvex_test).

#include <cstdint>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace halvex::test {

enum class LoopbackBlock {
    BridgeJsonE2e,   // tests/e2e/bridge_json_e2e_test.cpp
    BridgeV22E2e,    // tests/e2e/bridge_v22_e2e_test.cpp
    CleanStopE2e,    // tests/e2e/clean_stop_e2e_test.cpp
    LabReplay,       // tests/lab/replay_e2e_test.cpp
    MonitorBrowser,  // tests/lab/monitor_browser_test.cpp
    LabInstall,      // tests/lab/install_test.sh (a script: it writes its one address itself)
    LabTools,        // tests/lab/lab_tools_test.cpp
    WifiE2e,         // tests/e2e/wifi_e2e_test.cpp
    AdaptorJsonValues,      // tests/adaptor_json/adaptor_values_test.cpp
    AdaptorJsonConnection,  // tests/adaptor_json/adaptor_connection_test.cpp
    AdaptorJsonStreaming,   // tests/adaptor_json/adaptor_streaming_test.cpp
    AdaptorJsonStalled,     // tests/adaptor_json/adaptor_stalled_unit_test.cpp
    AdaptorJsonExchanges,   // tests/adaptor_json/exchanges_test.cpp
    AdaptorJsonLink,        // tests/adaptor_json/unit_link_socket_test.cpp
    AdaptorJsonSleep,       // tests/adaptor_json/interruptible_sleep_test.cpp
    AdaptorV22,             // tests/adaptor_v22/: v22test::Block n is its n-th run of 256
    AdaptorV22OtherNet,     // tests/adaptor_v22/discovery_test.cpp: a net the machine "has"
    UnitJsonEmulator,       // tests/emulators/unit_json_emulator_test.cpp
    UnitV22Emulator,        // tests/emulators/unit_v22_emulator_test.cpp
    AppCommandLine,         // tests/app/command_line_test.cpp
    ControllerJsonStalled,  // tests/controller/json_stalled_unit_test.cpp
    ControllerRebuild,      // tests/controller/rebuild_test.cpp: simulators and the JSON unit
    ControllerRebuildV22,   // tests/controller/rebuild_test.cpp: the v2.2 bridge and unit
    BenchJsonLoad,          // bench/bridge_json_load_bench.cpp
    BenchV22Load,           // bench/bridge_v22_load_bench.cpp
    BenchSoak,              // bench/bridge_soak_bench.cpp
};

struct LoopbackRange {
    LoopbackBlock block;
    std::uint32_t first;  // host order
    std::uint32_t count;
};

constexpr std::uint32_t loopbackAddress(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return 127u << 24 | b << 16 | c << 8 | d;
}

// One entry per block, in the order of LoopbackBlock.
inline constexpr LoopbackRange kLoopbackBlocks[] = {
    {LoopbackBlock::BridgeJsonE2e, loopbackAddress(0, 0, 60), 2},
    {LoopbackBlock::BridgeV22E2e, loopbackAddress(0, 0, 62), 2},
    {LoopbackBlock::CleanStopE2e, loopbackAddress(0, 0, 64), 3},
    {LoopbackBlock::LabReplay, loopbackAddress(0, 0, 72), 4},
    {LoopbackBlock::MonitorBrowser, loopbackAddress(0, 0, 76), 3},
    {LoopbackBlock::LabInstall, loopbackAddress(0, 0, 79), 1},
    {LoopbackBlock::LabTools, loopbackAddress(0, 0, 80), 3},
    {LoopbackBlock::WifiE2e, loopbackAddress(0, 0, 83), 5},
    {LoopbackBlock::AdaptorJsonValues, loopbackAddress(0, 4, 11), 5},
    {LoopbackBlock::AdaptorJsonConnection, loopbackAddress(0, 4, 20), 8},
    {LoopbackBlock::AdaptorJsonStreaming, loopbackAddress(0, 4, 30), 4},
    {LoopbackBlock::AdaptorJsonStalled, loopbackAddress(0, 4, 40), 2},
    {LoopbackBlock::AdaptorJsonExchanges, loopbackAddress(0, 4, 50), 11},
    {LoopbackBlock::AdaptorJsonLink, loopbackAddress(0, 4, 61), 1},
    {LoopbackBlock::AdaptorJsonSleep, loopbackAddress(0, 4, 70), 1},
    {LoopbackBlock::AdaptorV22, loopbackAddress(22, 0, 0), 80 * 256},
    {LoopbackBlock::AdaptorV22OtherNet, loopbackAddress(77, 0, 0), 256 * 256},
    {LoopbackBlock::UnitJsonEmulator, loopbackAddress(0, 0, 89), 2},
    {LoopbackBlock::UnitV22Emulator, loopbackAddress(22, 160, 1), 2},
    {LoopbackBlock::AppCommandLine, loopbackAddress(0, 0, 251), 1},
    {LoopbackBlock::ControllerJsonStalled, loopbackAddress(0, 0, 88), 1},
    {LoopbackBlock::ControllerRebuild, loopbackAddress(0, 0, 67), 3},
    {LoopbackBlock::ControllerRebuildV22, loopbackAddress(22, 90, 1), 2},
    {LoopbackBlock::BenchJsonLoad, loopbackAddress(0, 3, 1), 2},
    {LoopbackBlock::BenchV22Load, loopbackAddress(0, 3, 11), 3},
    {LoopbackBlock::BenchSoak, loopbackAddress(0, 3, 21), 3},
};

namespace loopback_table {

constexpr std::size_t kSize = sizeof kLoopbackBlocks / sizeof kLoopbackBlocks[0];

constexpr bool inOrder() {
    for (std::size_t i = 0; i < kSize; ++i)
        if (static_cast<std::size_t>(kLoopbackBlocks[i].block) != i) return false;
    return true;
}

// Inside 127.0.0.0/8, clear of 127.0.0.1 and of the net's first and last address.
constexpr bool usable(const LoopbackRange& range) {
    const std::uint32_t last = range.first + range.count - 1;
    return range.count > 0 && range.first > loopbackAddress(0, 0, 1) && last < loopbackAddress(255, 255, 255) &&
           last >= range.first;
}

constexpr bool apart() {
    for (std::size_t i = 0; i < kSize; ++i)
        for (std::size_t j = i + 1; j < kSize; ++j) {
            const LoopbackRange& a = kLoopbackBlocks[i];
            const LoopbackRange& b = kLoopbackBlocks[j];
            if (a.first < b.first + b.count && b.first < a.first + a.count) return false;
        }
    return true;
}

constexpr bool allUsable() {
    for (std::size_t i = 0; i < kSize; ++i)
        if (!usable(kLoopbackBlocks[i])) return false;
    return true;
}

}  // namespace loopback_table

static_assert(loopback_table::inOrder(), "kLoopbackBlocks lists the blocks in the order of LoopbackBlock");
static_assert(loopback_table::allUsable(), "a block lies outside 127.0.0.2 .. 127.255.255.254");
static_assert(loopback_table::apart(), "two blocks of kLoopbackBlocks share an address");

// The addresses of one block, as dotted text: host(0), host(1), ... host(size() - 1).
class Loopback {
public:
    explicit constexpr Loopback(LoopbackBlock block) : range_(kLoopbackBlocks[static_cast<std::size_t>(block)]) {}

    std::uint32_t size() const { return range_.count; }

    // Throws std::out_of_range past the block's end: a file that needs more addresses
    // widens its block in the table.
    std::string host(std::uint32_t n) const {
        if (n >= range_.count)
            throw std::out_of_range("loopback block " + std::to_string(static_cast<int>(range_.block)) + " has " +
                                    std::to_string(range_.count) + " addresses, not " + std::to_string(n + 1));
        const std::uint32_t address = range_.first + n;
        return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 0xff) + "." +
               std::to_string(address >> 8 & 0xff) + "." + std::to_string(address & 0xff);
    }

private:
    LoopbackRange range_;
};

}  // namespace halvex::test
