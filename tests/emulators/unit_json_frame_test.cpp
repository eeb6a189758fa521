// The stand-in unit's frame reader and message store, without sockets.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulators/unit_json/frame.h"
#include "emulators/unit_json/unit_store.h"

using namespace halvex::emulators::unit_json;

namespace {

const std::string STX = "\x02";
const std::string ETX = "\x03";

std::vector<Frame> drain(FrameReader& r) {
    std::vector<Frame> out;
    while (auto f = r.next()) out.push_back(*f);
    return out;
}

Frame frameOf(const std::string& json) {
    Frame f;
    f.json = json;
    f.lengthFieldValid = true;
    f.announced = json.size();
    return f;
}

} // namespace

TEST(UnitJsonFrame, EncodesLengthFieldOfAtLeastFourDigits) {
    const std::string text71 = R"({"MessageType":"StatusRequest","Message":{"requestNetworkStatus":true}})";
    ASSERT_EQ(text71.size(), 71u);
    const std::string big(10000, 'x');
    EXPECT_EQ(encodeFrame(""), STX + "0000" + ETX);
    EXPECT_EQ(encodeFrame(text71), STX + "0071" + text71 + ETX);
    EXPECT_EQ(encodeFrame(big), STX + "10000" + big + ETX);
    EXPECT_EQ(encodeFrameWithLength("{}", 11), STX + "0011{}" + ETX);
}

// Two frames back to back, fed in chunks of every size: both come out whole.
TEST(UnitJsonFrame, ReadsFramesSplitAtEveryPoint) {
    const std::string a = R"({"MessageType":"VitalsData","Message":{"hr":"80"}})";
    const std::string b = R"({"MessageType":"WaveformData","Message":{"pleth":[1,2,3]}})";
    const std::string stream = STX + "0050" + a + ETX + STX + "0058" + b + ETX;
    for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        FrameReader r;
        std::vector<Frame> got;
        for (std::size_t i = 0; i < stream.size(); i += chunk) {
            r.feed(stream.data() + i, std::min(chunk, stream.size() - i));
            for (auto& f : drain(r)) got.push_back(f);
        }
        ASSERT_EQ(got.size(), 2u) << "chunk " << chunk;
        EXPECT_EQ(got[0].json, a);
        EXPECT_TRUE(got[0].lengthMatches());
        EXPECT_EQ(got[1].json, b);
        EXPECT_TRUE(got[1].lengthMatches());
        EXPECT_EQ(r.pending(), 0u);
        EXPECT_EQ(r.counters().strayBytes + r.counters().truncatedFrames, 0u);
    }
}

TEST(UnitJsonFrame, ReportsBadLengthsAndResynchronises) {
    FrameReader r;
    const std::string stream = "junk" + STX + "0011" + R"({"a":"bc"})" + ETX // 11 announced, 10 sent
                               + STX + "071{}" + ETX                      // three digits only
                               + STX + "0002{" + STX + "0002{}" + ETX;    // cut short by a new frame
    r.feed(stream.data(), stream.size());
    const auto got = drain(r);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_TRUE(got[0].lengthFieldValid);
    EXPECT_EQ(got[0].announced, 11u);
    EXPECT_EQ(got[0].json, R"({"a":"bc"})");
    EXPECT_FALSE(got[0].lengthMatches());
    EXPECT_FALSE(got[1].lengthFieldValid);
    EXPECT_FALSE(got[1].lengthMatches());
    EXPECT_TRUE(got[2].lengthMatches());
    EXPECT_EQ(got[2].json, "{}");
    EXPECT_EQ(r.counters().strayBytes, 4u);
    EXPECT_EQ(r.counters().truncatedFrames, 1u);
}

TEST(UnitJsonFrame, DropsAFrameThatNeverEnds) {
    FrameReader r;
    const std::string open = STX + std::string(kMaxFrameBytes, '7');
    r.feed(open.data(), open.size());
    EXPECT_TRUE(drain(r).empty());
    EXPECT_EQ(r.counters().oversizedFrames, 1u);
    EXPECT_LT(r.pending(), kMaxFrameBytes);
    const std::string good = STX + "0002{}" + ETX;
    r.feed(good.data(), good.size());
    const auto got = drain(r);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].lengthMatches());
}

