// Reading frames: the assembler fed bytes (whole, back to back, in chunks of every
// size), and the receiver's thin loop around it over a scripted transport.
#include <gtest/gtest.h>

#include "simlink/frame_assembler.h"
#include "simlink/frame_receiver.h"
#include "test_support.h"

using namespace com_krel;
using namespace simlink_test;
using Assembler = wire::FrameAssembler;

namespace {

struct Recorded {
    Bytes payload;
    int kind;
};

// Three frames as a server sends them: a SIM parameter update, a flow-control reply
// (class 3) and an APP event under a class the link does not know (kind 0).
const std::vector<Recorded>& recorded() {
    static const std::vector<Recorded> frames{
        {cat({appHeader(4, 2, 0x0003, 36), words({0x00010000, 0, 1, 11, 1, 80})}), KindApplication},
        {words({1, 0, 0, 0, 0}), KindFlowControl},
        {cat({appHeader(1, 3, 0x0112, 20), words({7, 1})}), KindUnknown},
    };
    return frames;
}

Bytes recordedStream() {
    Bytes stream;
    const std::uint32_t classes[] = {0, 3, 7};
    for (std::size_t i = 0; i < recorded().size(); ++i) {
        Bytes f = frameBytes(recorded()[i].payload, classes[i]);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    return stream;
}

// Feeds the stream in chunks and takes every frame after each chunk.
std::vector<RawMessage> assemble(Assembler& a, const Bytes& stream, std::size_t chunk) {
    std::vector<RawMessage> frames;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        a.feed(stream.data() + at, std::min(chunk, stream.size() - at));
        RawMessage payload;
        Assembler::Result r;
        while ((r = a.next(payload)) == Assembler::Result::Frame) frames.push_back(payload);
        EXPECT_EQ(r, Assembler::Result::NeedMore);
        EXPECT_GT(a.wanted(), 0u);
    }
    return frames;
}

TEST(FrameAssembler, RecordedFramesWholeBackToBackAndInChunksOfEverySize) {
    const Bytes stream = recordedStream();
    for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        SCOPED_TRACE(chunk);
        Assembler a;
        const auto frames = assemble(a, stream, chunk);
        ASSERT_EQ(frames.size(), recorded().size());
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].bytes(), recorded()[i].payload);
            EXPECT_EQ(frames[i].kind(), recorded()[i].kind);
        }
        EXPECT_EQ(a.buffered(), 0u);
        EXPECT_EQ(a.stage(), Assembler::Stage::BetweenFrames);
    }
}

// The announced total length, bracketed: 32 fails and 33 passes (a 1-byte payload),
// the limit passes and one more byte fails. An invalid header stays invalid, whatever
// follows, until a reset.
TEST(FrameAssembler, HeaderLengthLimits) {
    struct Case {
        std::uint32_t total;
        bool accepted;
    } cases[] = {{0, false}, {32, false}, {33, true}, {wire::kMaxFrameLength, true},
                 {wire::kMaxFrameLength + 1, false}, {0xFFFFFFFF, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.total);
        Bytes frame = cat({words({c.total, 32, 0, 0}), Bytes(16, 0xFF), Bytes{0x04}});
        if (c.accepted) frame.resize(c.total, 0x5A);
        Assembler a;
        RawMessage payload;
        a.feed(frame.data(), frame.size() - 1);
        if (c.accepted) {
            EXPECT_EQ(a.next(payload), Assembler::Result::NeedMore);
            EXPECT_EQ(a.wanted(), 1u);
            EXPECT_EQ(a.stage(), Assembler::Stage::InPayload);
            a.feed(&frame.back(), 1);
            ASSERT_EQ(a.next(payload), Assembler::Result::Frame);
            ASSERT_EQ(payload.size(), c.total - 32);
            EXPECT_EQ(payload.bytes().front(), 0x04);
            continue;
        }
        EXPECT_EQ(a.next(payload), Assembler::Result::Invalid);
        EXPECT_EQ(a.invalidLength(), c.total);
        EXPECT_EQ(a.wanted(), 0u);
        const Bytes good = frameBytes(recorded()[0].payload);
        a.feed(good.data(), good.size());
        EXPECT_EQ(a.next(payload), Assembler::Result::Invalid);
        a.reset();
        a.feed(good.data(), good.size());
        ASSERT_EQ(a.next(payload), Assembler::Result::Frame);
        EXPECT_EQ(payload.bytes(), recorded()[0].payload);
    }
}

