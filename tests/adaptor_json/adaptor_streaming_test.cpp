// The streaming thread against a stand-in unit.
#include "adaptor_json/halvex_adaptor.h"

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/adaptor_json/adaptor_test_support.h"
#include "tests/support/console_capture.h"
#include "tests/support/loopback.h"
#include "tests/support/wait.h"

namespace {

using adaptor_test::framesReceived;
using adaptor_test::HalvexAdaptor;
using adaptor_test::startUnit;
using adaptor_test::StoreFolder;
using halvex::test::ConsoleCapture;
using halvex::test::eventually;
using namespace std::chrono_literals;

constexpr auto kLong = 5s;

const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::AdaptorJsonStreaming);

const std::string kVitalsTemplate =
    "{\"MessageType\":\"VitalsData\",\"Message\":{\"hr\":\"-1\",\"sbp\":\"-1\",\"dbp\":\"-1\",\"mbp\":\"-1\","
    "\"sPAP\":\"-1\",\"dPAP\":\"-1\",\"mPAP\":\"-1\",\"CVP\":\"-1\",\"t1\":\"-1\",\"t2\":\"-1\",\"rr\":\"-1\","
    "\"etCO2\":\"-1\",\"co2FlowFactor\":\"-1\",\"spO2\":\"-1\",\"spO2Ratio\":\"-1\",\"spo2Override\":\"None\","
    "\"abpZeroState\":\"Unknown\",\"papZeroState\":\"Unknown\",\"cvpZeroState\":\"Unknown\"}}";

std::string vitalsWith(const std::string& key, const std::string& text) {
    std::string message = kVitalsTemplate;
    const std::string from = "\"" + key + "\":\"";
    const std::size_t at = message.find(from) + from.size();
    return message.replace(at, message.find('"', at) - at, text);
}

// The frame as the unit must see it, written out by hand: 0x02, four digits, text, 0x03.
std::string frameOf(const std::string& json, const char* length) { return "\x02" + std::string(length) + json + "\x03"; }

std::size_t threadCount() {
    std::size_t count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks)) {
            count += entry->d_name[0] != '.';
        }
        closedir(tasks);
    }
    return count;
}

// A connected adaptor, streaming disabled, against a unit on the fixture's own address.
class Streaming : public testing::Test {
protected:
    explicit Streaming(std::string unitAddress) : address(std::move(unitAddress)), unit(startUnit(address)) {}
    void SetUp() override {
        ASSERT_TRUE(adaptor.initialize("", address, "", "", false));
        ASSERT_TRUE(unit->waitForConnections(1, kLong));
    }

    const std::string address;
    ConsoleCapture console;
    StoreFolder folder;
    std::unique_ptr<halvex::emulators::unit_json::UnitEmulator> unit;
    HalvexAdaptor adaptor{folder.store};
};

// One fixed address per test: ctest runs them side by side.
template <int Host>
class StreamingAt : public Streaming {
protected:
    StreamingAt() : Streaming(kNet.host(Host)) {}
};
using StreamingBacklog = StreamingAt<0>;
using StreamingSlots = StreamingAt<1>;
using StreamingReconnect = StreamingAt<2>;

TEST_F(StreamingBacklog, NothingWhileDisabledThenOneMessageOfEachKindVitalsFirst) {
    adaptor.sendHeartRate(70);
    adaptor.sendHeartRate(75);
    adaptor.sendHeartRate(80);
    std::vector<float> pleth(5, 50.0f);
    adaptor.sendPlethWave(pleth);
    EXPECT_FALSE(unit->waitForFrames(1, 200ms));  // a few slots long: nothing goes while disabled

    adaptor.setStreamingEnabled(true);
    ASSERT_TRUE(unit->waitForFrames(2, kLong));
    const std::string vitals = vitalsWith("hr", "80");
    const std::string waves =
        "{\"MessageType\":\"WaveformData\",\"Message\":{\"pleth\":[50,50,50],\"ecg\":[],\"abp\":[],\"pap\":[],"
        "\"cvp\":[],\"aux\":[],\"co2\":[]}}";
    ASSERT_EQ(vitals.size(), 320u);
    ASSERT_EQ(waves.size(), 115u);
    EXPECT_EQ(framesReceived(*unit)[0], frameOf(vitals, "0320"));
    EXPECT_EQ(framesReceived(*unit)[1], frameOf(waves, "0115"));
    EXPECT_EQ(adaptor.pendingVitalsMessage(), "");

    // After a send the next update starts from the untouched message.
    adaptor.sendSpO2(97);
    ASSERT_TRUE(unit->waitForFrames(3, kLong));
    EXPECT_EQ(framesReceived(*unit)[2], frameOf(vitalsWith("spO2", "97"), "0320"));
    EXPECT_FALSE(unit->waitForFrames(4, 150ms));  // nothing pending: nothing sent
}

