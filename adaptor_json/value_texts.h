#pragma once

// The value texts the pending messages store, and the bounds this unit holds its
// values to where it differs from the v2.2 unit (the shared bounds and the wave
// resampling are in unit_values/). No I/O here.

#include <string>
#include <vector>

#include "unit_values/value_bounds.h"

namespace halvex::adaptor_json {

using unit_values::clamped;
using unit_values::IntBounds;

// This unit takes SpO2 as a percentage, and the calibration's counters as spO2Ratio
// and co2FlowFactor.
inline constexpr IntBounds kSpO2Bounds{1, 100};
inline constexpr IntBounds kSpO2RatioBounds{1, 400};
inline constexpr IntBounds kCo2FlowFactorBounds{-1, 1000};

// Zero states the controller passes with sendCommand("abpZeroState", ...).
extern const char* const kZeroing;
extern const char* const kNotZeroing;

std::string integerText(int value);
// General notation with `digits` significant digits (9 in VitalsData, 6 in waves).
std::string floatText(float value, int digits);
// Clamped to 21.0..47.0 (a NaN counts as below), fixed notation, one decimal.
std::string temperatureText(float value);

// Wave resampling: whole groups from the front of `samples` become "v,v,v,..." and
// are removed; an incomplete group stays. Empty text when there was no whole group.
std::string resamplePleth(std::vector<float>& samples);  // 5 -> 3, clamp 4..100
std::string resampleAbp(std::vector<float>& samples);    // 5 -> 3, clamp 0..300 (third value 4..300)
std::string resamplePap(std::vector<float>& samples);    // 5 -> 3, no clamp (saturates at +-10^9)
std::string resampleCvp(std::vector<float>& samples);    // 10 -> 3, below 0 becomes 0 (saturates at 10^9)

}  // namespace halvex::adaptor_json