// What a read may ask for never reaches into the next frame; a reset drops half a
// frame, so the next connection's first frame is read from its own first byte.
TEST(FrameAssembler, WantedBytesAndResetBetweenConnections) {
    const Bytes stream = recordedStream();
    Assembler a;
    EXPECT_EQ(a.wanted(), 32u);
    a.feed(stream.data(), 10);
    EXPECT_EQ(a.stage(), Assembler::Stage::InHeader);
    EXPECT_EQ(a.wanted(), 22u);
    a.feed(stream.data() + 10, 30);
    EXPECT_EQ(a.wanted(), 68u - 40u);
    a.reset();
    EXPECT_EQ(a.stage(), Assembler::Stage::BetweenFrames);
    const auto frames = assemble(a, stream, 5);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].bytes(), recorded()[0].payload);
}

// ---- the receiver over a transport ----------------------------------------------------

struct Received {
    std::vector<RawMessage> frames;
    FrameReceiver::Outcome last = FrameReceiver::Outcome::Open;
};

// Receives until the link is lost or the script and stream are used up.
Received receiveAll(ScriptedTransport& t, Lines& lines, int reads = 20) {
    FrameReceiver receiver;
    const LogSink sink = lines.sink();
    Received r;
    for (int i = 0; i < reads && r.last == FrameReceiver::Outcome::Open; ++i) {
        r.last = receiver.receive(t, &sink, [&](const RawMessage& p) {
            r.frames.push_back(p);
            return true;
        });
    }
    return r;
}

TEST(FrameReceiver, LossesAndTheirLines) {
    const Bytes frame = frameBytes(words({1, 2, 3}));
    Bytes invalid = frame;
    invalid[3] = 32;  // total length 32
    struct Case {
        const char* name;
        Bytes stream;
        std::deque<int> script;
        const char* line;  // null: the link stays open
        bool error;
    } cases[] = {
        {"time-out", frame, {-2}, nullptr, false},
        {"closed between frames", frame, {0}, "Connection closed by server.", true},
        {"error between frames", frame, {-1}, "Read error. Closing connection.", true},
        {"closed inside the header", Bytes(frame.begin(), frame.begin() + 31), {31, 0},
         "Couldn't read a complete header. Closing connection.", true},
        {"error inside the header", frame, {20, -1}, "Couldn't read a complete header. Closing connection.", true},
        {"closed inside the payload", frame, {32, 4, 0}, "Connection closed by server.", false},
        {"error inside the payload", frame, {32, 4, -1}, "Read error. Closing connection.", true},
        {"invalid length", invalid, {}, "Invalid message data received (32). Closing connection.", true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedTransport t;
        t.stream = c.stream;
        t.script = c.script;
        Lines lines;
        const Received r = receiveAll(t, lines, static_cast<int>(c.script.size() == 0 ? 1 : c.script.size()));
        EXPECT_TRUE(r.frames.empty());
        EXPECT_EQ(r.last, c.line ? FrameReceiver::Outcome::Lost : FrameReceiver::Outcome::Open);
        EXPECT_EQ(lines.all(c.error), c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{});
        EXPECT_TRUE(lines.all(!c.error).empty());
    }
}

// Time-outs in the middle of a frame are no error: the frame is completed by the
// reads after them.
TEST(FrameReceiver, TimeOutsInsideAFrameResume) {
    const Bytes p = cat({appHeader(1, 2, 0x0151, 20), words({1, 2})});
    ScriptedTransport t;
    t.stream = frameBytes(p);
    t.script = {5, -2, 27, -2, -2, 3, -2, 17};
    Lines lines;
    const Received r = receiveAll(t, lines, 8);
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].bytes(), p);
    EXPECT_EQ(r.last, FrameReceiver::Outcome::Open);
    EXPECT_TRUE(lines.all(true).empty());
    EXPECT_TRUE(lines.all(false).empty());
}

// Each read asks for what the frame in progress still needs, at most kMaxReadSize:
// back-to-back frames arrive one by one, a large payload in pieces.
TEST(FrameReceiver, ReadsAskForTheFrameInProgressOnly) {
    const Bytes small = cat({appHeader(4, 2, 0x0003, 24), words({0, 0, 0})});
    Bytes large = appHeader(4, 2, 0x0777, 100000);
    large.resize(100000, 0x11);
    ScriptedTransport t;
    t.stream = cat({frameBytes(small), frameBytes(large), frameBytes(small)});
    Lines lines;
    const Received r = receiveAll(t, lines, 8);
    ASSERT_EQ(r.frames.size(), 3u);
    EXPECT_EQ(r.frames[1].bytes(), large);
    EXPECT_EQ(t.asked, (std::vector<int>{32, 24, 32, static_cast<int>(FrameReceiver::kMaxReadSize),
                                         100000 - static_cast<int>(FrameReceiver::kMaxReadSize), 32, 24, 32}));
    EXPECT_EQ(r.last, FrameReceiver::Outcome::Lost);  // the stream's end is a close
    EXPECT_EQ(lines.all(true), std::vector<std::string>{"Connection closed by server."});
}

}  // namespace
