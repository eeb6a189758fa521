// The engines over real loopback connections, against the simulator-server emulator.

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <stdexcept>

#include "emulators/sim_server/sim_server_emulator.h"
#include "simlink/app_protocol.h"
#include "simlink/sim_client.h"
#include "simlink/simulator_protocol.h"
#include "simlink/wire.h"
#include "test_support.h"
#include "tests/support/wait.h"

using namespace com_krel;
using namespace simlink_test;
using halvex::test::eventually;
using namespace std::chrono_literals;
namespace emu = halvex::emulators::sim_server;

namespace {

using States = std::vector<std::pair<int, int>>;

constexpr auto kWait = 10s;  // bound of every wait for the peer or the engine
// A reconnect pause no test waits out: an engine that did not cut it short on a
// stop would hang the test.
constexpr auto kEndlessPause = std::chrono::milliseconds(std::chrono::hours(1));

// An emulator on ephemeral loopback ports, started.
struct Server {
    explicit Server(emu::SimServerEmulator::Options o) : emulator(std::move(o)) {
        std::string error;
        EXPECT_TRUE(emulator.start(&error)) << error;
    }
    emu::SimServerEmulator emulator;

    // Application frames of one type, on one connection (numbered from 1) or all.
    std::vector<emu::ReceivedFrame> framesOfType(std::uint16_t type, int connection = 0) const {
        std::vector<emu::ReceivedFrame> out;
        for (auto& f : emulator.frames())
            if (f.kind == emu::KindApplication && f.type == type && (connection == 0 || f.connection == connection))
                out.push_back(f);
        return out;
    }
    bool waitForFrames(std::uint16_t type, std::size_t n, int connection = 0) const {
        return emulator.waitForFrameCount(
                   [&](const emu::ReceivedFrame& f) {
                       return f.kind == emu::KindApplication && f.type == type &&
                              (connection == 0 || f.connection == connection);
                   },
                   n, kWait) >= n;
    }
};

emu::SimServerEmulator::Options simOptions(std::uint32_t simulatorId = 1) {
    emu::SimServerEmulator::Options o;
    o.parameters = {{"HW_PATSPEED", emu::Protocol::Sim, false, 5}, {"HW_PATMON_ENABLED", emu::Protocol::Sim, false, 1}};
    o.simulatorId = simulatorId;
    return o;
}

// The TCP transport, counting connection attempts so that a test can wait for them.
class CountingTcp : public CSCommsInterfaceTCP {
public:
    using CSCommsInterfaceTCP::CSCommsInterfaceTCP;
    bool open(std::uint32_t address, int port) override {
        const bool ok = CSCommsInterfaceTCP::open(address, port);
        {
            std::lock_guard<std::mutex> g(m_);
            ++attempts_;
        }
        cv_.notify_all();
        return ok;
    }
    bool waitForAttempts(int n) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, kWait, [&] { return attempts_ >= n; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int attempts_ = 0;
};

struct SimFixture {
    Server server;
    Lines lines;
    Recorder rec;
    std::unique_ptr<SimulatorProtocol> e;
    explicit SimFixture(int flags, std::uint32_t serverSimulatorId = 1)
        : server(simOptions(serverSimulatorId)), e(std::make_unique<SimulatorProtocol>(1, flags)) {
        e->setLogSink(lines.sink());
        e->setReconnectPause(100ms);
        e->registerCallback(&rec);
    }
    int port() const { return server.emulator.simPort(); }
};

TEST(SimLink, ConnectToNothingWithAndWithoutAutoReconnect) {
    Server refusing(simOptions());
    const int port = refusing.emulator.simPort();
    ASSERT_TRUE(refusing.emulator.stopAccepting());
    // With AutoReconnect: attempt after attempt, silently, the state never leaving
    // Connecting; and a stop cuts the pause between attempts short.
    for (auto pause : {std::chrono::milliseconds(20), kEndlessPause}) {
        SCOPED_TRACE(pause.count());
        Lines lines;
        Recorder rec;
        auto transport = std::make_unique<CountingTcp>(BufferSizes{}, lines.sink());
        CountingTcp& tcp = *transport;
        SimulatorProtocol e(1, AutoReconnect, std::move(transport));
        e.setLogSink(lines.sink());
        e.setReconnectPause(pause);
        e.registerCallback(&rec);
        ASSERT_EQ(e.connect(loopback(), port, nullptr), ResultOk);
        EXPECT_EQ(e.connect(loopback(), port, nullptr), ResultFailed);  // not Idle
        ASSERT_TRUE(tcp.waitForAttempts(pause == kEndlessPause ? 1 : 3));
        EXPECT_EQ(e.getState(), Connecting);
        EXPECT_EQ(rec.stateList(), (States{{0, 1}}));
        e.disconnect();  // waits a bounded time for the receiving thread to end
        EXPECT_EQ(e.getState(), Idle);
        EXPECT_TRUE(lines.all(false).empty());
        EXPECT_TRUE(lines.all(true).empty());
    }
    // Without: the first failure stops the client.
    Recorder rec;
    SimulatorProtocol e(1, 0);
    e.setLogSink([](bool, const std::string&) {});
    e.registerCallback(&rec);
    ASSERT_EQ(e.connect(loopback(), port, nullptr), ResultOk);
    ASSERT_TRUE(eventually([&] { return rec.stateList().size() == 3; }));
    EXPECT_EQ(rec.stateList(), (States{{0, 1}, {1, 3}, {3, 0}}));
}

TEST(SimLink, LostReadyLinkReconnectsAndSubscribesOnce) {
    SimFixture f(AutoReconnect);
    ASSERT_EQ(f.e->subscribeInputs({{"HW_PATSPEED", TypeInteger, 0}, {"HW_PATMON_ENABLED", TypeInteger, 0}}), ResultOk);
    ASSERT_EQ(f.e->connect(loopback(), f.port(), nullptr), ResultOk);
    ASSERT_TRUE(eventually([&] { return f.e->pendingInputs() == 0; }));
    EXPECT_EQ(f.server.framesOfType(0x0006, 1).size(), 1u);
    EXPECT_EQ(f.rec.stateList(), (States{{0, 1}, {1, 2}, {2, 4}}));

    f.server.emulator.dropConnections();
    ASSERT_TRUE(f.server.waitForFrames(0x0001, 1, 2));  // subscribed again on the second connection
    ASSERT_TRUE(eventually([&] { return f.e->getState() == Ready && f.e->pendingInputs() == 0; }));
    EXPECT_EQ(f.rec.stateList(), (States{{0, 1}, {1, 2}, {2, 4}, {4, 5}, {5, 1}, {1, 2}, {2, 4}}));
    auto subs = f.server.framesOfType(0x0001, 2);
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(wordAt(subs[0].payload, 16), 2u);
    EXPECT_EQ(f.lines.count("Attempting to reconnect..."), 1u);
    EXPECT_EQ(f.lines.count("Re-registering input/output parameters (2/0)..."), 2u);  // first Ready and after the loss
    EXPECT_EQ(f.lines.count("Registering 2 input parameters with server..."), 2u);
    EXPECT_EQ(f.lines.count("Connection closed by server.", true), 1u);
    EXPECT_EQ(f.lines.count("Found server version: "), 2u);  // once per Ready

    // disconnect, then connect: the registry is empty.
    f.e->disconnect();
    EXPECT_EQ(f.e->getState(), Idle);
    EXPECT_EQ(f.e->pendingInputs(), 0);
    ASSERT_EQ(f.e->connect(loopback(), f.port(), nullptr), ResultOk);
    ASSERT_TRUE(f.server.waitForFrames(0x0006, 1, 3));
    EXPECT_TRUE(f.server.framesOfType(0x0001, 3).empty());
}

TEST(SimLink, SimulatorIdChangeReRegistersUnderTheNewWord) {
    SimFixture f(AutoReconnect | Quiet, 2);
    ASSERT_EQ(f.e->subscribeInputs({{"HW_PATSPEED", TypeInteger, 1}}), ResultOk);
    ASSERT_EQ(f.e->connect(loopback(), f.port(), nullptr), ResultOk);
    ASSERT_TRUE(f.server.waitForFrames(0x0001, 2));
    auto subs = f.server.framesOfType(0x0001);
    ASSERT_EQ(subs.size(), 2u);
    EXPECT_EQ(wordAt(subs[0].payload, 12), 0x00010000u);
    EXPECT_EQ(wordAt(subs[1].payload, 12), 0x00020000u);
    EXPECT_EQ(f.e->simulatorId(), 2);
}

// A throwing callback is reported and the next message is still delivered.
TEST(SimLink, CallbackExceptionDoesNotEndTheReceivingThread) {
    struct Thrower : CSClient::CallbackIface {
        void parametersUpdated(const std::vector<ParameterValue>&) override { throw std::runtime_error("boom"); }
    } thrower;  // outlives the engine that calls it
    SimFixture f(AutoReconnect);
    f.e->registerCallback(&thrower);
    ASSERT_EQ(f.e->subscribeInputs({{"HW_PATSPEED", TypeInteger, 0}}), ResultOk);
    ASSERT_EQ(f.e->connect(loopback(), f.port(), nullptr), ResultOk);
    ASSERT_TRUE(eventually([&] { return f.e->pendingInputs() == 0; }));
    ASSERT_TRUE(f.server.emulator.setValue("HW_PATSPEED", 42));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> g(f.rec.m);
        return f.rec.updates.size() == 2;
    }));
    EXPECT_EQ(f.rec.updates[1].at(0).asInt(), 42);
    EXPECT_EQ(f.lines.count("Exception in callback parametersUpdated: boom", true), 2u);
    EXPECT_EQ(f.e->getState(), Ready);
}

