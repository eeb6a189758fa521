#include <gtest/gtest.h>

#include "simlink/app_protocol.h"
#include "simlink/simulator_protocol.h"
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

TEST(WireOut, SimSubscribeInputsFrameOfOneIntegerInput) {
    const std::vector<InputRecord> recs{{"HW_PATSPEED", TypeInteger, 1, kUnassignedServerId}};
    const RawMessage f = wire::frame(SimulatorProtocol::buildInputSubscription(1, recs));
    Bytes expect = cat({words({96, 32, 0, 0}), ffs(16),
                        {0x04, 0x02, 0x7F, 0xFF, 0x00, 0x00, 0x00, 0x40, 0x00, 0x7F, 0x00, 0x01},
                        words({0x00010000, 1, 12000, 12000, 1})});
    putId(expect, "HW_PATSPEED");
    ASSERT_EQ(expect.size(), 96u);
    EXPECT_EQ(f.bytes(), expect);
}

TEST(WireOut, FlowControlFramesHaveClassThreeAndNoLengthWord) {
    const RawMessage f = wire::frame(AppProtocol::buildFlowControlRequest());
    const Bytes expect = cat({words({52, 32, 3, 2}), ffs(16, 0xFE), words({0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 3})});
    EXPECT_EQ(f.bytes(), expect);
    const RawMessage p = wire::frame(AppProtocol::buildFlowControlPeriodic());
    EXPECT_EQ(p.bytes(), cat({words({52, 32, 3, 2}), ffs(16, 0xFE),
                              words({3, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF})}));
}

TEST(WireOut, KindZeroIsNotFramed) {
    EXPECT_EQ(wire::frame(RawMessage(KindUnknown)).size(), 0u);
}

TEST(WireOut, AppRequestsPayloads) {
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
        {"patient list", AppProtocol::buildPatientListRequest(), 1, 0x0001, {}},
        {"all events", AppProtocol::buildSubscribeAllEvents(), 1, 0x0020, words({0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF})},
        {"version", AppProtocol::buildServerVersionRequest(), 2, 0x0051, words({0})},
        {"inputs", AppProtocol::buildInputSubscription(9, in), 2, 0x0006, inBody},
        {"outputs", AppProtocol::buildOutputSubscription(9, out), 2, 0x0007, outBody},
        {"unsubscribe", AppProtocol::buildServerIds(0x0014, 9, {5, 6}), 2, 0x0014, words({9, 2, 5, 6})},
        {"publish", AppProtocol::buildPublish(0x0038, 9, 2, out), 2, 0x0038, pubBody},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RawMessage f = wire::frame(c.m);
        const auto payloadLength = static_cast<std::uint32_t>(12 + c.body.size());
        const Bytes expect = cat({words({32 + payloadLength, 32, 0, 0}), ffs(16), appHeader(1, c.service, c.type, payloadLength), c.body});
        EXPECT_EQ(f.bytes(), expect);
    }
}

TEST(WireOut, IdFieldOf31CharactersEndsWithOneNul) {
    const std::string id(31, 'A');
    RawMessage m(KindApplication);
    wire::appendId(m, id);
    Bytes expect(31, 'A');
    expect.push_back(0);
    EXPECT_EQ(m.bytes(), expect);
    EXPECT_EQ(wire::readText(m, 0, 32), id);
    // 32 bytes without a NUL are taken whole.
    RawMessage full(KindApplication);
    full.appendBytes(std::string(40, 'B').data(), 40);
    EXPECT_EQ(wire::readText(full, 4, 32), std::string(32, 'B'));
}

TEST(RawMessageReads, OutsideTheBufferReadAsZero) {
    RawMessage m(KindApplication);
    m.bytes() = {0x12, 0x34, 0x56};
    EXPECT_EQ(m.readU32(0), 0u);
    EXPECT_EQ(m.readU16(1), 0x3456u);
    EXPECT_EQ(m.readU16(2), 0u);
    EXPECT_EQ(m.readU32(1000), 0u);
    m.setU32(0, 7);  // does not fit: unchanged
    EXPECT_EQ(m.bytes(), (Bytes{0x12, 0x34, 0x56}));
    EXPECT_EQ(RawMessage().family(), 0);
}

// ---- reading -------------------------------------------------------------------------

struct ReadOutcome {
    wire::ReadResult result;
    RawMessage payload;
};

ReadOutcome readOne(ScriptedTransport& t, Lines& lines, bool keepWaiting = true) {
    ReadOutcome o{wire::ReadResult::Nothing, RawMessage()};
    o.result = wire::readFrame(t, false, lines.sink(), [&] { return keepWaiting; }, o.payload);
    return o;
}

