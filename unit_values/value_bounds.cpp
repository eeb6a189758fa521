#include "unit_values/value_bounds.h"

#include <cmath>

namespace halvex::unit_values {

int clamped(int value, IntBounds bounds) {
    if (value <= bounds.low)
        return bounds.low;
    if (value > bounds.high)
        return bounds.high;
    return value;
}

float clampedTemperature(float value) {
    if (std::isnan(value) || value <= kTemperatureLow)
        return kTemperatureLow;
    if (value > kTemperatureHigh)
        return kTemperatureHigh;
    return value;
}

}  // namespace halvex::unit_values
