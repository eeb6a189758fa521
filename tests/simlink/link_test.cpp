#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

#include "fake_server.h"
#include "simlink/app_protocol.h"
#include "simlink/sim_client.h"
#include "simlink/simulator_protocol.h"
#include "simlink/wire.h"

using namespace com_krel;
using namespace simlink_test;
using namespace std::chrono_literals;

namespace {

using States = std::vector<std::pair<int, int>>;

// Answers a SIM input subscription with server ids 100, 101, ... and value 5.
void simResponder(FakeServer& s, const Bytes& f) {
    if (f.size() < 44 || wordAt(f, 8) != 0) return;
    const std::uint16_t type = static_cast<std::uint16_t>((f[42] << 8) | f[43]);
    if (type != 0x0001) return;
    const std::uint32_t n = wordAt(f, 48);
    Bytes body = words({0, n});
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::size_t at = 52 + i * 44 + 12;
        std::string id(reinterpret_cast<const char*>(&f[at]));
        Bytes e = words({100 + i, 0, 0, 1, 5});
        putId(e, id);
        body.insert(body.end(), e.begin(), e.end());
    }
    s.send(frameBytes(cat({appHeader(4, 2, 0x0101, static_cast<std::uint32_t>(12 + body.size())), body})));
}

struct SimFixture {
    FakeServer server;
    Lines lines;
    Recorder rec;
    std::unique_ptr<SimulatorProtocol> e;
    explicit SimFixture(int flags) : e(std::make_unique<SimulatorProtocol>(1, flags)) {
        server.onFrame = simResponder;
        e->setLogSink(lines.sink());
        e->setReconnectPause(100ms);
        e->registerCallback(&rec);
    }
    bool waitState(int s) {
        return eventually([&] { return e->getState() == s; });
    }
};

TEST(SimLink, ConnectToNothingWithAndWithoutAutoReconnect) {
    const int port = closedPort();
    {
        Lines lines;
        Recorder rec;
        SimulatorProtocol e(1, AutoReconnect);
        e.setLogSink(lines.sink());
        e.registerCallback(&rec);
        ASSERT_EQ(e.connect(loopback(), port, nullptr), ResultOk);
        EXPECT_EQ(e.connect(loopback(), port, nullptr), ResultFailed);  // not Idle
        // Two attempts a second apart: the state never leaves Connecting, silently.
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(e.getState(), Connecting);
        EXPECT_EQ(rec.stateList(), (States{{0, 1}}));
        EXPECT_TRUE(lines.all(false).empty());
        EXPECT_TRUE(lines.all(true).empty());
        const auto t0 = std::chrono::steady_clock::now();
        e.disconnect();
        EXPECT_EQ(e.getState(), Idle);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);  // the pause is cut short
    }
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
    ASSERT_EQ(f.e->connect(loopback(), f.server.port(), nullptr), ResultOk);
    ASSERT_TRUE(eventually([&] { return f.e->pendingInputs() == 0; }));
    EXPECT_EQ(f.server.framesOfType(0x0006, 1).size(), 1u);
    EXPECT_EQ(f.rec.stateList(), (States{{0, 1}, {1, 2}, {2, 4}}));

    f.server.dropConnection();
    ASSERT_TRUE(eventually([&] { return f.server.connections() == 2 && f.e->getState() == Ready && f.e->pendingInputs() == 0; }));
    EXPECT_EQ(f.rec.stateList(), (States{{0, 1}, {1, 2}, {2, 4}, {4, 5}, {5, 1}, {1, 2}, {2, 4}}));
    auto subs = f.server.framesOfType(0x0001, 2);
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(wordAt(subs[0], 48), 2u);
    EXPECT_EQ(f.lines.count("Attempting to reconnect..."), 1u);
    EXPECT_EQ(f.lines.count("Re-registering input/output parameters (2/0)..."), 2u);  // first Ready and after the loss
    EXPECT_EQ(f.lines.count("Registering 2 input parameters with server..."), 2u);
    EXPECT_EQ(f.lines.count("Connection closed by server.", true), 1u);

    // disconnect, then connect: the registry is empty.
    f.e->disconnect();
    EXPECT_EQ(f.e->getState(), Idle);
    EXPECT_EQ(f.e->pendingInputs(), 0);
    ASSERT_EQ(f.e->connect(loopback(), f.server.port(), nullptr), ResultOk);
    ASSERT_TRUE(eventually([&] { return f.server.framesOfType(0x0006, 3).size() == 1; }));
    EXPECT_TRUE(f.server.framesOfType(0x0001, 3).empty());
}

