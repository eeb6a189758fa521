// The messages the client sends, against bytes written out by hand from the message
// tables: whole frames for the framing, payloads for the rest.
#include <gtest/gtest.h>

#include "simlink/encode.h"
#include "simlink/wire.h"
#include "test_support.h"

using namespace com_krel;
using namespace simlink_test;

namespace {

Bytes ffs(int n, std::uint8_t last = 0xFF) {
    Bytes b(static_cast<std::size_t>(n), 0xFF);
    b.back() = last;
    return b;
}

// The whole frame of an application payload: frame header, payload header, body.
Bytes appFrame(std::uint8_t family, std::uint8_t service, std::uint16_t type, const Bytes& body) {
    const auto payloadLength = static_cast<std::uint32_t>(12 + body.size());
    return cat({words({32 + payloadLength, 32, 0, 0}), ffs(16), appHeader(family, service, type, payloadLength), body});
}

TEST(Encode, SimSubscribeInputsFrameOfOneIntegerInput) {
    const std::vector<InputRecord> recs{{"HW_PATSPEED", TypeInteger, 1, kUnassignedServerId}};
    const RawMessage f = wire::frame(sim::buildInputSubscription(1, recs));
    Bytes expect = cat({words({96, 32, 0, 0}), ffs(16),
                        {0x04, 0x02, 0x7F, 0xFF, 0x00, 0x00, 0x00, 0x40, 0x00, 0x7F, 0x00, 0x01},
                        words({0x00010000, 1, 12000, 12000, 1})});
    putId(expect, "HW_PATSPEED");
    ASSERT_EQ(expect.size(), 96u);
    EXPECT_EQ(f.bytes(), expect);
}

TEST(Encode, FlowControlFramesHaveClassThreeAndNoLengthWord) {
    const RawMessage f = wire::frame(app::buildFlowControlRequest());
    const Bytes expect = cat({words({52, 32, 3, 2}), ffs(16, 0xFE), words({0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 3})});
    EXPECT_EQ(f.bytes(), expect);
    const RawMessage p = wire::frame(app::buildFlowControlPeriodic());
    EXPECT_EQ(p.bytes(), cat({words({52, 32, 3, 2}), ffs(16, 0xFE),
                              words({3, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF})}));
}

TEST(Encode, AppRequestsPayloads) {
    std::vector<InputRecord> in{{"ARTLINE", TypeFloat, 1, kUnassignedServerId},
                                {"HRPM", TypeInteger, 3, kUnassignedServerId}};
    Bytes inBody = words({9, 2, 12000, 0});
    putId(inBody, "ARTLINE");
    Bytes in2 = words({120000, 0});
    putId(in2, "HRPM");
    inBody.insert(inBody.end(), in2.begin(), in2.end());

    std::vector<OutputRecord> out{{"OUT", TypeInteger, 77, false, static_cast<std::uint32_t>(-5), false}};
    Bytes outBody = words({9, 1, 1200});
    putId(outBody, "OUT");
    Bytes pubBody = words({9, 2, 1, 77});
    putF32(pubBody, -5.0f);

    struct Case {
        const char* name;
        RawMessage m;
        std::uint8_t service;
        std::uint16_t type;
        Bytes body;
    } cases[] = {
        {"patient list", app::buildPatientListRequest(), 1, 0x0001, {}},
        {"all events", app::buildSubscribeAllEvents(), 1, 0x0020, words({0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF})},
        {"version", app::buildServerVersionRequest(), 2, 0x0051, words({0})},
        {"inputs", app::buildInputSubscription(9, in), 2, 0x0006, inBody},
        {"outputs", app::buildOutputSubscription(9, out), 2, 0x0007, outBody},
        {"unsubscribe inputs", app::buildInputUnsubscription(9, {5, 6}), 2, 0x0014, words({9, 2, 5, 6})},
        {"unsubscribe outputs", app::buildOutputUnsubscription(9, {7}), 2, 0x0015, words({9, 1, 7})},
        {"publish", app::buildPublish(app::kPublishOutputs, 9, 0, out), 2, 0x0008, words({9, 0, 1, 77, 0xC0A00000})},
        {"publish, alternate type", app::buildPublish(app::kPublishOutputsAlt, 9, 2, out), 2, 0x0038, pubBody},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(wire::frame(c.m).bytes(), appFrame(1, c.service, c.type, c.body));
    }
}

TEST(Encode, SimRequestsPayloads) {
    const std::vector<OutputRecord> out{{"OUT", TypeInteger, 77, false, static_cast<std::uint32_t>(-5), false},
                                        {"F", TypeFloat, 78, false, wire::floatBits(2.5f), false},
                                        {"X", TypeInvalid, 79, false, 1234, false}};
    Bytes outBody = words({0x00030000, 3});
    for (auto [isInt, id] : {std::pair<std::uint32_t, const char*>{1, "OUT"}, {0, "F"}, {0, "X"}}) {
        outBody = cat({outBody, words({1200, isInt})});
        putId(outBody, id);
    }
    // Value kind 1 with the integer, 0 with the float's bits; an invalid type as float 0.
    const Bytes pubBody = words({0x00030000, 2, 3, 77, 1, 0xFFFFFFFB, 78, 0, 0x40200000, 79, 0, 0});
    struct Case {
        const char* name;
        RawMessage m;
        std::uint16_t type;
        Bytes body;
    } cases[] = {
        {"outputs", sim::buildOutputSubscription(3, out), 0x0002, outBody},
        {"publish", sim::buildPublish(3, 2, out), 0x0003, pubBody},
        {"unsubscribe inputs", sim::buildInputUnsubscription(3, {5, 6}), 0x0004, words({0x00030000, 2, 5, 6})},
        {"unsubscribe outputs", sim::buildOutputUnsubscription(3, {}), 0x0005, words({0x00030000, 0})},
        {"server information", sim::buildServerInfoRequest(0x7FFF), 0x0006, words({0x7FFF0000, 0})},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(wire::frame(c.m).bytes(), appFrame(4, 2, c.type, c.body));
    }
}

}  // namespace
