#include "adaptor_v22/run_values.h"

#include <climits>
#include <cmath>

#include "adaptor_v22/command_text.h"
#include "unit_values/wave_resampling.h"

namespace halvex::adaptor_v22 {

namespace {

using unit_values::GroupBounds;
using unit_values::WaveGroup;

WaveGroup groupOf(Wave wave) { return wave == Wave::Cvp || wave == Wave::Co2 ? WaveGroup::Ten : WaveGroup::Five; }

constexpr IntBounds kUnbounded{INT_MIN, INT_MAX};

// Per output position: the bounds of the integer waves. The pleth wave never goes
// below 4 in its third sample.
GroupBounds integerBounds(Wave wave) {
    switch (wave) {
    case Wave::Pleth: return {IntBounds{0, 100}, IntBounds{0, 100}, IntBounds{4, 100}};
    case Wave::Abp: return unit_values::kArterialWaveBounds;
    case Wave::Cvp: return {IntBounds{0, INT_MAX}, IntBounds{0, INT_MAX}, IntBounds{0, INT_MAX}};
    default: return {kUnbounded, kUnbounded, kUnbounded};
    }
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

std::size_t waveGroupSize(Wave wave) { return static_cast<std::size_t>(groupOf(wave)); }

std::string resampleWave(Wave wave, std::vector<float>& samples) {
    if (wave != Wave::Co2)
        return unit_values::integerWaveText(samples, groupOf(wave), integerBounds(wave));
    std::string list;
    for (const float sample : unit_values::takeResampled(samples, groupOf(wave))) {
        if (!list.empty())
            list += ',';
        list += co2SamplePayload(co2Sample(sample));
    }
    return list;
}

}  // namespace halvex::adaptor_v22