TEST(SimLink, SimulatorIdChangeReRegistersUnderTheNewWord) {
    SimFixture f(AutoReconnect | Quiet);
    f.server.onFrame = [](FakeServer& s, const Bytes& fr) {
        if (fr.size() >= 44 && fr[43] == 0x06) {
            Bytes body = words({0x00020000});
            Bytes text(128, 0);
            body = cat({body, text, words({1, 1})});
            s.send(frameBytes(cat({appHeader(4, 2, 0x0106, static_cast<std::uint32_t>(12 + body.size())), body})));
        }
        simResponder(s, fr);
    };
    ASSERT_EQ(f.e->subscribeInputs({{"HW_PATSPEED", TypeInteger, 1}}), ResultOk);
    ASSERT_EQ(f.e->connect(loopback(), f.server.port(), nullptr), ResultOk);
    ASSERT_TRUE(f.server.waitFor([&] { return f.server.framesOfType(0x0001).size() == 2; }));
    auto subs = f.server.framesOfType(0x0001);
    EXPECT_EQ(wordAt(subs[0], 44), 0x00010000u);
    EXPECT_EQ(wordAt(subs[1], 44), 0x00020000u);
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
    ASSERT_EQ(f.e->connect(loopback(), f.server.port(), nullptr), ResultOk);
    ASSERT_TRUE(eventually([&] { return f.e->pendingInputs() == 0; }));
    f.server.send(frameBytes(cat({appHeader(4, 2, 0x0003, 36), words({0, 0, 1, 100, 1, 42})})));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> g(f.rec.m);
        return f.rec.updates.size() == 2;
    }));
    EXPECT_EQ(f.lines.count("Exception in callback parametersUpdated: boom", true), 2u);
    EXPECT_EQ(f.e->getState(), Ready);
}

TEST(SimLink, ThreadThatCannotStartLeavesTheClientIdle) {
    SimFixture f(AutoReconnect);
    CSThread::failNextStarts() = 1;
    EXPECT_EQ(f.e->connect(loopback(), f.server.port(), nullptr), ResultFailed);
    EXPECT_EQ(f.e->getState(), Idle);
    EXPECT_EQ(f.rec.stateList(), (States{{0, 1}, {1, 3}, {3, 0}}));
    EXPECT_EQ(f.e->connect(loopback(), f.server.port(), nullptr), ResultOk);
    EXPECT_TRUE(f.waitState(Ready));
}

