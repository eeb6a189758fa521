// What a reconnection does to the registry and to the next attempt, and how large
// an APP subscription goes out whole; over a scripted link, so each step is the
// test's to choose.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "simlink/app_protocol.h"
#include "simlink/simulator_protocol.h"
#include "simlink/wire.h"
#include "test_support.h"
#include "tests/support/wait.h"

using namespace com_krel;
using namespace simlink_test;
using halvex::test::eventually;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A quiet link (every read a short time-out) that the test can drop; it remembers
// when each connection opened and every frame written.
class ScriptedLink : public CSCommsInterface {
public:
    std::atomic<bool> drop{false};

    ReadResult read(int, RawMessage&) override {
        if (drop.exchange(false)) return ReadResult::Closed;
        std::this_thread::sleep_for(2ms);
        return ReadResult::TimedOut;
    }
    int write(const RawMessage& m) override {
        std::lock_guard<std::mutex> g(m_);
        written_.push_back(m.bytes());
        return static_cast<int>(m.size());
    }
    void close() override {}
    bool open(std::uint32_t, int) override {
        std::lock_guard<std::mutex> g(m_);
        opened_.push_back(Clock::now());
        return true;
    }
    std::vector<Clock::time_point> opened() {
        std::lock_guard<std::mutex> g(m_);
        return opened_;
    }
    // The application frames written of one message type.
    std::vector<Bytes> framesOfType(std::uint16_t type) {
        std::lock_guard<std::mutex> g(m_);
        std::vector<Bytes> out;
        for (const Bytes& f : written_)
            if (f.size() >= 44 && wordAt(f, 8) == 0 && ((f[42] << 8) | f[43]) == type) out.push_back(f);
        return out;
    }

private:
    std::mutex m_;
    std::vector<Clock::time_point> opened_;
    std::vector<Bytes> written_;
};

template <class Engine>
struct Linked {
    ScriptedLink* link;
    Recorder rec;
    std::unique_ptr<Engine> e;
    template <class... A>
    explicit Linked(A... a) {
        auto t = std::make_unique<ScriptedLink>();
        link = t.get();
        e = std::make_unique<Engine>(a..., std::move(t));
        e->setLogSink([](bool, const std::string&) {});
        e->registerCallback(&rec);
    }
    std::size_t updatesSeen() {
        std::lock_guard<std::mutex> g(rec.m);
        return rec.updates.size();
    }
};

RawMessage simReply(std::uint32_t firstServerId, const std::vector<std::string>& ids) {
    Bytes body = words({0, static_cast<std::uint32_t>(ids.size())});
    for (std::size_t i = 0; i < ids.size(); ++i) {
        Bytes entry = words({firstServerId + static_cast<std::uint32_t>(i), 0, 0, 1, 5});
        putId(entry, ids[i]);
        body = cat({body, entry});
    }
    return payload(4, 2, 0x0101, body);
}

// After a reconnect the inputs are registered again, and until the new connection's
// reply comes the server ids of the old one name nothing.
TEST(Reconnect, OldServerIdsAreForgottenWhenTheInputsAreRegisteredAgain) {
    Linked<SimulatorProtocol> f(1, AutoReconnect | Quiet);
    f.e->setReconnectPause(1ms);
    ASSERT_EQ(f.e->subscribeInputs({{"HR", TypeInteger, 0}, {"RR", TypeInteger, 0}}), ResultOk);
    ASSERT_EQ(f.e->connect(loopback(), 1, nullptr), ResultOk);
    ASSERT_TRUE(eventually([&] { return f.link->framesOfType(0x0001).size() == 1; }));
    f.e->handleMessage(simReply(10, {"HR", "RR"}));
    ASSERT_EQ(f.e->pendingInputs(), 0);
    const RawMessage oldUpdate = payload(4, 2, 0x0003, words({0, 0, 1, 10, 1, 80}));
    const std::size_t before = f.updatesSeen();
    f.e->handleMessage(oldUpdate);
    ASSERT_EQ(f.updatesSeen(), before + 1);

    f.link->drop = true;
    ASSERT_TRUE(eventually([&] { return f.link->framesOfType(0x0001).size() == 2; }));
    EXPECT_EQ(f.e->pendingInputs(), 2);  // both registrations unanswered
    f.e->handleMessage(oldUpdate);
    EXPECT_EQ(f.updatesSeen(), before + 1);  // an id of the old connection: not delivered
    f.e->handleMessage(simReply(30, {"HR"}));
    EXPECT_EQ(f.e->pendingInputs(), 1);
    f.e->disconnect();
}

// A link whose connections each deliver their own bytes; the first connections close
// after theirs, the last one stays open and quiet.
class ConnectionsLink : public CSCommsInterface {
public:
    explicit ConnectionsLink(std::vector<Bytes> perConnection) : streams_(std::move(perConnection)) {}