// "-1", "None" and "Unknown" mean "not in this message": the last real value stays.
TEST(UnitJsonStore, KeepsLastRealVitalAndCountsWaveSamples) {
    UnitStore store("127.0.0.1");
    const auto now = Clock::now();
    store.handle(frameOf(R"({"MessageType":"VitalsData","Message":{"hr":"80","sbp":"120","spo2Override":"None","abpZeroState":"NotZeroing"}})"), now);
    const Handled h = store.handle(frameOf(R"({"MessageType":"VitalsData","Message":{"hr":"-1","sbp":"121","spo2Override":"None","abpZeroState":"Unknown"}})"), now);
    EXPECT_EQ(h.messageType, "VitalsData");
    EXPECT_EQ(h.line, "VitalsData sbp=121");
    EXPECT_FALSE(h.answer);
    store.handle(frameOf(R"({"MessageType":"WaveformData","Message":{"pleth":[4,50,100],"ecg":[],"abp":[]}})"), now);
    store.handle(frameOf(R"({"MessageType":"WaveformData","Message":{"pleth":[7],"abp":"REPLACE","cvp":["1"]}})"), now);
    store.handle(frameOf("not json"), now);

    const UnitStats s = store.snapshot();
    EXPECT_EQ(s.frames, 5u);
    EXPECT_EQ(s.messages.at("VitalsData"), 2u);
    EXPECT_EQ(s.messages.at("WaveformData"), 2u);
    EXPECT_EQ(s.undecodable, 1u);
    EXPECT_EQ(s.vitals.at("hr"), "80");
    EXPECT_EQ(s.vitals.at("sbp"), "121");
    EXPECT_EQ(s.vitals.at("abpZeroState"), "NotZeroing");
    EXPECT_EQ(s.vitals.count("spo2Override"), 0u);
    EXPECT_EQ(s.waves.at("pleth").samples, 4u);
    EXPECT_EQ(s.waves.at("pleth").messages, 2u);
    EXPECT_EQ(s.waves.at("pleth").lastSamples, std::vector<double>{7});
    EXPECT_EQ(s.waves.count("ecg"), 0u);
    // A wave left as the text "REPLACE" is a broken message; a quoted sample in an
    // array still reads as a number.
    EXPECT_EQ(s.malformedWaves, 1u);
    EXPECT_EQ(s.waves.at("cvp").samples, 1u);
}

TEST(UnitJsonStore, CountsALengthMismatchButStillDecodes) {
    UnitStore store("127.0.0.1");
    Frame f = frameOf(R"({"MessageType":"CalSelect","Message":{"calName":"Default Temperature","calType":"Temp"}})");
    f.announced = 11;
    const Handled h = store.handle(f, Clock::now());
    EXPECT_EQ(h.messageType, "CalSelect");
    EXPECT_NE(h.line.find("(length field 11, text 88)"), std::string::npos) << h.line;
    const UnitStats s = store.snapshot();
    EXPECT_EQ(s.lengthErrors, 1u);
    EXPECT_EQ(s.selectedCalibration.at("Temp"), "Default Temperature");
}

// The JSON reader recurses once per level: a frame nested far deeper than any message
// is undecodable, not the end of the stand-in. At the limit it still decodes.
TEST(UnitJsonStore, DeeplyNestedFramesAreUndecodable) {
    UnitStore store("127.0.0.1");
    const auto nested = [](std::size_t levels) {
        return std::string(levels, '[') + std::string(levels, ']');
    };
    const std::string atTheLimit = R"({"MessageType":"StatusRequest","x":)" + nested(kMaxJsonDepth - 1) + "}";
    EXPECT_EQ(store.handle(frameOf(atTheLimit), Clock::now()).messageType, "StatusRequest");
    for (const std::string& deep :
         {nested(60000), R"({"MessageType":"StatusRequest","x":)" + nested(kMaxJsonDepth) + "}",
          R"({"a":"\"[[[[", "b":)" + nested(60000) + "}"}) {
        const Handled h = store.handle(frameOf(deep), Clock::now());
        EXPECT_EQ(h.messageType, "");
        EXPECT_FALSE(h.answer);
        EXPECT_NE(h.line.find("nested deeper than 64 levels"), std::string::npos) << h.line;
    }
    EXPECT_EQ(store.snapshot().undecodable, 3u);
}
