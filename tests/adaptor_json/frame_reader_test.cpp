#include "adaptor_json/frame_reader.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/console_capture.h"

namespace {

using halvex::adaptor_json::buildFrame;
using halvex::adaptor_json::checkResponseLength;
using halvex::adaptor_json::FrameReader;

const std::string STX = "\x02";
const std::string ETX = "\x03";

TEST(Frame, LengthFieldIsPaddedToFourDigitsAndGrowsBeyond) {
    EXPECT_EQ(buildFrame(""), STX + "0000" + ETX);
    const std::string text71(71, 'x');
    EXPECT_EQ(buildFrame(text71), STX + "0071" + text71 + ETX);
    const std::string text10000(10000, 'y');
    EXPECT_EQ(buildFrame(text10000), STX + "10000" + text10000 + ETX);
}

TEST(CheckResponseLength, ReturnsTheJsonText) {
    EXPECT_EQ(checkResponseLength("0002{}"), "{}");
    // The sender writes five digits from 10000 bytes on; such an answer is accepted.
    const std::string text10000 = "{" + std::string(9998, 'a') + "}";
    EXPECT_EQ(checkResponseLength("10000" + text10000), text10000);
}

TEST(CheckResponseLength, WrongLengthWarnsAndFails) {
    halvex::test::ConsoleCapture console;
    try {
        checkResponseLength("0011" + std::string(10, 'z'));
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "expectedResponseLength does not match actual message length");
    }
    EXPECT_EQ(console.out(),
              "Warning: Some stuff didn't get transmitted correctly. Expected length: 11 actual length: 10\n");
}

TEST(CheckResponseLength, BadLengthFields) {
    EXPECT_THROW(checkResponseLength("0000"), std::invalid_argument);  // no digits left once zeros go
    EXPECT_THROW(checkResponseLength("abcd{}"), std::invalid_argument);
    EXPECT_THROW(checkResponseLength("000"), std::out_of_range);
    EXPECT_THROW(checkResponseLength(""), std::out_of_range);
    EXPECT_THROW(checkResponseLength("99999999999{}"), std::out_of_range);
}

TEST(FrameReader, NeedsMoreUntilTheFrameEnd) {
    FrameReader reader;
    std::string response;
    reader.feed("\x02" "0002{", 6);
    EXPECT_FALSE(reader.next(response));
    reader.feed("}\x03", 2);
    ASSERT_TRUE(reader.next(response));
    EXPECT_EQ(response, "0002{}");
    EXPECT_FALSE(reader.next(response));
    EXPECT_EQ(reader.buffered(), 0u);
}

// Two answers back to back (with the line end some units put after a frame), fed in
// chunks of every size: both come out whole and in order, nothing is left over.
TEST(FrameReader, TwoFramesInChunksOfEverySize) {
    const std::string first = "0014{\"MessageType\"}";
    const std::string second = "0002{}";
    const std::string wire = STX + first + ETX + "\n" + STX + second + ETX;
    for (std::size_t chunk = 1; chunk <= wire.size(); ++chunk) {
        FrameReader reader;
        std::vector<std::string> got;
        for (std::size_t at = 0; at < wire.size(); at += chunk) {
            const std::string piece = wire.substr(at, chunk);
            reader.feed(piece.data(), piece.size());
            std::string response;
            while (reader.next(response)) {
                got.push_back(response);
            }
        }
        ASSERT_EQ(got.size(), 2u) << "chunk " << chunk;
        EXPECT_EQ(got[0], first) << "chunk " << chunk;
        EXPECT_EQ(got[1], second) << "chunk " << chunk;
        EXPECT_EQ(reader.buffered(), 0u);
    }
}

TEST(FrameReader, FrameEndWithoutStartIsAnErrorAndIsConsumed) {
    FrameReader reader;
    std::string response;
    reader.feed("\x03" "\x02" "0000\x03", 7);
    EXPECT_THROW(reader.next(response), std::out_of_range);
    ASSERT_TRUE(reader.next(response));
    EXPECT_EQ(response, "0000");
}

TEST(FrameReader, BoundedWithoutAFrameEnd) {
    FrameReader reader;
    const std::string block(64 * 1024, 'x');
    std::size_t fed = 0;
    while (fed + block.size() < halvex::adaptor_json::kMaxBufferedBytes) {
        reader.feed(block.data(), block.size());
        fed += block.size();
    }
    const std::string rest(halvex::adaptor_json::kMaxBufferedBytes - fed - 1, 'x');
    reader.feed(rest.data(), rest.size());  // one byte short of the bound: still fine
    EXPECT_THROW(reader.feed("x", 1), std::length_error);
    EXPECT_EQ(reader.buffered(), 0u);
    // The reader is usable again afterwards.
    std::string response;
    reader.feed("\x02" "0000\x03", 6);
    ASSERT_TRUE(reader.next(response));
    EXPECT_EQ(response, "0000");
}

}  // namespace
