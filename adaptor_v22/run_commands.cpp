#include "adaptor_v22/run_commands.h"

#include <array>
#include <climits>
#include <cmath>

#include "adaptor_v22/command_text.h"

namespace halvex::v22 {

namespace {

// 2/3 and 1/3 as single-precision constants: the outputs lie at positions 0, 5/3 and
// 10/3 of a 5-group and 0, 10/3 and 20/3 of a 10-group.
constexpr float kTwoThirds = 0.6666667f;
constexpr float kOneThird = 0.33333334f;

float between(float first, float second, float factor) { return first + (second - first) * factor; }

// The three outputs of one group starting at `s`.
std::array<float, 3> resampledGroup(const float* s, std::size_t groupSize) {
    if (groupSize == 5)
        return {s[0], between(s[1], s[2], kTwoThirds), between(s[3], s[4], kOneThird)};
    return {s[0], between(s[3], s[4], kOneThird), between(s[6], s[7], kTwoThirds)};
}

constexpr IntBounds kUnbounded{INT_MIN, INT_MAX};

// Per output position: the bounds of the integer waves. The pleth and arterial waves
// never go below 4 in their third sample.
std::array<IntBounds, 3> integerBounds(Wave wave) {
    switch (wave) {
    case Wave::Pleth: return {IntBounds{0, 100}, IntBounds{0, 100}, IntBounds{4, 100}};
    case Wave::Abp: return {IntBounds{0, 300}, IntBounds{0, 300}, IntBounds{4, 300}};
    case Wave::Cvp: return {IntBounds{0, INT_MAX}, IntBounds{0, INT_MAX}, IntBounds{0, INT_MAX}};
    default: return {kUnbounded, kUnbounded, kUnbounded};
    }
}

// Nearest integer, halves away from zero, then the bounds. A sample that is not a
// number counts as 0, and no value outside the bounds (or outside int) is converted.
int roundedSample(float value, IntBounds bounds) {
    const double rounded = std::isnan(value) ? 0.0 : std::round(static_cast<double>(value));
    if (rounded <= bounds.low)
        return bounds.low;
    if (rounded > bounds.high)
        return bounds.high;
    return static_cast<int>(rounded);
}

float co2Sample(float value) {
    if (std::isnan(value))
        return kCo2SampleHigh;
    if (value <= kCo2SampleLow)
        return kCo2SampleLow;
    if (value > kCo2SampleHigh)
        return kCo2SampleHigh;
    return value;
}

}  // namespace

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

const char* waveWord(Wave wave) {
    switch (wave) {
    case Wave::Pleth: return "PLETH";
    case Wave::Abp: return "ABP";
    case Wave::Pap: return "PAP";
    case Wave::Cvp: return "CVP";
    case Wave::Co2: return "CO2";
    }
    return "";
}

std::size_t waveGroupSize(Wave wave) { return wave == Wave::Cvp || wave == Wave::Co2 ? 10 : 5; }

std::string resampleWave(Wave wave, std::vector<float>& samples) {
    const std::size_t group = waveGroupSize(wave);
    const std::size_t groups = samples.size() / group;
    const std::array<IntBounds, 3> bounds = integerBounds(wave);
    std::string list;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::array<float, 3> out = resampledGroup(samples.data() + g * group, group);
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (!list.empty())
                list += ',';
            list += wave == Wave::Co2 ? co2SamplePayload(co2Sample(out[i])) : integerPayload(roundedSample(out[i], bounds[i]));
        }
    }
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(groups * group));
    return list;
}

}  // namespace halvex::v22
