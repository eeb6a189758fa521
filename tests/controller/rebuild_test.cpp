// A hundred controllers in a row in one process, over the real adaptors, the real
// simulator clients and the stand-ins, each built, started, ended and destroyed as
// the entry point's outer loop does: the process holds as many threads and open
// descriptors after the hundredth as after the first.

#include <gtest/gtest.h>

#include <dirent.h>

#include <memory>
#include <string>
#include <thread>

#include "adaptor_json/halvex_adaptor.h"
#include "adaptor_v22/halvex_adaptor.h"
#include "controller/edition_json.h"
#include "controller/edition_v22.h"
#include "controller/last_address_store.h"
#include "controller/simulator_sample.h"
#include "emulators/sim_server/patient.h"
#include "emulators/sim_server/sim_server_emulator.h"
#include "emulators/unit_json/unit_emulator.h"
#include "emulators/unit_v22/unit_emulator.h"
#include "tests/support/console_capture.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

namespace {

using namespace halvex::controller;
using halvex::test::ConsoleCapture;
using Channel = halvex::platform::Channel;
using namespace std::chrono_literals;

// The simulators and the JSON unit; the v2.2 bridge and unit, on a net of their own.
const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::ControllerRebuild);
const halvex::test::Loopback kV22Net(halvex::test::LoopbackBlock::ControllerRebuildV22);

constexpr int kRebuilds = 100;
constexpr auto kInterval = 5ms;

std::size_t entriesOf(const char* folder) {
    DIR* dir = ::opendir(folder);
    if (dir == nullptr)
        return 0;
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(dir))
        count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

// What one process holds, as the kernel counts it.
struct Holdings {
    std::size_t threads = entriesOf("/proc/self/task");
    std::size_t descriptors = entriesOf("/proc/self/fd");
};

// The stand-ins run in this process: their ends of the bridge's connections count too,
// so the figures are taken once the simulator has closed its ends.
Holdings settled(const halvex::emulators::sim_server::SimServerEmulator& server) {
    EXPECT_TRUE(server.waitForConnections(halvex::emulators::sim_server::Protocol::Sim, 0, 10s));
    EXPECT_TRUE(server.waitForConnections(halvex::emulators::sim_server::Protocol::App, 0, 10s));
    return Holdings{};
}

// The simulator stand-in on ephemeral ports of its own address, running at normal speed.
std::unique_ptr<halvex::emulators::sim_server::SimServerEmulator> startSimulator(const std::string& address,
                                                                                double speed) {
    halvex::emulators::sim_server::SimServerEmulator::Options options;
    options.address = address;
    options.parameters = halvex::emulators::sim_server::standardPatientParameters();
    auto server = std::make_unique<halvex::emulators::sim_server::SimServerEmulator>(options);
    std::string error;
    EXPECT_TRUE(server->start(&error)) << error;
    EXPECT_TRUE(server->setValue("HW_PATSPEED", speed));
    return server;
}

SimulatorSample::Options controllerOptions(const halvex::emulators::sim_server::SimServerEmulator& server,
                                           const std::string& address) {
    SimulatorSample::Options options;
    options.supervisionInterval = kInterval;
    options.simAddress = options.appAddress = address;
    options.simPort = server.simPort();
    options.appPort = server.appPort();
    return options;
}

std::string settings(const std::string& unitAddress, const std::string& serial) {
    return "<Halvex><SPO2Scale>5</SPO2Scale><SerialID>" + serial + "</SerialID><IPAddress>" + unitAddress +
           "</IPAddress><SPO2Calibration><Entry key=\"90\" value=\"600\"/></SPO2Calibration>"
           "<CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration><IPRangeStart/><IPRangeEnd/>"
           "</Halvex>";
}

