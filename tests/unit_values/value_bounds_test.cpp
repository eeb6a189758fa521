// The bounds both units share, at and beyond each edge.
#include "unit_values/value_bounds.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace {

using namespace halvex::unit_values;

TEST(ValueBounds, IntegersStopAtTheNearestBound) {
    struct Case {
        const char* what;
        int value;
        IntBounds bounds;
        int result;
    };
    const Case cases[] = {
        {"heart rate below", 19, kHeartRateBounds, 20},
        {"heart rate at low", 20, kHeartRateBounds, 20},
        {"heart rate within", 72, kHeartRateBounds, 72},
        {"heart rate at high", 300, kHeartRateBounds, 300},
        {"heart rate above", 301, kHeartRateBounds, 300},
        {"respiration below", -1, kRespirationRateBounds, 0},
        {"respiration above", 150, kRespirationRateBounds, 100},
        {"pressure below", -5, kBloodPressureBounds, 0},
        {"pressure above", 400, kBloodPressureBounds, 300},
        {"int extremes low", std::numeric_limits<int>::min(), kBloodPressureBounds, 0},
        {"int extremes high", std::numeric_limits<int>::max(), kBloodPressureBounds, 300},
    };
    for (const Case& c : cases)
        EXPECT_EQ(clamped(c.value, c.bounds), c.result) << c.what;
}

TEST(ValueBounds, TemperatureStaysWithin21And47) {
    struct Case {
        float value;
        float result;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {20.9f, 21.0f}, {21.0f, 21.0f}, {36.94f, 36.94f}, {47.0f, 47.0f},
        {47.1f, 47.0f}, {-inf, 21.0f},  {inf, 47.0f},
    };
    for (const Case& c : cases)
        EXPECT_EQ(clampedTemperature(c.value), c.result) << c.value;
    EXPECT_EQ(clampedTemperature(std::nanf("")), 21.0f) << "not a number counts as below";
}

}  // namespace
