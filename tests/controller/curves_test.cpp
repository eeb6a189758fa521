#include "controller/curves.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(Curves, SpO2InterpolatesFromTheStartPointAndHoldsTheLastValue) {
    const std::map<float, float> table = {{90.0f, 600.0f}, {100.0f, 300.0f}};
    struct Case {
        float x;
        int expected;
    } cases[] = {{45, 500}, {95, 450}, {100, 300}, {120, 300}, {90, 600}, {0, 400}, {99.5f, 315}};
    for (const Case& c : cases)
        EXPECT_EQ(halvex::controller::spo2Curve(table, c.x), c.expected) << "x " << c.x;
    EXPECT_EQ(halvex::controller::spo2Curve({}, 97.0f), 400);
    // Halves round away from zero: 400 + (401 - 400) * 1 / 2 = 400.5.
    EXPECT_EQ(halvex::controller::spo2Curve({{2.0f, 401.0f}}, 1.0f), 401);
}

TEST(Curves, Co2InterpolatesAndDividesByAThousand) {
    const std::map<float, float> table = {{40.0f, 500.0f}};
    EXPECT_FLOAT_EQ(halvex::controller::co2Curve(table, 20.0f), 0.2505f);
    EXPECT_FLOAT_EQ(halvex::controller::co2Curve(table, 50.0f), 0.5f);
    EXPECT_FLOAT_EQ(halvex::controller::co2Curve(table, 40.0f), 0.5f);
    EXPECT_FLOAT_EQ(halvex::controller::co2Curve({}, 20.0f), 0.001f);
}

// A first key at the start key leaves no gap below it: values at or below it take
// the table's point, never a division by zero.
TEST(Curves, FirstKeyAtTheStartKeyIsNoEmptyGap) {
    const std::map<float, float> table = {{0.0f, 350.0f}, {100.0f, 50.0f}};
    EXPECT_EQ(halvex::controller::spo2Curve(table, -3.0f), 350);
    EXPECT_EQ(halvex::controller::spo2Curve(table, 0.0f), 350);
    EXPECT_EQ(halvex::controller::spo2Curve(table, 50.0f), 200);
    EXPECT_FLOAT_EQ(halvex::controller::co2Curve({{0.0f, 80.0f}}, -1.0f), 0.08f);
}

TEST(Curves, ValuesThatAreNoNumbersStayFinite) {
    const std::map<float, float> table = {{90.0f, 600.0f}, {100.0f, 300.0f}};
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(halvex::controller::spo2Curve(table, std::nanf("")), 300);  // above every key
    EXPECT_EQ(halvex::controller::spo2Curve(table, inf), 300);
    EXPECT_EQ(halvex::controller::spo2Curve({{90.0f, 400.0f}}, -inf), 400);  // 400 + 0 * inf
    EXPECT_EQ(halvex::controller::spo2Curve(table, -inf), std::numeric_limits<int>::min());
}

}  // namespace
