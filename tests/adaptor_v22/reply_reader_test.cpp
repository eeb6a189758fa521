// The I/O-free pieces of the v2.2 adaptor: the reply reader, the command texts and
// payload formats, the batch limit, the serial id of a reply, the broadcast address.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "adaptor_v22/command_batch.h"
#include "adaptor_v22/command_text.h"
#include "adaptor_v22/discovery.h"
#include "adaptor_v22/local_addresses.h"
#include "adaptor_v22/reply_reader.h"

namespace {

using halvex::adaptor_v22::CommandBatch;
using halvex::adaptor_v22::ReplyReader;

std::vector<std::string> feedAll(ReplyReader& reader, const std::vector<std::string>& datagrams) {
    std::vector<std::string> replies;
    for (const std::string& d : datagrams)
        if (auto reply = reader.feed(d))
            replies.push_back(*reply);
    return replies;
}

TEST(ReplyReader, AssemblesRepliesAsTheUnitSendsThem) {
    const std::string s300 = std::string(299, 'x') + "@";  // the '@' lies beyond the buffer
    const std::string withNul = std::string("[as\0junk@", 9);
    struct Case {
        const char* what;
        std::vector<std::string> datagrams;
        std::vector<std::string> replies;
    } cases[] = {
        {"split over two datagrams", {"[as", "soc]@"}, {"[assoc]@"}},
        {"two replies in one datagram: the first", {"[assoc]@[enabled]@"}, {"[assoc]@"}},
        {"what follows '@' does not start the next reply", {"[a]@[b", "]@"}, {"[a]@", "]@"}},
        {"300 bytes: the first 250, joined with what follows", {s300, "@"}, {std::string(250, 'x') + "@"}},
        {"a NUL ends the datagram's text", {withNul, "soc]@"}, {"[assoc]@"}},
        {"an empty datagram adds nothing", {"", "[wdt]ok@"}, {"[wdt]ok@"}},
    };
    for (const Case& c : cases) {
        ReplyReader reader;
        EXPECT_EQ(feedAll(reader, c.datagrams), c.replies) << c.what;
    }
}

TEST(ReplyReader, OneReplyCutAtEveryPointComesOutWhole) {
    const std::string reply = "Halvex v2.2:XY-0042@";
    for (std::size_t cut = 1; cut < reply.size(); ++cut) {
        ReplyReader reader;
        EXPECT_FALSE(reader.feed(reply.substr(0, cut))) << cut;
        EXPECT_EQ(reader.feed(reply.substr(cut)).value_or("none"), reply) << cut;
        EXPECT_EQ(reader.pending(), 0u);
    }
}

// Replies in datagrams of every size from 1 to the whole reply, one reply after the
// other (a datagram never carries the end of one reply and the start of the next):
// each comes out whole when its last piece arrives, and nothing is left over.
TEST(ReplyReader, RepliesInPiecesOfEverySizeComeOutWhole) {
    const std::vector<std::string> replies = {"Halvex v2.2:XY-0042@", "[assoc]@"};
    for (std::size_t size = 1; size <= replies[0].size(); ++size) {
        ReplyReader reader;
        std::vector<std::string> got;
        for (const std::string& reply : replies)
            for (std::size_t at = 0; at < reply.size(); at += size)
                if (auto whole = reader.feed(reply.substr(at, size)))
                    got.push_back(*whole);
        EXPECT_EQ(got, replies) << "pieces of " << size;
        EXPECT_EQ(reader.pending(), 0u);
    }
}

TEST(ReplyReader, TextWithoutTerminatorIsDiscardedAtTheBound) {
    const std::string full(ReplyReader::kDatagramBytes, 'x');
    const std::size_t below = ReplyReader::kAccumulatorLimit / ReplyReader::kDatagramBytes;  // 16: 4000 bytes

    ReplyReader kept;
    for (std::size_t i = 0; i < below; ++i)
        EXPECT_FALSE(kept.feed(full));
    EXPECT_EQ(kept.discarded(), 0u);
    EXPECT_EQ(kept.feed("@").value_or("").size(), below * full.size() + 1);

    ReplyReader bounded;
    for (std::size_t i = 0; i <= below; ++i)
        EXPECT_FALSE(bounded.feed(full));
    EXPECT_EQ(bounded.discarded(), 1u);
    EXPECT_EQ(bounded.pending(), 0u);
    // The next reply starts clean.
    EXPECT_EQ(bounded.feed("[assoc]@").value_or(""), "[assoc]@");
}

TEST(CommandText, PayloadFormats) {
    using namespace halvex::adaptor_v22;
    struct Case {
        std::string text;
        std::string expected;
    } cases[] = {
        {commandText("ENABLE", ""), "[ENABLE]@"},
        {commandText("WDT", integerPayload(1)), "[WDT]1@"},
        {integerPayload(-3), "-3"},
        {realPayload(0.0f), "0"},
        {realPayload(0.5f), "0.5"},
        {realPayload(1234567.0f), "1.23457e+06"},
        {temperaturePayload(36.96f), "37.0"},
        {temperaturePayload(21.0f), "21.0"},
        {co2SamplePayload(0.2506f), "0.251"},
        {co2SamplePayload(1.0f), "1.000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.text, c.expected);
}

TEST(CommandText, BatchLeavesBeforeACommandThatWouldPassTheLimit) {
    CommandBatch batch;
    batch.append(std::string(215, 'a'));
    EXPECT_FALSE(batch.mustLeaveBefore(15));  // 230 exactly still fits
    EXPECT_TRUE(batch.mustLeaveBefore(16));
    EXPECT_EQ(batch.take().size(), 215u);
    EXPECT_TRUE(batch.text().empty());
}

TEST(Discovery, SerialIdOfAReply) {
    struct Case {
        const char* reply;
        const char* serial;
    } cases[] = {
        {"Halvex v2.2:XY-0042@", "XY-0042"},
        {"a:b:z9@", "z9"},
        {"[ID]Halvex v2.2@", ""},   // the request itself
        {"Halvex v2.2:@", ""},      // nothing between ':' and '@'
        {"x@y:z", ""},              // no '@' after the last ':'
    };
    for (const Case& c : cases)
        EXPECT_EQ(halvex::adaptor_v22::serialIdOfReply(c.reply), c.serial) << c.reply;
}

TEST(Discovery, BroadcastAddressKeepsTheFirstTwoOctets) {
    EXPECT_EQ(halvex::adaptor_v22::broadcastAddressOf("192.168.1.20"), "192.168.255.255");
    EXPECT_EQ(halvex::adaptor_v22::broadcastAddressOf("127.77.0.5"), "127.77.255.255");
    EXPECT_EQ(halvex::adaptor_v22::broadcastAddressOf("fe80::1"), "");
    EXPECT_EQ(halvex::adaptor_v22::broadcastAddressOf("not an address"), "");
}

}  // namespace
