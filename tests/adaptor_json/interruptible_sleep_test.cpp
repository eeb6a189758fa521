// The adaptor's pauses end at once when it is interrupted: the pause in progress,
// every later one, and the long wait of a WiFi exchange.
#include "adaptor_json/interruptible_sleep.h"

#include <chrono>
#include <future>

#include <gtest/gtest.h>

#include "tests/adaptor_json/adaptor_test_support.h"
#include "tests/support/console_capture.h"
#include "tests/support/loopback.h"

namespace {

using halvex::adaptor_json::InterruptibleSleep;
using namespace std::chrono_literals;

constexpr auto kLong = 5s;

TEST(InterruptibleSleep, InterruptEndsThePauseInProgressAndEveryLaterOne) {
    InterruptibleSleep pauses;
    EXPECT_FALSE(pauses.sleepFor(1ms)) << "a pause nobody interrupts runs out";
    EXPECT_FALSE(pauses.sleepUntil(std::chrono::steady_clock::now() - 1s));

    auto sleeper = std::async(std::launch::async, [&] { return pauses.sleepFor(600s); });
    pauses.interrupt();
    ASSERT_EQ(sleeper.wait_for(kLong), std::future_status::ready);
    EXPECT_TRUE(sleeper.get());

    auto later = std::async(std::launch::async, [&] {
        return pauses.sleepFor(600s) && pauses.sleepUntil(std::chrono::steady_clock::now() + 600s);
    });
    ASSERT_EQ(later.wait_for(kLong), std::future_status::ready);
    EXPECT_TRUE(later.get());
}

// The credentials leave, then the adaptor waits for the unit to join the network; an
// interrupt ends that wait long before it would run out.
TEST(InterruptibleSleep, InterruptEndsTheWifiSettleWait) {
    static_assert(kLong < adaptor_test::HalvexAdaptor::kWifiSettle, "the bound must be below the wait it brackets");
    adaptor_test::StoreFolder folder;
    const std::string address = halvex::test::Loopback(halvex::test::LoopbackBlock::AdaptorJsonSleep).host(0);
    auto unit = adaptor_test::startUnit(address);
    adaptor_test::HalvexAdaptor adaptor(folder.store);
    halvex::test::ConsoleCapture console;
    ASSERT_TRUE(adaptor.initialize("", address, "", "", false));
    auto exchange = std::async(std::launch::async, [&] {
        try {
            return adaptor.sendWifiCredentials("lab", "pw");
        } catch (const std::exception&) {
            return false;  // the interrupted link fails the status request
        }
    });
    ASSERT_TRUE(unit->waitForFrames(1, kLong));
    adaptor.interrupt();
    ASSERT_EQ(exchange.wait_for(kLong), std::future_status::ready);
    EXPECT_FALSE(exchange.get());
}

}  // namespace
