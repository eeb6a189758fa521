// The decoding of incoming payloads into structs (no registry, no callbacks), and
// the registry binding of what a reply names.
#include <gtest/gtest.h>

#include "simlink/app_protocol.h"
#include "simlink/decode.h"
#include "simlink/simulator_protocol.h"
#include "test_support.h"

using namespace com_krel;
using namespace simlink_test;

namespace {

using Strings = std::vector<std::string>;

TEST(SimDecode, FieldsAtTheirOffsets) {
    Bytes entry = words({11, 0xAAAAAAAA, 0xBBBBBBBB, 7, 80});
    putId(entry, "HR");
    const auto reply = sim::decode(payload(4, 2, 0x0101, cat({words({0, 2}), entry})));
    const auto* r = std::get_if<sim::InputReply>(&reply);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->entries.size(), 1u);  // the count says 2, one entry lies inside
    EXPECT_EQ(r->entries[0].serverId, 11u);
    EXPECT_EQ(r->entries[0].valueKind, 7u);
    EXPECT_EQ(r->entries[0].value, 80u);
    EXPECT_EQ(r->entries[0].id, "HR");

    Bytes out = words({31, 1, 2, 3});
    putId(out, "OUT");
    const auto outputs = sim::decode(payload(4, 2, 0x0102, cat({words({0, 1}), out})));
    ASSERT_TRUE(std::holds_alternative<sim::OutputReply>(outputs));
    EXPECT_EQ(std::get<sim::OutputReply>(outputs).entries.at(0).id, "OUT");

    Bytes text(128, 'V');  // no NUL: taken whole
    const auto info = sim::decode(payload(4, 2, 0x0106, cat({words({0x00020000}), text, words({3, 1})})));
    const auto& i = std::get<sim::ServerInfo>(info);
    EXPECT_EQ(i.simulatorWord, 0x00020000u);
    EXPECT_EQ(i.version, std::string(128, 'V'));
    EXPECT_EQ(i.protocolVersion, 3u);
    EXPECT_EQ(i.validity, 1u);

    // Ignored: another family or service, an unknown type, a short payload.
    for (const RawMessage& m : {payload(1, 2, 0x0003, words({0, 0, 0})), payload(4, 1, 0x0003, words({0, 0, 0})),
                                payload(4, 2, 0x0777, {}), RawMessage(KindApplication)})
        EXPECT_TRUE(std::holds_alternative<std::monostate>(sim::decode(m)));
}

TEST(AppDecode, LengthRulesAndStatusWords) {
    struct Case {
        const char* name;
        RawMessage m;
        std::uint32_t status;  // of the event or announcement; ~0u: ignored
    } cases[] = {
        {"announcement of 24 bytes has no status", payload(1, 2, 0x0102, words({0, 42, 9})), 0},
        {"announcement of 28 bytes", payload(1, 2, 0x0102, words({0, 42, 9, 6})), 6},
        {"announcement of 20 bytes", payload(1, 2, 0x0102, words({0, 42})), ~0u},
        {"event 0x0112, status at 16", payload(1, 3, 0x0112, words({9, 1})), 1},
        {"event 0x0111, status at 20", payload(1, 3, 0x0111, words({9, 77, 5})), 5},
        {"speed event of 20 bytes", payload(1, 3, 0x0117, words({9, 0})), ~0u},
        {"speed event, status at 20", payload(1, 3, 0x0117, words({9, 0, 4})), 4},
        {"event 0x0116", payload(1, 3, 0x0116, words({9, 1})), ~0u},
        {"end notice of 16 bytes", payload(1, 2, 0x0103, words({4})), ~0u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto decoded = app::decode(c.m);
        if (c.status == ~0u) {
            EXPECT_TRUE(std::holds_alternative<std::monostate>(decoded));
        } else if (const auto* e = std::get_if<app::SceEvent>(&decoded)) {
            EXPECT_EQ(e->status, c.status);
            EXPECT_EQ(e->sceId, 9u);
        } else {
            const auto& a = std::get<app::SceAnnouncement>(decoded);
            EXPECT_EQ(a.hasStatus, c.m.size() == 28);
            EXPECT_EQ(a.status, c.status);
            EXPECT_EQ(a.sceId, 9u);
            EXPECT_EQ(a.patientId, 42u);
        }
    }
    RawMessage flow(KindFlowControl);
    flow.bytes() = words({1, 0, 0, 0, 0});
    EXPECT_EQ(std::get<app::FlowControlReply>(app::decode(flow)).word, 1u);
    Bytes list = words({2, 9, 6, 5});
    putF32(list, 8.0f);
    const auto decoded = app::decode(payload(1, 1, 0x0002, list));
    const auto& p = std::get<app::PatientList>(decoded);
    EXPECT_EQ(p.count, 2u);
    EXPECT_EQ(p.state, app::PatientList::kStarted);
    EXPECT_EQ(p.speed, 8.0f);
}

// ---- registry binding -------------------------------------------------------------------

template <class Engine>
struct Bound : EngineFixture<Engine> {
    using EngineFixture<Engine>::EngineFixture;
    using EngineFixture<Engine>::e;
    using EngineFixture<Engine>::rec;
    // How many values the update delivered in one parametersUpdated (0: none).
    std::size_t delivered(const RawMessage& update) {
        rec.updates.clear();
        e->handleMessage(update);
        return rec.updates.empty() ? 0 : rec.updates[0].size();
    }
};

// Both engines' replies bind through the registry (registry_test.cpp has its rules):
// a parameter registered again and again holds one server id, and an update names it.
TEST(ServerIdBinding, AppInputsAndOutputsOfBothEngines) {
    Bound<AppProtocol> app(Quiet);
    app.e->handleMessage(payload(1, 2, 0x0102, words({0, 1, 9})));  // SCE 9
    ASSERT_EQ(app.e->subscribeInputs({{"HRPM", TypeInteger, 0}}), ResultOk);
    ASSERT_EQ(app.e->subscribeOutputs({{"O", TypeInteger, 0, false, 0, false}}), ResultOk);
    for (std::uint32_t serverId = 1; serverId <= 50; ++serverId) {
        Bytes in = words({serverId, 0, 0});
        putF32(in, 72.0f);
        putId(in, "HRPM");
        app.e->handleMessage(payload(1, 2, 0x0106, cat({words({9, 1}), in})));
        Bytes out = words({serverId + 1000, 0, 0});
        putId(out, "O");
        app.e->handleMessage(payload(1, 2, 0x0107, cat({words({9, 1}), out})));
        ASSERT_EQ(app.e->pendingInputs(), 0);
        ASSERT_EQ(app.e->pendingOutputs(), 0);
    }
    Bytes update = words({0, 0, 2, 49});
    putF32(update, 80.0f);
    put32(update, 50);
    putF32(update, 81.0f);
    ASSERT_EQ(app.delivered(payload(1, 2, 0x0008, update)), 1u);
    EXPECT_EQ(app.rec.updates[0][0].asInt(), 81);

    Bound<SimulatorProtocol> sim(1, Quiet);
    ASSERT_EQ(sim.e->subscribeOutputs({{"O", TypeInteger, 0, false, 0, false}}), ResultOk);
    for (std::uint32_t serverId = 1; serverId <= 50; ++serverId) {
        Bytes out = words({serverId, 0, 0, 0});
        putId(out, "O");
        sim.e->handleMessage(payload(4, 2, 0x0102, cat({words({0, 1}), out})));
        ASSERT_EQ(sim.e->pendingOutputs(), 0);
    }
}

}  // namespace
