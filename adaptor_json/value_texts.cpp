#include "adaptor_json/value_texts.h"

#include <cstdio>
#include <sstream>

#include "unit_values/wave_resampling.h"

namespace halvex::adaptor_json {

using unit_values::GroupBounds;
using unit_values::WaveGroup;

const char* const kZeroing = "Zeroing";
const char* const kNotZeroing = "NotZeroing";

namespace {

// Samples far outside any monitor range saturate here rather than pass through.
constexpr IntBounds kSaturated{-1000000000, 1000000000};

constexpr GroupBounds kPlethBounds = {IntBounds{4, 100}, IntBounds{4, 100}, IntBounds{4, 100}};
constexpr GroupBounds kPapBounds = {kSaturated, kSaturated, kSaturated};
constexpr GroupBounds kCvpBounds = {IntBounds{0, kSaturated.high}, IntBounds{0, kSaturated.high},
                                    IntBounds{0, kSaturated.high}};

}  // namespace

std::string integerText(int value) { return std::to_string(value); }

std::string floatText(float value, int digits) {
    std::ostringstream out;
    out.precision(digits);
    out << value;
    return out.str();
}

std::string temperatureText(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(unit_values::clampedTemperature(value)));
    return text;
}

std::string resamplePleth(std::vector<float>& samples) {
    return unit_values::integerWaveText(samples, WaveGroup::Five, kPlethBounds);
}

std::string resampleAbp(std::vector<float>& samples) {
    return unit_values::integerWaveText(samples, WaveGroup::Five, unit_values::kArterialWaveBounds);
}

std::string resamplePap(std::vector<float>& samples) {
    return unit_values::integerWaveText(samples, WaveGroup::Five, kPapBounds);
}

std::string resampleCvp(std::vector<float>& samples) {
    return unit_values::integerWaveText(samples, WaveGroup::Ten, kCvpBounds);
}

}  // namespace halvex::adaptor_json