TEST_F(StreamingSlots, UpdatesWithinOneSlotMakeOneMessage) {
    adaptor.setStreamingEnabled(true);
    for (int round = 1; round <= 3; ++round) {
        adaptor.sendHeartRate(60 + round);
        adaptor.sendRespirationRate(10 + round);
        ASSERT_TRUE(unit->waitForFrames(static_cast<std::size_t>(round), kLong));
        const std::string last = framesReceived(*unit).back();
        // Both values of the round travel together (one pass took the lock between them
        // or after both): the message holds the round's heart rate.
        EXPECT_NE(last.find("\"hr\":\"" + std::to_string(60 + round) + "\""), std::string::npos) << last;
    }
}


TEST_F(StreamingReconnect, WriteErrorIdlesUntilInitializeReconnectsWithoutASecondThread) {
    adaptor.setStreamingEnabled(true);
    unit->resetConnection();
    int hr = 60;
    ASSERT_TRUE(eventually([&] {
        adaptor.sendHeartRate(hr = hr == 60 ? 61 : 60);
        return !adaptor.isConnected();
    }, kLong));
    // Dropped while down. What was stored before the loss (after the failed pass took
    // its snapshot) may stay pending: it goes out after the reconnection.
    adaptor.sendHeartRate(99);
    EXPECT_EQ(adaptor.pendingVitalsMessage().find("\"hr\":\"99\""), std::string::npos);
    // The link is marked down inside the write, before the adaptor reports the error.
    const std::string writeError = "HalvexAdaptor::writeToWire: Error occured! Error code = ";
    EXPECT_TRUE(eventually([&] { return console.count(writeError) > 0; }, kLong)) << console.out();
    EXPECT_EQ(console.count(writeError), 1u) << console.out();

    const std::size_t before = threadCount();
    ASSERT_TRUE(adaptor.initialize("", address, "", "", false));
    EXPECT_EQ(threadCount(), before);
    ASSERT_TRUE(unit->waitForConnections(2, kLong));
    adaptor.sendHeartRate(123);
    const std::string expected = frameOf(vitalsWith("hr", "123"), "0321");
    EXPECT_TRUE(eventually([&] {
        const auto frames = framesReceived(*unit);
        return std::find(frames.begin(), frames.end(), expected) != frames.end();
    }, kLong));
}

class StreamingTeardown : public testing::Test {};

// The adaptor goes away while its streaming thread sends and a caller updates: the
// thread is stopped and joined, promptly.
TEST_F(StreamingTeardown, DestroyingTheAdaptorStopsItsThread) {
    StoreFolder folder;
    const std::string address = kNet.host(3);
    auto unit = startUnit(address);
    ConsoleCapture console;
    for (int round = 0; round < 3; ++round) {
        auto adaptor = std::make_unique<HalvexAdaptor>(folder.store);
        ASSERT_TRUE(adaptor->initialize("", address, "", "", false));
        adaptor->setStreamingEnabled(true);
        std::atomic<bool> stop{false};
        std::thread caller([&] {
            for (int hr = 20; !stop; hr = hr % 300 + 1) {
                adaptor->sendHeartRate(hr);
                std::this_thread::sleep_for(1ms);
            }
        });
        ASSERT_TRUE(unit->waitForFrames(static_cast<std::size_t>(round) + 1, kLong));
        stop = true;
        caller.join();
        auto destroyed = std::async(std::launch::async, [&] { adaptor.reset(); });
        EXPECT_EQ(destroyed.wait_for(5s), std::future_status::ready);
    }
}

}  // namespace
