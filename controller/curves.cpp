#include "controller/curves.h"

#include <climits>
#include <cmath>

namespace halvex::controller {

double walkCurve(const std::map<float, float>& table, float startValue, float x) {
    double prevKey = kCurveStartKey;
    double prevValue = startValue;
    for (const auto& [key, value] : table) {
        if (key > x) {
            // A first key equal to the start key leaves no gap to interpolate in:
            // the table's own point wins.
            if (key == prevKey)
                return value;
            return prevValue + (value - prevValue) * (x - prevKey) / (key - prevKey);
        }
        prevKey = key;
        prevValue = value;
    }
    return prevValue;
}

int spo2Curve(const std::map<float, float>& table, float sao2) {
    const double result = std::round(walkCurve(table, kSpO2CurveStartValue, sao2));
    if (std::isnan(result))
        return static_cast<int>(kSpO2CurveStartValue);
    if (result >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (result <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(result);
}

float co2Curve(const std::map<float, float>& table, float sample) {
    return static_cast<float>(walkCurve(table, kCo2CurveStartValue, sample) / kCo2CurveDivisor);
}

}  // namespace halvex::controller