// The v2.2 unit refuses the association: every check finds it free, and the
// controller gives it up after the 11th, as the outer loop then sees.
TEST(ControllerRebuilds, AHundredV22UnitsGivenUpLeaveNoThreadOrDescriptor) {
    ConsoleCapture console;
    halvex::test::TempDir folder;
    const std::string simAddress = kNet.host(0);
    auto server = startSimulator(simAddress, 1);
    halvex::emulators::unit_v22::UnitEmulator::Options unitOptions;
    unitOptions.address = kV22Net.host(1);
    unitOptions.serialId = "HX22-REBUILD";
    halvex::emulators::unit_v22::UnitEmulator unit(unitOptions);
    unit.setRefuseAssociation(true);
    unit.start();

    folder.write("settings.xml", settings(unitOptions.address, unitOptions.serialId));
    Configuration configuration(folder.file("settings.xml"), V22Edition::kConfigurationKeys);
    auto lastAddress = std::make_shared<halvex::controller::LastAddressStore>(folder.path());
    halvex::adaptor_v22::AdaptorOptions adaptorOptions;
    adaptorOptions.transport.localAddress = kV22Net.host(0);
    adaptorOptions.transport.waits.replyPause = 1ms;
    adaptorOptions.transport.waits.senderPause = 1ms;
    adaptorOptions.discovery.attemptPause = 1ms;
    adaptorOptions.localAddresses = halvex::adaptor_v22::fixedLocalAddresses({});

    Holdings before;
    for (int pass = 0; pass <= kRebuilds; ++pass) {
        // The first pass is the reference: it also starts what lives once per process.
        if (pass == 1)
            before = settled(*server);
        SimulatorSample controller(
            &configuration,
            std::make_unique<V22Edition>(configuration,
                                         std::make_unique<halvex::adaptor_v22::HalvexAdaptor>(lastAddress, adaptorOptions)),
            controllerOptions(*server, simAddress));
        ASSERT_TRUE(controller.init(false)) << console.err();
        ASSERT_TRUE(controller.run()) << "pass " << pass << "\n" << console.err();
    }
    const Holdings after = settled(*server);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_EQ(console.count("HX>ERROR>No answer from the Halvex unit for too long. Disconnecting.", Channel::Err),
              static_cast<std::size_t>(kRebuilds + 1));
    EXPECT_EQ(console.count("started while another operation was running", Channel::Err), 0u);
}

// The JSON unit drops the connection once per controller; the supervision loop
// connects again, and the controller is then ended as a stop ends it.
TEST(ControllerRebuilds, AHundredJsonControllersWithAReconnectionLeaveNoThreadOrDescriptor) {
    ConsoleCapture console;
    halvex::test::TempDir folder;
    const std::string simAddress = kNet.host(1);
    const std::string unitAddress = kNet.host(2);
    // Paused: the supervision loop selects the default calibration at every check, and
    // the first write after the drop finds the connection gone.
    auto server = startSimulator(simAddress, 0);
    halvex::emulators::unit_json::UnitEmulator unit(unitAddress, halvex::adaptor_json::kUnitPort);
    unit.start();

    folder.write("settings.xml", settings(unitAddress, "HX0001"));
    Configuration configuration(folder.file("settings.xml"), JsonEdition::kConfigurationKeys);
    auto lastAddress = std::make_shared<halvex::controller::LastAddressStore>(folder.path());

    // The unit's end of the last connection counts too.
    auto unitLeft = [&] {
        EXPECT_TRUE(halvex::test::eventually([&] { return !unit.connected(); }, 10s)) << "the unit closed its end";
        return settled(*server);
    };
    Holdings before;
    for (int pass = 0; pass <= kRebuilds; ++pass) {
        if (pass == 1)
            before = unitLeft();
        SimulatorSample controller(
            &configuration,
            std::make_unique<JsonEdition>(configuration, std::make_unique<halvex::adaptor_json::HalvexAdaptor>(lastAddress)),
            controllerOptions(*server, simAddress));
        ASSERT_TRUE(controller.init(false)) << console.err();
        const halvex::emulators::unit_json::UnitStats seen = unit.snapshot();
        const auto selections = [](const halvex::emulators::unit_json::UnitStats& stats) {
            const auto found = stats.messages.find("CalSelect");
            return found == stats.messages.end() ? std::uint64_t{0} : found->second;
        };
        const std::uint64_t connections = seen.connections;
        bool gaveUp = true;
        std::thread supervisor([&] { gaveUp = controller.run(); });
        ASSERT_TRUE(unit.waitForMessage("CalSelect", selections(seen) + 1, 10s));
        unit.closeConnection();
        const bool reconnected = unit.waitForConnections(connections + 1, 10s);
        controller.stop();
        supervisor.join();
        ASSERT_TRUE(reconnected) << "pass " << pass << "\n" << console.out();
        EXPECT_FALSE(gaveUp);
    }
    const Holdings after = unitLeft();
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_EQ(after.descriptors, before.descriptors);
}

}  // namespace
