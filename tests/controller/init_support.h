#pragma once

// init() against the in-process simulator-server stand-in: a configuration file of
// the test's own, the server on ephemeral loopback ports, and the subscription
// requests decoded from the frames the server received.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "emulators/sim_server/sim_server_emulator.h"
#include "simlink/types.h"

namespace init_support {

constexpr std::uint16_t kSimSubscribeInputs = 0x0001;
constexpr std::uint16_t kAppSubscribeInputs = 0x0006;
constexpr std::size_t kSimEntry = 44;  // class word, class word, isInt word, id
constexpr std::size_t kAppEntry = 40;  // class word, 0, id
constexpr std::uint32_t kWaveClassWord = 12000;

// One subscription entry as it travels: the id, whether it is an integer (SIM only)
// and the class word of its update class.
struct WireInput {
    std::string id;
    int isInt;
    std::uint32_t classWord;
    bool operator==(const WireInput& o) const { return id == o.id && isInt == o.isInt && classWord == o.classWord; }
};

// The link library may send a list in an order of its own; what must arrive is
// every entry with its type and class.
inline std::vector<WireInput> sorted(std::vector<WireInput> list) {
    std::sort(list.begin(), list.end(), [](const WireInput& a, const WireInput& b) { return a.id < b.id; });
    return list;
}

// The same list as the controller hands it to the client, in its order.
inline std::vector<WireInput> asWire(const std::vector<com_krel::ParameterRequest>& list, bool withType) {
    std::vector<WireInput> result;
    for (const auto& r : list)
        result.push_back({r.id, withType ? (r.type == com_krel::TypeInteger ? 1 : 0) : -1,
                          r.updateClass == 1 ? 12000u : 0u});
    return result;
}

inline std::ostream& operator<<(std::ostream& os, const WireInput& w) {
    return os << w.id << "/" << w.isInt << "/" << w.classWord;
}

inline std::uint32_t u32(const halvex::emulators::sim_server::Bytes& b, std::size_t at) {
    return (std::uint32_t(b[at]) << 24) | (std::uint32_t(b[at + 1]) << 16) | (std::uint32_t(b[at + 2]) << 8) |
           std::uint32_t(b[at + 3]);
}

inline std::string id32(const halvex::emulators::sim_server::Bytes& b, std::size_t at) {
    std::string id;
    for (std::size_t i = at; i < at + 32 && i < b.size() && b[i] != 0; ++i)
        id.push_back(static_cast<char>(b[i]));
    return id;
}

// The entries of the first subscribe-inputs request of a protocol, waiting for it.
inline std::optional<std::vector<WireInput>> subscription(
    const halvex::emulators::sim_server::SimServerEmulator& server, halvex::emulators::sim_server::Protocol protocol) {
    const std::uint16_t type =
        protocol == halvex::emulators::sim_server::Protocol::Sim ? kSimSubscribeInputs : kAppSubscribeInputs;
    auto frame = server.waitForFrame(
        [&](const halvex::emulators::sim_server::ReceivedFrame& f) { return f.protocol == protocol && f.type == type; },
        std::chrono::seconds(10));
    if (!frame)
        return std::nullopt;
    const halvex::emulators::sim_server::Bytes& p = frame->payload;
    std::vector<WireInput> entries;
    const std::uint32_t count = u32(p, 16);
    const std::size_t size = protocol == halvex::emulators::sim_server::Protocol::Sim ? kSimEntry : kAppEntry;
    for (std::uint32_t i = 0; i < count && 20 + (i + 1) * size <= p.size(); ++i) {
        const std::size_t at = 20 + i * size;
        if (protocol == halvex::emulators::sim_server::Protocol::Sim)
            entries.push_back({id32(p, at + 12), static_cast<int>(u32(p, at + 8)), u32(p, at)});
        else
            entries.push_back({id32(p, at + 8), -1, u32(p, at)});
    }
    return sorted(entries);
}

// A configuration file for init(), removed with the object.
class ConfigFile {
public:
    explicit ConfigFile(const std::string& name) : path_(name) {
        std::ofstream out(path_);
        out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Halvex>\n"
               "  <IPAddress>127.0.0.1</IPAddress>\n  <IPRangeStart>127.0.0.1</IPRangeStart>\n"
               "  <IPRangeEnd>127.0.0.1</IPRangeEnd>\n  <SerialID>HX0001</SerialID>\n"
               "  <SPO2Scale>5</SPO2Scale>\n  <CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration>\n"
               "  <SPO2Calibration><Entry key=\"90\" value=\"600\"/></SPO2Calibration>\n"
               "  <SimulatorIP>127.0.0.1</SimulatorIP>\n  <RHMIP>127.0.0.1</RHMIP>\n</Halvex>\n";
    }
    ~ConfigFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline halvex::emulators::sim_server::SimServerEmulator::Options serverOptions(std::uint16_t simPort = 0,
                                                                             std::uint16_t appPort = 0) {
    halvex::emulators::sim_server::SimServerEmulator::Options options;
    options.simPort = simPort;
    options.appPort = appPort;
    options.parameters = {{"HW_PATSPEED", halvex::emulators::sim_server::Protocol::Sim, false, 0},
                          {"HW_PATMON_ENABLED", halvex::emulators::sim_server::Protocol::Sim, false, 0},
                          {"HRPM", halvex::emulators::sim_server::Protocol::App, false, 72}};
    return options;
}

}  // namespace init_support