TEST(SimLink, ThreadThatCannotStartLeavesTheClientIdle) {
    SimFixture f(AutoReconnect);
    CSThread::failNextStarts() = 1;
    EXPECT_EQ(f.e->connect(loopback(), f.port(), nullptr), ResultFailed);
    EXPECT_EQ(f.e->getState(), Idle);
    EXPECT_EQ(f.rec.stateList(), (States{{0, 1}, {1, 3}, {3, 0}}));
    EXPECT_EQ(f.e->connect(loopback(), f.port(), nullptr), ResultOk);
    EXPECT_TRUE(eventually([&] { return f.e->getState() == Ready; }));
}

// The destructor returns while the receiving thread reads (it notices the stop after
// one receive time-out) and while it waits between attempts (the stop cuts the pause
// short: with an endless pause, a destructor that waited it out would never return).
TEST(SimLink, DestroyingWhileReadingOrPausingReturns) {
    for (bool linkLost : {false, true}) {
        SCOPED_TRACE(linkLost);
        Server server(simOptions());
        Recorder rec;  // outlives the client
        auto client = std::make_unique<SimClient>(1, AutoReconnect | Quiet);
        client->protocol().setLogSink([](bool, const std::string&) {});
        client->protocol().setReconnectPause(kEndlessPause);
        client->registerCallback(&rec);
        ASSERT_EQ(client->connect(loopback(), server.emulator.simPort()), ResultOk);
        ASSERT_TRUE(eventually([&] { return client->getState() == Ready; }));
        if (linkLost) {
            // Ready comes with the client's connect; the server may not have taken the
            // connection yet, and a drop before that would drop nothing.
            ASSERT_TRUE(server.emulator.waitForConnections(emu::Protocol::Sim, 1, kWait));
            server.emulator.dropConnections();
            // Ready lost, Connecting again: the pause before the next attempt.
            ASSERT_TRUE(eventually([&] { return rec.stateList().size() == 5; })) << [&] {
                std::string seen;  // which changes came, for a failure on a loaded machine
                for (const auto& [from, to] : rec.stateList())
                    seen += " " + std::to_string(from) + "->" + std::to_string(to);
                return "state changes:" + seen;
            }();
            EXPECT_EQ(rec.stateList().back(), std::make_pair(5, 1));
        }
        auto destroyed = std::async(std::launch::async, [&] { client.reset(); });
        ASSERT_EQ(destroyed.wait_for(kWait), std::future_status::ready);
    }
}

