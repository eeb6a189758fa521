#pragma once

// The run-mode values as the unit takes them: the bounds of each vital sign and the
// resampling of the simulator's waveforms to the unit's rate. No I/O here; the adaptor
// sends what these produce.

#include <string>
#include <vector>

namespace halvex::v22 {

struct IntBounds {
    int low;
    int high;
};

inline constexpr IntBounds kHeartRateBounds{20, 300};
inline constexpr IntBounds kBloodPressureBounds{0, 300};
inline constexpr IntBounds kRespirationRateBounds{0, 100};
// SpO2 reaches the unit on its own scale, not as a percentage.
inline constexpr IntBounds kSpO2Bounds{1, 400};
inline constexpr IntBounds kSpO2ScaleBounds{1, 10};
inline constexpr float kTemperatureLow = 21.0f;
inline constexpr float kTemperatureHigh = 47.0f;
inline constexpr float kCo2SampleLow = 0.001f;
inline constexpr float kCo2SampleHigh = 1.0f;

int clamped(int value, IntBounds bounds);
// Not-a-number becomes the low bound.
float clampedTemperature(float value);

// The waveforms and their command words.
enum class Wave { Pleth, Abp, Pap, Cvp, Co2 };
const char* waveWord(Wave wave);
// Samples of the simulator per group; each group yields three samples for the unit.
std::size_t waveGroupSize(Wave wave);

// Consumes every whole group from the front of `samples` and returns the unit's
// samples as a comma-separated list; an incomplete group stays in `samples`. Empty
// text (and `samples` unchanged) when not even one group is there.
std::string resampleWave(Wave wave, std::vector<float>& samples);

}  // namespace halvex::v22
