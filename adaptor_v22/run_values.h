#pragma once

// The run-mode values as this unit takes them, where it differs from the JSON unit:
// its SpO2 bounds, its CO2 wave samples, and its bounds per wave sample. The bounds
// both units share and the resampling itself are in unit_values/. No I/O here; the
// adaptor sends what these produce.

#include <cstddef>
#include <string>
#include <vector>

#include "unit_values/value_bounds.h"

namespace halvex::adaptor_v22 {

using unit_values::IntBounds;

// SpO2 reaches the unit on its own scale, not as a percentage.
inline constexpr IntBounds kSpO2Bounds{1, 400};
inline constexpr IntBounds kSpO2ScaleBounds{1, 10};
inline constexpr float kCo2SampleLow = 0.001f;
inline constexpr float kCo2SampleHigh = 1.0f;

// The waveforms and their command words.
enum class Wave { Pleth, Abp, Pap, Cvp, Co2 };
const char* waveWord(Wave wave);
// Samples of the simulator per group; each group yields three samples for the unit.
std::size_t waveGroupSize(Wave wave);

// Consumes every whole group from the front of `samples` and returns the unit's
// samples as a comma-separated list; an incomplete group stays in `samples`. Empty
// text (and `samples` unchanged) when not even one group is there.
std::string resampleWave(Wave wave, std::vector<float>& samples);

}  // namespace halvex::adaptor_v22
