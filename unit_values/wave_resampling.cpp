#include "unit_values/wave_resampling.h"

#include <cmath>

namespace halvex::unit_values {

namespace {

// 2/3 and 1/3 as single-precision constants, so both units get the same samples.
constexpr float kTwoThirds = 0.6666667f;
constexpr float kOneThird = 0.33333334f;

float between(float first, float second, float factor) { return first + (second - first) * factor; }

}  // namespace

std::vector<float> takeResampled(std::vector<float>& samples, WaveGroup group) {
    const std::size_t size = static_cast<std::size_t>(group);
    const std::size_t groups = samples.size() / size;
    std::vector<float> out;
    out.reserve(groups * kUnitSamplesPerGroup);
    for (std::size_t g = 0; g < groups; ++g) {
        const float* s = samples.data() + g * size;
        out.push_back(s[0]);
        if (group == WaveGroup::Five) {
            out.push_back(between(s[1], s[2], kTwoThirds));
            out.push_back(between(s[3], s[4], kOneThird));
        } else {
            out.push_back(between(s[3], s[4], kOneThird));
            out.push_back(between(s[6], s[7], kTwoThirds));
        }
    }
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(groups * size));
    return out;
}

int roundedSample(float value, IntBounds bounds) {
    const double rounded = std::isnan(value) ? 0.0 : std::round(static_cast<double>(value));
    if (rounded <= bounds.low)
        return bounds.low;
    if (rounded > bounds.high)
        return bounds.high;
    return static_cast<int>(rounded);
}

std::string integerWaveText(std::vector<float>& samples, WaveGroup group, const GroupBounds& bounds) {
    const std::vector<float> resampled = takeResampled(samples, group);
    std::string text;
    for (std::size_t i = 0; i < resampled.size(); ++i) {
        if (!text.empty())
            text += ',';
        text += std::to_string(roundedSample(resampled[i], bounds[i % kUnitSamplesPerGroup]));
    }
    return text;
}

}  // namespace halvex::unit_values