TEST(SimLink, DestroyingWhileReadingOrPausingReturnsPromptly) {
    for (bool serverUp : {true, false}) {
        SCOPED_TRACE(serverUp);
        FakeServer server;
        auto client = std::make_unique<SimClient>(1, AutoReconnect | Quiet);
        client->protocol().setLogSink([](bool, const std::string&) {});
        ASSERT_EQ(client->connect(loopback(), serverUp ? server.port() : closedPort()), ResultOk);
        if (serverUp) ASSERT_TRUE(eventually([&] { return client->getState() == Ready; }));
        else std::this_thread::sleep_for(200ms);  // inside the 1000 ms pause between attempts
        const auto t0 = std::chrono::steady_clock::now();
        client.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
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

    int read(int, RawMessage&) override {
        if (dropLink.exchange(false)) return 0;
        std::this_thread::sleep_for(2ms);
        return -2;
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
    ASSERT_EQ(sub.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(sub.get(), ResultFailed);
    EXPECT_EQ(lines.count("Error writing to server (", true), 1u);
    ASSERT_TRUE(eventually([&] { return e.getState() == Ready; }));  // the deferred loss reconnected
    e.disconnect();
    EXPECT_EQ(e.getState(), Idle);
}

// ---- APP -------------------------------------------------------------------------------------

struct AppServer {
    FakeServer server;
    std::atomic<int> sceInList{0};
    AppServer() {
        server.onFrame = [this](FakeServer& s, const Bytes& f) {
            if (wordAt(f, 8) == 3) {
                if (wordAt(f, 32) == 0) s.send(frameBytes(words({1, 0, 0, 0, 0}), 3));
                return;
            }
            const std::uint16_t type = static_cast<std::uint16_t>((f[42] << 8) | f[43]);
            if (f[33] == 1 && type == 0x0001) {
                const int sce = sceInList;
                Bytes b = sce ? words({1, static_cast<std::uint32_t>(sce), 3, 5}) : words({0});
                if (sce) putF32(b, 1.0f);
                s.send(frameBytes(cat({appHeader(1, 1, 0x0002, static_cast<std::uint32_t>(12 + b.size())), b})));
            }
        };
    }
    void event(std::uint16_t type, std::uint32_t sce) {
        server.send(frameBytes(cat({appHeader(1, 3, type, 20), words({sce, 1})})));
    }
};

std::vector<ParameterRequest> manyInputs(int n, const char* prefix) {
    std::vector<ParameterRequest> v;
    for (int i = 0; i < n; ++i) v.push_back({prefix + std::to_string(i), TypeFloat, 0});
    return v;
}

TEST(AppLink, HandshakeHeldSubscriptionsAndSplit) {
    AppServer as;
    Lines lines;
    Recorder rec;
    AppProtocol e(AutoReconnect);
    e.setLogSink(lines.sink());
    e.registerCallback(&rec);
    ASSERT_EQ(e.connect(loopback(), as.server.port(), nullptr), ResultOk);
    ASSERT_TRUE(eventually([&] { return e.getState() == Ready; }));
    EXPECT_EQ(rec.stateList(), (States{{0, 1}, {1, 2}, {2, 4}}));
    for (std::uint16_t t : {0x0020, 0x0001, 0x0051}) EXPECT_EQ(as.server.framesOfType(t).size(), 1u) << t;
    EXPECT_EQ(lines.all(false), (std::vector<std::string>{"Sending flow control request...", "Sending subscribe to all events...",
                                                          "Refreshing Active Sces...", "Sending server version request..."}));

    // No SCE: held, nothing sent.
    ASSERT_EQ(e.subscribeInputs(manyInputs(26, "P")), ResultOk);
    EXPECT_EQ(e.pendingInputs(), 26);
    as.event(0x0112, 9);  // SCE 9 started: the held inputs go out
    ASSERT_TRUE(as.server.waitFor([&] { return as.server.framesOfType(0x0006).size() == 1; }));
    EXPECT_EQ(wordAt(as.server.framesOfType(0x0006)[0], 44), 9u);
    EXPECT_EQ(wordAt(as.server.framesOfType(0x0006)[0], 48), 26u);
    EXPECT_EQ(lines.count("Registering input parameters (26)..."), 1u);
    EXPECT_EQ(lines.count("Registering 26 input parameters with server..."), 1u);
    EXPECT_TRUE(eventually([&] { return lines.count("Registering output parameters (0)...") == 1; }));

    // 121 more while the SCE is active: split 60 / 61.
    ASSERT_EQ(e.subscribeInputs(manyInputs(121, "Q")), ResultOk);
    ASSERT_TRUE(as.server.waitFor([&] { return as.server.framesOfType(0x0006).size() == 3; }));
    auto subs = as.server.framesOfType(0x0006);
    EXPECT_EQ(wordAt(subs[1], 48), 60u);
    EXPECT_EQ(wordAt(subs[2], 48), 61u);
    EXPECT_EQ(lines.count("Splitting large input subscription: 121 parameters requested"), 1u);

    // 0x0114 ends the SCE: all pending; the next 0x0112 re-sends everything (split).
    as.event(0x0114, 9);
    ASSERT_TRUE(eventually([&] { return e.sceId() == 0 && e.pendingInputs() == 147; }));
    as.event(0x0112, 9);
    ASSERT_TRUE(as.server.waitFor([&] { return as.server.framesOfType(0x0006).size() == 5; }));
    subs = as.server.framesOfType(0x0006);
    EXPECT_EQ(wordAt(subs[3], 48) + wordAt(subs[4], 48), 147u);

    // Flow control: periodic while Ready; stop joins the thread.
    e.setFlowControlPeriod(20ms);
    ASSERT_EQ(e.startFlowControl(), ResultOk);
    EXPECT_EQ(e.startFlowControl(), ResultFailed);
    ASSERT_TRUE(as.server.waitFor([&] {
        int n = 0;
        for (auto& fr : as.server.framesOfType(0xFFFF)) n += wordAt(fr, 32) == 3;
        return n >= 2;
    }));
    e.stopFlowControl();
    EXPECT_EQ(e.startFlowControl(), ResultOk);  // restartable; the destructor stops it
}

TEST(AppLink, PatientListNamingAnSceSubscribesDuringTheHandshake) {
    AppServer as;
    as.sceInList = 7;
    Recorder rec;
    auto client = std::make_unique<AppClient>(AutoReconnect | Quiet);
    client->registerCallback(&rec);
    ASSERT_EQ(client->subscribeInputs(manyInputs(3, "R")), ResultOk);
    ASSERT_EQ(client->startFlowControl(), ResultOk);
    ASSERT_EQ(client->connect("127.0.0.1", as.server.port()), ResultOk);
    ASSERT_TRUE(as.server.waitFor([&] { return as.server.framesOfType(0x0006).size() == 1; }));
    EXPECT_EQ(wordAt(as.server.framesOfType(0x0006)[0], 44), 7u);
    ASSERT_TRUE(eventually([&] { return client->getState() == Ready; }));
    EXPECT_EQ(rec.take(), std::vector<std::string>{"status 7 3 0 0"});
    client.reset();  // flow control still running: the destructor stops it
}

}  // namespace
