// The JSON edition's controller over the real adaptor, with a unit that accepts the
// connection and then never reads: the simulator's batches and the supervision loop
// must go on while the adaptor's write waits, and the write must end as a lost
// connection that the supervision loop repairs.

#include <gtest/gtest.h>

#include <thread>

#include "adaptor_json/halvex_adaptor.h"
#include "controller/last_address_store.h"
#include "emulators/unit_json/unit_emulator.h"
#include "tests/controller/controller_fixture.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using halvex::test::eventually;

// The stand-in unit listens on the JSON unit port of this address.
const std::string kUnitAddress = halvex::test::Loopback(halvex::test::LoopbackBlock::ControllerJsonStalled).host(0);

// The JSON edition with its supervision checks counted.
class CountedJsonEdition : public JsonEdition {
public:
    using JsonEdition::JsonEdition;
    std::atomic<int> checks{0};
    UnitCheck checkUnit() override {
        ++checks;
        return JsonEdition::checkUnit();
    }
};

constexpr auto kInterval = 100ms;
constexpr auto kWriteLimit = 2000ms;
// Far beyond what the loopback socket buffers hold: the streaming write blocks.
constexpr std::size_t kStuckWaveBytes = 24u * 1024 * 1024;
const std::string kWriteTimedOut = "HalvexAdaptor::writeToWire: Error occured! Error code = system:110.";

TEST(JsonStalledUnit, BatchesAndSupervisionGoOnWhileTheWriteTimesOutThenTheUnitIsReconnected) {
    ConsoleCapture console;
    halvex::test::TempDir folder;
    halvex::emulators::unit_json::UnitEmulator unit(kUnitAddress, halvex::adaptor_json::kUnitPort);
    unit.setNeverRead(true);
    unit.start();

    halvex::adaptor_json::LinkLimits limits;
    limits.write = kWriteLimit;
    auto adaptor = std::make_unique<halvex::adaptor_json::HalvexAdaptor>(
        std::make_shared<halvex::controller::LastAddressStore>(folder.path()), limits);
    halvex::adaptor_json::HalvexAdaptor& link = *adaptor;
    ASSERT_TRUE(link.initialize("", kUnitAddress, "", "", false));
    Configuration config("unused.xml");
    config.IPAddress = kUnitAddress;
    auto edition = std::make_unique<CountedJsonEdition>(config, std::move(adaptor));
    CountedJsonEdition& counted = *edition;
    SimulatorSample::Options options;
    options.supervisionInterval = kInterval;
    SimulatorSample controller(&config, std::move(edition), options);

    // Running, so the streaming thread writes what the batches leave pending.
    controller.parametersUpdated({intUpdate("HW_PATSPEED", 1), intUpdate("HW_PATMON_ENABLED", 1),
                                  intUpdate("ARTERIAL_CATHETER_DEPTH", 5)});
    link.sendCommand("PLETH", std::string(kStuckWaveBytes, '7'));
    ASSERT_TRUE(eventually([&] { return link.pendingWaveformMessage().empty(); }, 10s))
        << "the streaming thread took the message";

    bool gaveUp = true;
    std::thread supervisor([&] { gaveUp = controller.run(); });
    const auto stuckSince = Clock::now();
    const int checksBefore = counted.checks;

    // Batches at the simulator's pace until the write gives up; each is handled at once.
    Clock::duration slowestBatch{};
    int batches = 0;
    while (console.count(kWriteTimedOut) == 0 && Clock::now() < stuckSince + 15s) {
        const auto start = Clock::now();
        controller.parametersUpdated(join({{intUpdate("HRPM", 60 + batches % 40)}, samples("ARTLINE", 10)}));
        slowestBatch = std::max(slowestBatch, Clock::now() - start);
        ++batches;
        console.waitFor(kWriteTimedOut, Channel::Out, 20ms);
    }
    const auto stuckFor = Clock::now() - stuckSince;
    const int checksWhileStuck = counted.checks - checksBefore;
    ASSERT_EQ(console.count(kWriteTimedOut), 1u) << console.out();
    EXPECT_GE(stuckFor, kWriteLimit - 200ms);
    EXPECT_LT(slowestBatch, 500ms) << "a batch waited for the unit";
    EXPECT_GE(batches, 20);
    // About one check per interval; half of that is rhythm enough on a loaded machine.
    EXPECT_GE(checksWhileStuck, static_cast<int>(stuckFor / kInterval) / 2);

    // The lost connection is repaired by the supervision loop; the unit now reads.
    unit.setNeverRead(false);
    EXPECT_TRUE(console.waitFor("Disconnected. Reconnecting.\n", Channel::Out, 10s)) << console.out();
    EXPECT_TRUE(unit.waitForConnections(2, 10s));
    EXPECT_TRUE(unit.waitForMessage("VitalsData", 1, 10s));

    controller.stop();
    supervisor.join();
    EXPECT_FALSE(gaveUp);
}

}  // namespace