// A write failing inside subscribeInputs (registry lock held) while the receiving
// thread, holding the state lock, waits for the registry lock on its way to Ready.
class GatedTransport : public CSCommsInterface {
public:
    std::atomic<int> opens{0};
    std::atomic<bool> dropLink{false};
    std::atomic<bool> gateUserWrites{false};
    std::atomic<bool> userWriteBlocked{false};
    std::promise<void> releaseGate;
    std::shared_future<void> gate = releaseGate.get_future().share();
    std::thread::id receiver;

    // A quiet link: every read is a short receive time-out.
    ReadResult read(int, RawMessage&) override {
        if (dropLink.exchange(false)) return ReadResult::Closed;
        std::this_thread::sleep_for(2ms);
        return ReadResult::TimedOut;
    }
    int write(const RawMessage& m) override {
        if (gateUserWrites && std::this_thread::get_id() != receiver) {
            userWriteBlocked = true;
            gate.wait();
            return -1;
        }
        return static_cast<int>(m.size());
    }
    void close() override {}
    bool open(std::uint32_t, int) override {
        receiver = std::this_thread::get_id();
        ++opens;
        return true;
    }
};

TEST(SimLink, FailedWriteUnderRegistryLockDoesNotDeadlock) {
    auto transport = std::make_unique<GatedTransport>();
    GatedTransport& t = *transport;
    Lines lines;
    SimulatorProtocol e(1, AutoReconnect, std::move(transport));
    e.setLogSink(lines.sink());
    e.setReconnectPause(1ms);
    ASSERT_EQ(e.subscribeInputs({{"A", TypeInteger, 0}}), ResultOk);
    ASSERT_EQ(e.connect(loopback(), 1, nullptr), ResultOk);
    ASSERT_TRUE(eventually([&] { return e.getState() == Ready; }));

    t.gateUserWrites = true;
    auto sub = std::async(std::launch::async, [&] { return e.subscribeInputs({{"B", TypeInteger, 0}}); });
    ASSERT_TRUE(eventually([&] { return t.userWriteBlocked.load(); }));
    t.dropLink = true;  // the receiving thread reconnects and wants the registry
    ASSERT_TRUE(eventually([&] { return t.opens == 2 && e.getState() == Ready; }));
    t.releaseGate.set_value();
    ASSERT_EQ(sub.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(sub.get(), ResultFailed);
    EXPECT_EQ(lines.count("Error writing to server (", true), 1u);
    ASSERT_TRUE(eventually([&] { return e.getState() == Ready; }));  // the deferred loss reconnected
    e.disconnect();
    EXPECT_EQ(e.getState(), Idle);
}

// ---- APP -------------------------------------------------------------------------------------

std::vector<ParameterRequest> manyInputs(int n, const char* prefix) {
    std::vector<ParameterRequest> v;
    for (int i = 0; i < n; ++i) v.push_back({prefix + std::to_string(i), TypeFloat, 0});
    return v;
}

// A server offering the APP float inputs of the lists given, reporting `patient`.
emu::SimServerEmulator::Options appOptions(emu::PatientInfo patient,
                                           std::initializer_list<std::vector<ParameterRequest>> offered) {
    emu::SimServerEmulator::Options o;
    for (const auto& list : offered)
        for (const auto& r : list) o.parameters.push_back({r.id, emu::Protocol::App, true, 1.5});
    o.patient = patient;
    return o;
}

bool isPeriodicFlowControl(const emu::ReceivedFrame& f) {
    return f.kind == emu::KindFlowControl && f.payload.size() >= 4 && wordAt(f.payload, 0) == 3;
}

TEST(AppLink, HandshakeHeldSubscriptionsAndSplit) {
    const auto p = manyInputs(26, "P"), q = manyInputs(121, "Q");
    Server server(appOptions(emu::PatientInfo{0, 0, 0, 0, 0.0f}, {p, q}));  // no SCE at first
    Lines lines;
    Recorder rec;
    AppProtocol e(AutoReconnect);
    e.setLogSink(lines.sink());
    e.registerCallback(&rec);
    ASSERT_EQ(e.connect(loopback(), server.emulator.appPort(), nullptr), ResultOk);
    ASSERT_TRUE(eventually([&] { return lines.count("Found server version: ") == 1; }));
    EXPECT_EQ(rec.stateList(), (States{{0, 1}, {1, 2}, {2, 4}}));
    for (std::uint16_t t : {0x0020, 0x0001, 0x0051}) EXPECT_EQ(server.framesOfType(t).size(), 1u) << t;
    EXPECT_EQ(lines.all(false),
              (std::vector<std::string>{"Sending flow control request...", "Sending subscribe to all events...",
                                        "Refreshing Active Sces...", "Sending server version request...",
                                        "Found server version: Sim server emulator 1.0"}));

    // No SCE: held, nothing sent.
    ASSERT_EQ(e.subscribeInputs(p), ResultOk);
    EXPECT_EQ(e.pendingInputs(), 26);
    server.emulator.sendSceEvent(emu::SceEvent::Started, 9);  // the held inputs go out
    ASSERT_TRUE(server.waitForFrames(0x0006, 1));
    EXPECT_EQ(wordAt(server.framesOfType(0x0006)[0].payload, 12), 9u);
    EXPECT_EQ(wordAt(server.framesOfType(0x0006)[0].payload, 16), 26u);
    ASSERT_TRUE(eventually([&] { return e.pendingInputs() == 0; }));
    EXPECT_EQ(lines.count("Registering input parameters (26)..."), 1u);
    EXPECT_EQ(lines.count("Registering 26 input parameters with server..."), 1u);
    EXPECT_EQ(lines.count("Registering output parameters (0)..."), 1u);
    EXPECT_EQ(lines.count("Successful registration of APP input P"), 26u);

    // 121 more while the SCE is active: split 60 / 61.
    ASSERT_EQ(e.subscribeInputs(q), ResultOk);
    ASSERT_TRUE(server.waitForFrames(0x0006, 3));
    auto subs = server.framesOfType(0x0006);
    EXPECT_EQ(wordAt(subs[1].payload, 16), 60u);
    EXPECT_EQ(wordAt(subs[2].payload, 16), 61u);
    EXPECT_EQ(lines.count("Splitting large input subscription: 121 parameters requested"), 1u);
    ASSERT_TRUE(eventually([&] { return e.pendingInputs() == 0; }));

    // The end of the SCE makes all pending; its next start re-sends everything (split).
    server.emulator.sendSceEvent(emu::SceEvent::Ended, 9);
    ASSERT_TRUE(eventually([&] { return e.sceId() == 0 && e.pendingInputs() == 147; }));
    server.emulator.sendSceEvent(emu::SceEvent::Started, 9);
    ASSERT_TRUE(server.waitForFrames(0x0006, 5));
    subs = server.framesOfType(0x0006);
    EXPECT_EQ(wordAt(subs[3].payload, 16) + wordAt(subs[4].payload, 16), 147u);
    ASSERT_TRUE(eventually([&] { return e.pendingInputs() == 0; }));

    // Flow control: periodic while Ready; stop joins the thread.
    e.setFlowControlPeriod(20ms);
    ASSERT_EQ(e.startFlowControl(), ResultOk);
    EXPECT_EQ(e.startFlowControl(), ResultFailed);
    EXPECT_GE(server.emulator.waitForFrameCount(isPeriodicFlowControl, 2, kWait), 2u);
    e.stopFlowControl();
    EXPECT_EQ(e.startFlowControl(), ResultOk);  // restartable; the destructor stops it
}

TEST(AppLink, PatientListNamingAnSceSubscribesDuringTheHandshake) {
    const auto r = manyInputs(3, "R");
    Server server(appOptions(emu::PatientInfo{1, 7, 3, 5, 1.0f}, {r}));
    Recorder rec;
    auto client = std::make_unique<AppClient>(AutoReconnect | Quiet);
    client->registerCallback(&rec);
    ASSERT_EQ(client->subscribeInputs(r), ResultOk);
    ASSERT_EQ(client->startFlowControl(), ResultOk);
    ASSERT_EQ(client->connect("127.0.0.1", server.emulator.appPort()), ResultOk);
    ASSERT_TRUE(server.waitForFrames(0x0006, 1));
    EXPECT_EQ(wordAt(server.framesOfType(0x0006)[0].payload, 12), 7u);
    ASSERT_TRUE(eventually([&] { return client->getState() == Ready && client->protocol().pendingInputs() == 0; }));
    EXPECT_EQ(rec.take(), (std::vector<std::string>{"status 7 3 0 0", "registered 3", "updated 3"}));
    client.reset();  // flow control still running: the destructor stops it
}

}  // namespace