TEST(WireRead, HeaderLengthLimits) {
    struct Case {
        std::uint32_t total;
        bool accepted;
    } cases[] = {{0, false}, {32, false}, {33, true}, {wire::kMaxFrameLength, true},
                 {wire::kMaxFrameLength + 1, false}, {0xFFFFFFFF, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.total);
        ScriptedTransport t;
        t.stream = cat({words({c.total, 32, 0, 0}), ffs(16), Bytes{0x04}});
        if (c.accepted) t.stream.resize(c.total, 0x5A);  // the whole frame arrives
        Lines lines;
        ReadOutcome o{wire::ReadResult::Nothing, RawMessage()};
        o.result = wire::readFrame(t, false, lines.sink(), [] { return true; }, o.payload);
        if (c.accepted) {
            EXPECT_EQ(o.result, wire::ReadResult::Message);
            ASSERT_EQ(o.payload.size(), c.total - 32);
            EXPECT_EQ(o.payload.bytes().front(), 0x04);
            EXPECT_TRUE(lines.all(true).empty());
        } else {
            EXPECT_EQ(o.result, wire::ReadResult::Lost);
            EXPECT_EQ(lines.all(true), std::vector<std::string>{"Invalid message data received (" +
                                                                std::to_string(c.total) + "). Closing connection."});
        }
    }
}

TEST(WireRead, ShortAndFailedHeaderReads) {
    struct Case {
        std::deque<int> script;
        std::size_t available;
        wire::ReadResult result;
        const char* line;
    } cases[] = {
        {{-2}, 32, wire::ReadResult::Nothing, nullptr},
        {{0}, 32, wire::ReadResult::Lost, "Connection closed by server."},
        {{-1}, 32, wire::ReadResult::Lost, "Read error. Closing connection."},
        {{}, 31, wire::ReadResult::Lost, "Couldn't read a complete header. Closing connection."},
    };
    for (auto& c : cases) {
        ScriptedTransport t;
        t.stream = frameBytes(words({1, 2}));
        t.stream.resize(c.available);
        t.script = c.script;
        Lines lines;
        EXPECT_EQ(readOne(t, lines).result, c.result);
        EXPECT_EQ(lines.all(true).size(), c.line ? 1u : 0u);
        if (c.line) {
            EXPECT_EQ(lines.all(true)[0], c.line);
        }
    }
}

TEST(WireRead, PayloadLossesAndTheirLines) {
    // Close during the payload reports on standard output, an error on standard error.
    for (int r : {0, -1}) {
        ScriptedTransport t;
        t.stream = frameBytes(words({1, 2, 3}));
        t.script = {32, 4, r};
        Lines lines;
        EXPECT_EQ(readOne(t, lines).result, wire::ReadResult::Lost);
        EXPECT_EQ(lines.count("Connection closed by server.", false), r == 0 ? 1u : 0u);
        EXPECT_EQ(lines.count("Read error. Closing connection.", true), r == -1 ? 1u : 0u);
    }
}

TEST(WireRead, TwoFramesInChunksOfEverySize) {
    const Bytes p1 = cat({appHeader(4, 2, 0x0003, 24), words({0, 0, 0})});
    const Bytes p2 = cat({appHeader(1, 3, 0x0112, 20), words({7, 1})});
    const Bytes stream = cat({frameBytes(p1), frameBytes(p2)});
    for (int chunk = 1; chunk <= static_cast<int>(stream.size()); ++chunk) {
        SCOPED_TRACE(chunk);
        ScriptedTransport t;
        t.stream = stream;
        t.chunk = chunk;
        Lines lines;
        ReadOutcome a = readOne(t, lines);
        ReadOutcome b = readOne(t, lines);
        ASSERT_EQ(a.result, wire::ReadResult::Message);
        ASSERT_EQ(b.result, wire::ReadResult::Message);
        EXPECT_EQ(a.payload.bytes(), p1);
        EXPECT_EQ(b.payload.bytes(), p2);
        EXPECT_EQ(a.payload.kind(), KindApplication);
    }
}

TEST(WireRead, TimeOutInsidePayloadResumesOrStopsWhenAsked) {
    const Bytes p = cat({appHeader(1, 2, 0x0151, 20), words({1, 2})});
    ScriptedTransport t;
    t.stream = frameBytes(p);
    t.script = {32, 5, -2, -2, 3, -2, 12};
    Lines lines;
    ReadOutcome o = readOne(t, lines);
    ASSERT_EQ(o.result, wire::ReadResult::Message);
    EXPECT_EQ(o.payload.bytes(), p);
    EXPECT_TRUE(lines.all(true).empty());

    ScriptedTransport s;  // the link is being stopped: the partial frame is dropped
    s.stream = frameBytes(p);
    s.script = {32, 5, -2};
    EXPECT_EQ(readOne(s, lines, false).result, wire::ReadResult::Nothing);
}

TEST(WireRead, FlowControlClassGivesKindTwo) {
    ScriptedTransport t;
    t.stream = frameBytes(words({1, 0, 0, 0, 0}), 3);
    Lines lines;
    ReadOutcome o = readOne(t, lines);
    ASSERT_EQ(o.result, wire::ReadResult::Message);
    EXPECT_EQ(o.payload.kind(), KindFlowControl);
    EXPECT_EQ(o.payload.readU32(0), 1u);
}

}  // namespace
