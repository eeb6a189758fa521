#pragma once

#include <map>

// The calibration curves of the v2.2 edition: a simulator value is mapped through a
// table of measured points, interpolating linearly between neighbours, from a fixed
// start point below the first key, and holding the last value above the last key.
namespace halvex::controller {

constexpr float kCurveStartKey = 0.0f;
constexpr float kSpO2CurveStartValue = 400.0f;
constexpr float kCo2CurveStartValue = 1.0f;
constexpr float kCo2CurveDivisor = 1000.0f;

// The curve's value at x, starting from (kCurveStartKey, startValue).
double walkCurve(const std::map<float, float>& table, float startValue, float x);

// The unit's SpO2 setting for a SaO2 value, rounded to the nearest integer (halves
// away from zero) and kept within the range of int.
int spo2Curve(const std::map<float, float>& table, float sao2);

// The unit's CO2 sample for a capnogram sample.
float co2Curve(const std::map<float, float>& table, float sample);

}  // namespace halvex::controller