    ReadResult read(int count, RawMessage& target) override {
        std::lock_guard<std::mutex> g(m_);
        const Bytes& stream = streams_[current_];
        if (at_ == stream.size()) {
            if (current_ + 1 < streams_.size()) return ReadResult::Closed;
            std::this_thread::sleep_for(2ms);
            return ReadResult::TimedOut;
        }
        const std::size_t n = std::min(static_cast<std::size_t>(count), stream.size() - at_);
        target.appendBytes(stream.data() + at_, n);
        at_ += n;
        return ReadResult::Received;
    }
    int write(const RawMessage& m) override { return static_cast<int>(m.size()); }
    void close() override {}
    bool open(std::uint32_t, int) override {
        std::lock_guard<std::mutex> g(m_);
        if (opened_++ > 0 && current_ + 1 < streams_.size()) ++current_;
        at_ = 0;
        return true;
    }

private:
    std::mutex m_;
    std::vector<Bytes> streams_;
    std::size_t current_ = 0;
    std::size_t at_ = 0;
    int opened_ = 0;
};

// Half a frame from a connection that died is not read as the start of the next
// connection's first frame: the reply on the second connection binds the input.
TEST(Reconnect, HalfAFrameOfALostConnectionDoesNotLeakIntoTheNext) {
    const Bytes reply = frameBytes(simReply(10, {"HR"}).bytes());
    auto link = std::make_unique<ConnectionsLink>(std::vector<Bytes>{Bytes(reply.begin(), reply.begin() + 40), reply});
    Recorder rec;
    SimulatorProtocol e(1, AutoReconnect | Quiet, std::move(link));
    e.setLogSink([](bool, const std::string&) {});
    e.setReconnectPause(1ms);
    e.registerCallback(&rec);
    ASSERT_EQ(e.subscribeInputs({{"HR", TypeInteger, 0}}), ResultOk);
    ASSERT_EQ(e.connect(loopback(), 1, nullptr), ResultOk);
    ASSERT_TRUE(eventually([&] { return e.pendingInputs() == 0; }));
    e.disconnect();
    std::lock_guard<std::mutex> g(rec.m);
    ASSERT_EQ(rec.updates.size(), 1u);
    EXPECT_EQ(rec.updates[0].at(0).id, "HR");
    EXPECT_EQ(rec.updates[0].at(0).asInt(), 5);
}

// A lost Ready link waits the reconnect pause before its next attempt.
TEST(Reconnect, TheNextConnectionAfterALostReadyLinkWaitsThePause) {
    constexpr auto kPause = 300ms;
    Linked<SimulatorProtocol> f(1, AutoReconnect | Quiet);
    f.e->setReconnectPause(kPause);
    ASSERT_EQ(f.e->connect(loopback(), 1, nullptr), ResultOk);
    ASSERT_TRUE(eventually([&] { return f.e->getState() == Ready; }));
    const auto dropped = Clock::now();
    f.link->drop = true;
    ASSERT_TRUE(eventually([&] { return f.link->opened().size() == 2; }));
    EXPECT_GE(f.link->opened()[1] - dropped, kPause);
    f.e->disconnect();
}

std::vector<ParameterRequest> inputs(int n) {
    std::vector<ParameterRequest> v;
    for (int i = 0; i < n; ++i) v.push_back({"P" + std::to_string(i), TypeFloat, 0});
    return v;
}

// kMaxRecordsPerSubscription entries go out as one frame; one more is split.
TEST(AppSubscriptionSize, TheLimitGoesOutWholeOneMoreIsSplit) {
    for (const std::size_t n : {AppProtocol::kMaxRecordsPerSubscription, AppProtocol::kMaxRecordsPerSubscription + 1}) {
        SCOPED_TRACE(n);
        Linked<AppProtocol> f(Quiet);
        ASSERT_EQ(f.e->connect(loopback(), 1, nullptr), ResultOk);
        ASSERT_TRUE(eventually([&] { return f.e->getState() == Connected; }));  // no flow-control reply: stays
        f.e->handleMessage(payload(1, 2, 0x0102, words({0, 1, 9})));                // SCE 9 announced
        ASSERT_EQ(f.e->subscribeInputs(inputs(static_cast<int>(n))), ResultOk);
        const auto subs = f.link->framesOfType(0x0006);
        std::vector<std::uint32_t> counts;
        for (const Bytes& s : subs) counts.push_back(wordAt(s, wire::kFrameHeaderLength + 16));
        if (n == AppProtocol::kMaxRecordsPerSubscription)
            EXPECT_EQ(counts, std::vector<std::uint32_t>{120});
        else
            EXPECT_EQ(counts, (std::vector<std::uint32_t>{60, 61}));
        f.e->disconnect();
    }
}

}  // namespace
