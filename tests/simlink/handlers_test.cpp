#include <gtest/gtest.h>

#include "simlink/app_protocol.h"
#include "simlink/simulator_protocol.h"
#include "simlink/wire.h"
#include "test_support.h"

#include <cmath>

using namespace com_krel;
using namespace simlink_test;
using com_krel::wire::floatBits;

namespace {

using Strings = std::vector<std::string>;

template <class Engine>
using Fixture = EngineFixture<Engine>;

Bytes simInputEntry(std::uint32_t serverId, std::uint32_t kind, std::uint32_t value, const std::string& id) {
    Bytes b = words({serverId, 0xAAAAAAAA, 0xBBBBBBBB, kind, value});
    putId(b, id);
    return b;
}

TEST(Subscribe, ValidationRulesAndMessages) {
    const std::string id31(31, 'X'), id32(32, 'Y');
    struct Case {
        std::vector<ParameterRequest> list;
        int result;
        std::string error;
        std::size_t heldAfter;
    } cases[] = {
        {{}, ResultOk, "", 0},
        {{{id31, TypeFloat, 0}}, ResultOk, "", 1},
        {{{"A", TypeInvalid, 0}}, ResultInvalid, "Subscription type of parameter id string 'A' is invalid!", 0},
        {{{id32, TypeFloat, 0}}, ResultInvalid, "Length of parameter id string '" + id32 + "' exceeds maximum 32", 0},
        {{{"B", TypeFloat, 0}, {"C", TypeInteger, 0}, {"B", TypeFloat, 1}}, ResultInvalid,
         "Parameter 'B' is requested more than once in the same subscription call.", 0},
        // Entries before a failing one stay held, unsent.
        {{{"D", TypeFloat, 0}, {"E", TypeInvalid, 0}}, ResultInvalid,
         "Subscription type of parameter id string 'E' is invalid!", 1},
    };
    for (auto& c : cases) {
        Fixture<SimulatorProtocol> f(1, Quiet);
        EXPECT_EQ(f.e->subscribeInputs(c.list), c.result);
        EXPECT_EQ(f.lines.all(true), c.error.empty() ? Strings{} : Strings{c.error});
        EXPECT_EQ(static_cast<std::size_t>(f.e->pendingInputs()), c.heldAfter);
    }
    Fixture<SimulatorProtocol> f(1, 0);
    ASSERT_EQ(f.e->subscribeInputs({{"A", TypeFloat, 0}}), ResultOk);
    EXPECT_EQ(f.e->subscribeInputs({{"A", TypeFloat, 0}}), ResultInvalid);
    EXPECT_EQ(f.lines.all(true), Strings{"Parameter 'A' already registered."});
}

TEST(Callbacks, RegisteredOnceAndCalledInPointerOrder) {
    SimulatorProtocol e(1, Quiet, std::make_unique<ScriptedTransport>());
    struct Order : CSClient::CallbackIface {
        std::vector<int>* log;
        int n;
        void parametersUpdated(const std::vector<ParameterValue>&) override { log->push_back(n); }
    };
    std::vector<int> log;
    Order cbs[3];
    for (int i = 0; i < 3; ++i) cbs[i] = Order{}, cbs[i].log = &log, cbs[i].n = i;
    EXPECT_TRUE(e.registerCallback(&cbs[2]));
    EXPECT_TRUE(e.registerCallback(&cbs[0]));
    EXPECT_FALSE(e.registerCallback(&cbs[0]));
    EXPECT_TRUE(e.registerCallback(&cbs[1]));
    e.handleMessage(payload(4, 2, 0x0101, words({0})));
    EXPECT_EQ(log, (std::vector<int>{0, 1, 2}));
}

TEST(SimHandlers, RepliesAndUpdates) {
    Fixture<SimulatorProtocol> f(1, 0);
    ASSERT_EQ(f.e->subscribeInputs({{"HR", TypeInteger, 0}, {"SAO2", TypeFloat, 0}}), ResultOk);
    // Three entries, one never subscribed; value kind 7 reads as an integer.
    Bytes body = words({3});
    Bytes e1 = simInputEntry(11, 7, 80, "HR"), e2 = simInputEntry(12, 0, floatBits(97.5f), "SAO2"),
          e3 = simInputEntry(13, 0, 0, "OTHER");
    body = cat({words({0}), body, e1, e2, e3});  // word 12 unused, count at 16
    f.e->handleMessage(payload(4, 2, 0x0101, body));
    EXPECT_EQ(f.lines.count("Successful registration of SE input "), 2u);
    EXPECT_EQ(f.rec.take(), (Strings{"registered 2", "updated 2"}));
    EXPECT_EQ(f.rec.updates[0][0].id, "HR");
    EXPECT_EQ(f.rec.updates[0][0].type, TypeInteger);
    EXPECT_EQ(f.rec.updates[0][0].asInt(), 80);
    EXPECT_EQ(f.rec.updates[0][1].asFloat(), 97.5f);
    EXPECT_EQ(f.e->pendingInputs(), 0);

    struct Case {
        const char* name;
        RawMessage m;
        std::size_t delivered;
    } cases[] = {
        {"update of both", payload(4, 2, 0x0003, cat({words({0, 0, 2}), words({11, 1, 81, 12, 0, floatBits(96.0f)})})), 2},
        {"unknown and zero ids skipped", payload(4, 2, 0x0003, cat({words({0, 0, 3}), words({99, 1, 1, 0, 1, 1, 11, 1, 5})})), 1},
        {"count 0", payload(4, 2, 0x0003, words({0, 0, 0})), 0},
        {"count beyond the payload", payload(4, 2, 0x0003, cat({words({0, 0, 1000}), words({11, 1, 5})})), 1},
        {"service 1", payload(4, 1, 0x0003, cat({words({0, 0, 1}), words({11, 1, 5})})), 0},
        {"family 1", payload(1, 2, 0x0003, cat({words({0, 0, 1}), words({11, 1, 5})})), 0},
        {"unknown type", payload(4, 2, 0x0777, cat({words({0, 0, 1}), words({11, 1, 5})})), 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        f.rec.updates.clear();
        f.e->handleMessage(c.m);
        if (c.delivered == 0) {
            EXPECT_TRUE(f.rec.updates.empty());
        } else {
            ASSERT_EQ(f.rec.updates.size(), 1u);
            EXPECT_EQ(f.rec.updates[0].size(), c.delivered);
        }
    }
    RawMessage tiny(KindApplication);
    tiny.bytes() = {0x04};  // a 33-byte frame's payload: ignored
    f.e->handleMessage(tiny);
}

Bytes infoReply(std::uint32_t simWordValue, const std::string& version, std::uint32_t protocol, std::uint32_t validity) {
    Bytes b = words({simWordValue});
    Bytes text(128, 0);
    std::copy(version.begin(), version.end(), text.begin());
    return cat({b, text, words({protocol, validity})});
}

TEST(SimHandlers, ServerInformationAndSimulatorIdChange) {
    Fixture<SimulatorProtocol> f(1, 0);
    f.e->handleMessage(payload(4, 2, 0x0106, infoReply(0x00010000, "7.1", 3, 0)));
    EXPECT_EQ(f.e->serverVersion(), "UNKNOWN");
    EXPECT_TRUE(f.lines.all(false).empty());

    f.e->handleMessage(payload(4, 2, 0x0106, infoReply(0x00010000, "7.1", 3, 1)));
    EXPECT_EQ(f.lines.all(false), (Strings{"Found server version: 7.1", "Found simulator id: 1", "Found protocol version: 3"}));
    EXPECT_EQ(f.e->protocolVersion(), 3);

    struct Case {
        std::uint32_t word;
        int idAfter;
    } cases[] = {{0x00020000, 2}, {0x80010000, 2}};
    for (auto& c : cases) {
        f.lines.out.clear();
        f.e->handleMessage(payload(4, 2, 0x0106, infoReply(c.word, std::string(128, 'V'), 3, 1)));
        const int announced = static_cast<int>(c.word >> 16);
        EXPECT_EQ(f.lines.count("Simulator ID is now " + std::to_string(announced) + " -> reconnecting under the new id"), 1u);
        EXPECT_EQ(f.e->simulatorId(), c.idAfter);
        EXPECT_EQ(f.e->serverVersion(), std::string(128, 'V'));
    }
}

// ---- APP ---------------------------------------------------------------------------------

Bytes appInputEntry(std::uint32_t serverId, float value, const std::string& id) {
    Bytes b = words({serverId, 0, 0});
    putF32(b, value);
    putId(b, id);
    return b;
}

TEST(AppHandlers, SceNoticesAndEvents) {
    Fixture<AppProtocol> f(Quiet);
    auto speed = [](std::uint32_t sce, float s, std::uint32_t status) {
        Bytes b = words({sce});
        putF32(b, s);
        return payload(1, 3, 0x0117, cat({b, words({status})}));
    };
    struct Case {
        const char* name;
        RawMessage m;
        Strings callbacks;
        int sce, patient, detail, run;
    } cases[] = {
        {"announce 24 bytes", payload(1, 2, 0x0102, words({0, 42, 9})), {"adopted 9 42 0"}, 9, 42, 0, 1},
        {"announce 28 bytes failed", payload(1, 2, 0x0102, words({0, 43, 10, 0})), {"status 10 43 0 6"}, 9, 42, 0, 1},
        {"announce too short", payload(1, 2, 0x0102, words({0, 44})), {}, 9, 42, 0, 1},
        {"detail other sce", payload(1, 2, 0x0150, words({50, 51, 8, 1})), {}, 9, 42, 0, 1},
        {"detail", payload(1, 2, 0x0150, words({50, 51, 9, 1})), {}, 9, 50, 51, 1},
        {"started 0x0112", payload(1, 3, 0x0112, words({9, 1})), {"status 9 50 51 0"}, 9, 50, 51, 3},
        {"paused 0x0113", payload(1, 3, 0x0113, words({9, 1})), {"run 9 2 0"}, 9, 50, 51, 2},
        {"speed 8", speed(9, 8.0f, 1), {"run 9 5 0"}, 9, 50, 51, 5},
        {"speed unknown", speed(9, 2.0f, 1), {}, 9, 50, 51, 5},
        {"speed other sce", speed(3, 4.0f, 1), {"run 3 4 0"}, 9, 50, 51, 5},
        {"event 0x0115 failed", payload(1, 3, 0x0115, words({9, 0})), {"event 9 50 51 6"}, 9, 50, 51, 5},
        {"event too short", payload(1, 3, 0x0115, words({9})), {}, 9, 50, 51, 5},
        {"event 0x0116 ignored", payload(1, 3, 0x0116, words({9, 1})), {}, 9, 50, 51, 5},
        {"cleared 0x0114", payload(1, 3, 0x0114, words({9, 1})), {"cleared 9 50 51 0"}, 0, 0, 0, 0},
        {"0x0111 failure", payload(1, 3, 0x0111, words({4, 77, 0})), {"status 4 77 0 6"}, 0, 0, 0, 0},
        {"0x0111", payload(1, 3, 0x0111, words({4, 77, 1})), {}, 4, 77, 0, 2},
        {"end notice with error", payload(1, 2, 0x0103, words({4, 1})), {}, 4, 77, 0, 2},
        {"end notice", payload(1, 2, 0x0103, words({4, 0})), {"status 4 77 0 6"}, 0, 0, 0, 2},
        // Dispatch is on the service byte; the family byte is not looked at.
        {"family 9", payload(9, 2, 0x0102, words({0, 5, 6})), {"adopted 6 5 0"}, 6, 5, 0, 1},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        f.e->handleMessage(c.m);
        EXPECT_EQ(f.rec.take(), c.callbacks);
        EXPECT_EQ(f.e->sceId(), c.sce);
        EXPECT_EQ(f.e->patientId(), c.patient);
        EXPECT_EQ(f.e->sceDetail(), c.detail);
        EXPECT_EQ(f.e->runState(), c.run);
    }
}

TEST(AppHandlers, PatientListWhileNotConnected) {
    Fixture<AppProtocol> f(0);
    auto list = [](std::uint32_t n, std::uint32_t state, float spd) {
        Bytes b = words({n, 5, 6, state});
        putF32(b, spd);
        return payload(1, 1, 0x0002, b);
    };
    struct Case {
        RawMessage m;
        int run;
        const char* error;
    } cases[] = {
        {list(1, 5, 1.0f), 3, nullptr},
        {list(1, 5, 0.0f), 2, nullptr},
        {list(1, 5, 8.0f), 5, nullptr},
        {list(1, 4, 8.0f), 0, nullptr},
        {list(1, 5, 2.0f), 4, "Patient started but unknown speed 2. Reporting as 4x"},
        {list(2, 5, 4.0f), 4, "Warning, multiple patients in a patient list response: 2. Handling only the first one!"},
    };
    for (auto& c : cases) {
        f.lines.err.clear();
        f.e->handleMessage(c.m);
        EXPECT_EQ(f.e->runState(), c.run);
        EXPECT_EQ(f.e->sceId(), 5);
        EXPECT_EQ(f.lines.all(true), c.error ? Strings{c.error} : Strings{});
        EXPECT_EQ(f.rec.take(), Strings{"none"});  // not Connected: no active SCE reported
    }
}

TEST(AppHandlers, InputReplyAndUpdates) {
    Fixture<AppProtocol> f(0);
    ASSERT_EQ(f.e->subscribeInputs({{"HRPM", TypeInteger, 0}, {"SAO2", TypeFloat, 0}}), ResultOk);
    EXPECT_EQ(f.e->pendingInputs(), 2);
    f.e->handleMessage(payload(1, 2, 0x0102, words({0, 1, 9})));  // SCE 9 active
    f.rec.take();
    // A reply for another SCE is ignored.
    f.e->handleMessage(payload(1, 2, 0x0106, cat({words({7, 1}), appInputEntry(21, 80.9f, "HRPM")})));
    EXPECT_TRUE(f.rec.take().empty());
    f.e->handleMessage(payload(1, 2, 0x0106, cat({words({9, 3}), appInputEntry(21, -80.9f, "HRPM"),
                                                   appInputEntry(22, 97.0f, "SAO2"), appInputEntry(23, 1.0f, "NOPE")})));
    EXPECT_EQ(f.rec.take(), (Strings{"registered 2", "updated 2"}));
    EXPECT_EQ(f.lines.count("Successful registration of APP input "), 2u);
    EXPECT_EQ(f.rec.updates[0][0].asInt(), -80);  // truncated toward zero
    EXPECT_EQ(f.rec.updates[0][1].asFloat(), 97.0f);

    auto update = [](std::uint32_t mode, std::initializer_list<std::pair<std::uint32_t, float>> es) {
        Bytes b = words({0, mode, static_cast<std::uint32_t>(es.size())});
        for (auto& e : es) {
            put32(b, e.first);
            putF32(b, e.second);
        }
        return payload(1, 2, 0x0008, b);
    };
    struct Case {
        RawMessage m;
        std::size_t delivered;
        int flagged;
    } cases[] = {
        {update(0, {{21, 72.0f}, {22, 95.5f}, {99, 1.0f}}), 2, 0},
        {update(2, {{21, 3e10f}, {22, NAN}}), 2, 1},
        {update(1, {{21, 72.0f}}), 0, 0},
        {update(0, {}), 0, 0},
    };
    for (auto& c : cases) {
        f.rec.updates.clear();
        f.e->handleMessage(c.m);
        ASSERT_EQ(f.rec.updates.size(), c.delivered ? 1u : 0u);
        if (!c.delivered) continue;
        ASSERT_EQ(f.rec.updates[0].size(), c.delivered);
        for (const auto& v : f.rec.updates[0]) EXPECT_EQ(v.flagged, c.flagged);
    }
    // An end of SCE makes every subscription pending again.
    f.e->handleMessage(payload(1, 3, 0x0114, words({9, 1})));
    EXPECT_EQ(f.e->pendingInputs(), 2);
}

// Output replies, alike in both engines: an id not held is reported, the others take
// their server ids, and a record flagged for it is published at once.
template <class Engine>
void checkOutputReply(Fixture<Engine>& f, std::uint8_t family, std::uint16_t type, std::uint32_t word12,
                      std::size_t gap, const std::string& what) {
    const std::vector<OutputRecord> outs{{"A", TypeInteger, 0, true, 7, false}, {"B", TypeFloat, 0, false, 0, false}};
    ASSERT_EQ(f.e->subscribeOutputs(outs), ResultOk);
    EXPECT_EQ(f.e->pendingOutputs(), 2);
    auto entry = [&](std::uint32_t serverId, const std::string& id) {
        Bytes b = words({serverId});
        b.insert(b.end(), gap, 0xAA);  // the words between the server id and the id
        putId(b, id);
        return b;
    };
    f.rec.take();
    f.e->handleMessage(payload(family, 2, type, cat({words({word12, 3}), entry(31, "A"), entry(33, "NOPE"),
                                                     entry(32, "B")})));
    EXPECT_EQ(f.rec.take(), Strings{"outputs 2"});
    EXPECT_EQ(f.e->pendingOutputs(), 0);
    EXPECT_EQ(f.lines.count("Successful registration of " + what + " A as ID 31"), 1u);
    EXPECT_EQ(f.lines.count("Successful registration of " + what + " B as ID 32"), 1u);
    EXPECT_EQ(f.lines.all(true), Strings{"Parameter not found: NOPE(33)"});
}

TEST(OutputReplies, RegisteredReportedAndPublished) {
    {
        SCOPED_TRACE("SIM");
        Fixture<SimulatorProtocol> f(1, 0);
        checkOutputReply(f, 4, 0x0102, 0, 12, "SE output");
        EXPECT_EQ(f.lines.count("Publish int parameter A=7"), 1u);  // only A is flagged
        EXPECT_EQ(f.lines.count("Publish "), 1u);
    }
    SCOPED_TRACE("APP");
    Fixture<AppProtocol> f(0);
    f.e->handleMessage(payload(1, 2, 0x0102, words({0, 1, 9})));  // SCE 9 active
    checkOutputReply(f, 1, 0x0107, 9, 8, "APP output");
    // A reply for another SCE is ignored.
    f.e->handleMessage(payload(1, 2, 0x0107, cat({words({8, 1}), words({40, 0, 0}), Bytes(32, 'A')})));
    EXPECT_TRUE(f.rec.take().empty());
}

}  // namespace
