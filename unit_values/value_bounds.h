#pragma once

// The bounds of the vital signs both units take alike. A value outside its bounds
// reaches the unit as the nearest bound. No I/O here; each adaptor writes the clamped
// value in its own text format.

namespace halvex::unit_values {

struct IntBounds {
    int low;
    int high;
};

inline constexpr IntBounds kHeartRateBounds{20, 300};
inline constexpr IntBounds kRespirationRateBounds{0, 100};
// Systolic, diastolic and mean arterial pressure.
inline constexpr IntBounds kBloodPressureBounds{0, 300};
inline constexpr float kTemperatureLow = 21.0f;
inline constexpr float kTemperatureHigh = 47.0f;

int clamped(int value, IntBounds bounds);
// Within kTemperatureLow..kTemperatureHigh; not-a-number becomes the low bound.
float clampedTemperature(float value);

}  // namespace halvex::unit_values
