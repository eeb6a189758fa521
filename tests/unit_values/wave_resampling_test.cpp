// The resampling of waves both units share: interpolation positions, what a call takes
// and leaves, and the rounding of samples into bounds.
#include "unit_values/wave_resampling.h"

#include <climits>
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace halvex::unit_values;

std::vector<float> ramp(std::size_t count, float from, float step) {
    std::vector<float> samples;
    for (std::size_t i = 0; i < count; ++i)
        samples.push_back(from + step * static_cast<float>(i));
    return samples;
}

TEST(WaveResampling, ThreeSamplesPerWholeGroupTheRestStays) {
    struct Case {
        const char* what;
        WaveGroup group;
        std::vector<float> samples;
        std::vector<float> resampled;  // written by hand from the group positions
        std::size_t left;
    };
    const std::vector<Case> cases = {
        // 10, 20 + (30-20)*2/3, 40 + (50-40)*1/3
        {"five, one group and two over", WaveGroup::Five, ramp(7, 10, 10), {10.0f, 26.666668f, 43.333336f}, 2},
        {"five, two groups", WaveGroup::Five, ramp(10, 0, 3), {0.0f, 5.0f, 10.0f, 15.0f, 20.0f, 25.0f}, 0},
        {"five, short of a group", WaveGroup::Five, ramp(4, 1, 1), {}, 4},
        // 0, 30 + (40-30)*1/3, 60 + (70-60)*2/3
        {"ten, one group and one over", WaveGroup::Ten, ramp(11, 0, 10), {0.0f, 33.333336f, 66.66667f}, 1},
        {"ten, short of a group", WaveGroup::Ten, ramp(9, 1, 1), {}, 9},
        {"empty", WaveGroup::Ten, {}, {}, 0},
    };
    for (const Case& c : cases) {
        std::vector<float> samples = c.samples;
        const std::vector<float> resampled = takeResampled(samples, c.group);
        ASSERT_EQ(resampled.size(), c.resampled.size()) << c.what;
        for (std::size_t i = 0; i < resampled.size(); ++i)
            EXPECT_FLOAT_EQ(resampled[i], c.resampled[i]) << c.what << " at " << i;
        ASSERT_EQ(samples.size(), c.left) << c.what;
        // What stays is the incomplete group at the end, unchanged.
        EXPECT_TRUE(std::equal(samples.begin(), samples.end(), c.samples.end() - static_cast<long>(c.left)))
            << c.what;
    }
}

TEST(WaveResampling, RoundingHalvesAwayFromZeroThenBounds) {
    const IntBounds open{INT_MIN, INT_MAX};
    const IntBounds pleth{4, 100};
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float value;
        IntBounds bounds;
        int result;
    };
    const Case cases[] = {
        {2.5f, open, 3},        {-2.5f, open, -3},     {2.49f, open, 2},      {-0.4f, open, 0},
        {0.0f, pleth, 4},       {100.5f, pleth, 100},  {57.5f, pleth, 58},    {inf, open, INT_MAX},
        {-inf, open, INT_MIN},  {3.0e9f, open, INT_MAX}, {-3.0e9f, open, INT_MIN},
        {2.0e9f, {-1000000000, 1000000000}, 1000000000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(roundedSample(c.value, c.bounds), c.result) << c.value;
    EXPECT_EQ(roundedSample(std::nanf(""), open), 0) << "not a number counts as 0";
    EXPECT_EQ(roundedSample(std::nanf(""), pleth), 4) << "... and then meets the bounds";
}

TEST(WaveResampling, IntegerTextBoundsEachPositionOfItsGroup) {
    // Only the third sample of a group has a raised floor here.
    const GroupBounds bounds = {IntBounds{0, 300}, IntBounds{0, 300}, IntBounds{4, 300}};
    std::vector<float> samples = {-1, 0, 0, 1, 1, 400, 0, 0, 0, 0, 7};
    EXPECT_EQ(integerWaveText(samples, WaveGroup::Five, bounds), "0,0,4,300,0,4");
    EXPECT_EQ(samples, std::vector<float>{7});
    EXPECT_EQ(integerWaveText(samples, WaveGroup::Five, bounds), "");
    EXPECT_EQ(samples, std::vector<float>{7});
}

}  // namespace
