// The simulator server's responder, fed request payloads directly (no sockets): its
// answers and updates are compared with frames written by hand from the protocol
// tables.

#include "emulators/sim_server/responder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace halvex::emulators::sim_server;

namespace {

void be32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}
void id32(Bytes& b, const std::string& id) {
    b.insert(b.end(), id.begin(), id.end());
    b.insert(b.end(), 32 - id.size(), 0);
}
// Application payload: family, service, 7F FF, length, 00 7F, type, then the body.
Bytes appPayload(std::uint8_t family, std::uint8_t service, std::uint16_t type, const Bytes& body) {
    Bytes p{family, service, 0x7F, 0xFF};
    be32(p, static_cast<std::uint32_t>(12 + body.size()));
    p.insert(p.end(), {0x00, 0x7F, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type)});
    p.insert(p.end(), body.begin(), body.end());
    return p;
}
// The whole frame: length, 32, class 0, argument 0, routing FF x 16, then the payload.
Bytes appFrame(const Bytes& payload) {
    Bytes f;
    be32(f, static_cast<std::uint32_t>(32 + payload.size()));
    be32(f, 32);
    be32(f, 0);
    be32(f, 0);
    f.insert(f.end(), 16, 0xFF);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

Responder::Settings settings() {
    Responder::Settings s;
    s.parameters = {{"HW_PATSPEED", Protocol::Sim, false, 3}, {"HRPM", Protocol::App, false, 72}};
    s.simulatorId = 7;
    s.versionText = "test server";
    s.patient.sceId = 9;
    return s;
}

TEST(SimServerEmulatorResponder, SimSubscriptionIsAnsweredAndThenUpdated) {
    Responder responder(settings());
    Responder::Client client(Protocol::Sim);

    // Subscribe HW_PATSPEED (client reference 42, word 5 at +8) and an id not offered.
    Bytes body;
    be32(body, 0);
    be32(body, 2);
    for (const char* id : {"HW_PATSPEED", "NOPE"}) {
        be32(body, 42);
        be32(body, 0);
        be32(body, 5);
        id32(body, id);
    }
    const Responder::Answer answer = responder.answer(client, KindApplication, appPayload(4, 2, 0x0001, body));

    Bytes reply;
    be32(reply, 0x00070000);  // simulator id << 16
    be32(reply, 1);           // one entry
    be32(reply, 101);         // server id
    be32(reply, 42);
    be32(reply, 5);
    be32(reply, 1);           // integer
    be32(reply, 3);           // value
    id32(reply, "HW_PATSPEED");
    ASSERT_EQ(answer.frames.size(), 1u);
    EXPECT_EQ(answer.frames[0], appFrame(appPayload(4, 2, 0x0101, reply)));
    EXPECT_EQ(answer.event, "SIM client subscribed 1 ids (1 not offered)");

    const auto changes = responder.setValues({{"HW_PATSPEED", 4}, {"HRPM", 80}});
    ASSERT_TRUE(changes);
    EXPECT_EQ(changes->sim, (Responder::Entries{{101, 4}}));
    EXPECT_EQ(changes->app, (Responder::Entries{{102, 80}}));
    Bytes update;
    be32(update, 0x00070000);
    be32(update, 0);
    be32(update, 1);  // count
    be32(update, 101);
    be32(update, 1);
    be32(update, 4);
    EXPECT_EQ(responder.update(client, changes->sim), appFrame(appPayload(4, 2, 0x0003, update)));
    EXPECT_FALSE(responder.update(client, changes->app)) << "not subscribed";

    EXPECT_FALSE(responder.setValues({{"HW_PATSPEED", 5}, {"HW_PATSPEED", 0.5}})) << "an integer takes whole numbers";
    EXPECT_EQ(responder.parameter("HW_PATSPEED")->value, 4) << "a refused batch changes nothing";
}

TEST(SimServerEmulatorResponder, AppSubscriptionsFollowTheActiveSce) {
    Responder responder(settings());
    Responder::Client client(Protocol::App);
    const auto subscribe = [&](std::uint32_t sce) {
        Bytes body;
        be32(body, sce);
        be32(body, 1);
        be32(body, 17);  // client reference
        be32(body, 0);
        id32(body, "HRPM");
        return responder.answer(client, KindApplication, appPayload(1, 2, 0x0006, body));
    };

    const Responder::Answer refused = subscribe(8);
    EXPECT_TRUE(refused.frames.empty());
    EXPECT_EQ(refused.event, "APP client subscribed for SCE 8, which is not active; ignored");

    const Responder::Answer answer = subscribe(9);
    Bytes reply;
    be32(reply, 9);
    be32(reply, 1);
    be32(reply, 102);
    be32(reply, 17);
    be32(reply, 0);
    be32(reply, 0x42900000);  // 72.0f
    id32(reply, "HRPM");
    ASSERT_EQ(answer.frames.size(), 1u);
    EXPECT_EQ(answer.frames[0], appFrame(appPayload(1, 2, 0x0106, reply)));

    // Ending the SCE leaves no patient: APP values are no longer sent.
    const Responder::SceNotice ended = responder.sceEvent(SceEvent::Ended, 9, 1, 0, 0.0f);
    Bytes event;
    be32(event, 9);
    be32(event, 1);
    EXPECT_EQ(ended.frame, appFrame(appPayload(1, 3, 0x0114, event)));
    EXPECT_TRUE(ended.ended);
    EXPECT_EQ(responder.patient().count, 0u);
    EXPECT_FALSE(responder.update(client, {{102, 90}}));
}

}  // namespace
