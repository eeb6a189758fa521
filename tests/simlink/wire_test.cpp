#include <gtest/gtest.h>

#include "simlink/wire.h"
#include "test_support.h"

using namespace com_krel;
using namespace simlink_test;

namespace {

TEST(Wire, KindZeroIsNotFramed) {
    EXPECT_EQ(wire::frame(RawMessage(KindUnknown)).size(), 0u);
}

TEST(Wire, IdFieldOf31CharactersEndsWithOneNul) {
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

}  // namespace
