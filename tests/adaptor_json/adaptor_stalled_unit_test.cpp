// A unit that accepts the connection and then never reads: the bridge's writes fill
// the socket buffers and block. Nothing else may wait for them, the write ends
// within its limit as a lost connection, and the adaptor can always be destroyed.
#include "adaptor_json/halvex_adaptor.h"

#include <chrono>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "tests/adaptor_json/adaptor_test_support.h"
#include "tests/support/console_capture.h"
#include "tests/support/loopback.h"
#include "tests/support/wait.h"

namespace {

using adaptor_test::HalvexAdaptor;
using adaptor_test::startUnit;
using adaptor_test::StoreFolder;
using halvex::test::ConsoleCapture;
using namespace std::chrono_literals;

constexpr auto kLong = 10s;

const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::AdaptorJsonStalled);
// Far beyond what the loopback socket buffers hold (a few MB): the write blocks.
constexpr std::size_t kStuckWaveBytes = 24u * 1024 * 1024;

// Runs `call` on a thread of its own; true when it returned within `limit`. A call
// that does not return is left running (the test then fails, and ctest's time-out
// ends the process).
template <typename Call>
bool returnsWithin(std::chrono::milliseconds limit, Call call) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> returned = done->get_future();
    std::thread([done, call] {
        call();
        done->set_value();
    }).detach();
    return returned.wait_for(limit) == std::future_status::ready;
}

class StalledUnit : public testing::Test {
protected:
    // A connected adaptor whose streaming thread is stuck writing one huge WaveformData.
    std::unique_ptr<HalvexAdaptor> stuckAdaptor(const std::string& address, std::chrono::milliseconds writeLimit) {
        unit = startUnit(address);
        unit->setNeverRead(true);
        halvex::adaptor_json::LinkLimits limits;
        limits.write = writeLimit;
        auto adaptor = std::make_unique<HalvexAdaptor>(folder.store, limits);
        EXPECT_TRUE(adaptor->initialize("", address, "", "", false));
        adaptor->sendCommand("PLETH", std::string(kStuckWaveBytes, '7'));
        adaptor->setStreamingEnabled(true);
        // The pass has taken the message: the write is under way.
        EXPECT_TRUE(halvex::test::eventually([&] { return adaptor->pendingWaveformMessage().empty(); }, kLong));
        return adaptor;
    }

    ConsoleCapture console;
    StoreFolder folder;
    std::unique_ptr<halvex::emulators::unit_json::UnitEmulator> unit;
};

TEST_F(StalledUnit, CallersGoOnAndTheWriteEndsAsALostConnection) {
    const auto limit = 1500ms;
    auto adaptor = stuckAdaptor(kNet.host(0), limit);
    const auto stuckSince = std::chrono::steady_clock::now();
    // While the write is stuck, the simulator's batches and the supervision loop go on.
    EXPECT_TRUE(returnsWithin(500ms, [&] {
        adaptor->sendHeartRate(80);
        EXPECT_NE(adaptor->pendingVitalsMessage().find("\"hr\":\"80\""), std::string::npos);
    }));
    EXPECT_TRUE(returnsWithin(500ms, [&] { adaptor->isConnected(); }));

    // Within the limit (and not before it) the connection counts as lost.
    const std::string line =
        "HalvexAdaptor::writeToWire: Error occured! Error code = system:110. Message: write: Connection timed out\n";
    ASSERT_TRUE(console.waitFor(line, halvex::test::ConsoleCapture::Channel::Out, kLong)) << console.out();
    EXPECT_GE(std::chrono::steady_clock::now() - stuckSince, limit - 200ms);
    EXPECT_FALSE(adaptor->isConnected());
    EXPECT_TRUE(returnsWithin(kLong, [&] { adaptor.reset(); }));
}

TEST_F(StalledUnit, DestructorReturnsWhileAWriteIsStuck) {
    auto adaptor = stuckAdaptor(kNet.host(1), 60s);
    EXPECT_TRUE(adaptor->isConnected());
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(returnsWithin(kLong, [&] { adaptor.reset(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    // Its own shutdown is not reported as a write error.
    EXPECT_EQ(console.count("writeToWire: Error occured!"), 0u) << console.out();
}

}  // namespace
