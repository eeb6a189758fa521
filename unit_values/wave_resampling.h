#pragma once

// The simulator's waveforms at the units' rate: each group of five (or ten) simulator
// samples becomes three unit samples, interpolated at positions 0, 5/3 and 10/3 of a
// group of five (0, 10/3 and 20/3 of a group of ten). No I/O here; each adaptor bounds
// the samples by its own table and writes them in its own format.

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "unit_values/value_bounds.h"

namespace halvex::unit_values {

// Simulator samples per group; a group yields kUnitSamplesPerGroup unit samples.
enum class WaveGroup : std::size_t { Five = 5, Ten = 10 };
inline constexpr std::size_t kUnitSamplesPerGroup = 3;

// Takes every whole group from the front of `samples` and returns the unit's samples,
// three per group; an incomplete group stays in `samples`. Empty (and `samples`
// unchanged) when not even one group is there.
std::vector<float> takeResampled(std::vector<float>& samples, WaveGroup group);

// Nearest integer, halves away from zero, then within `bounds`. A sample that is not
// a number counts as 0; no value outside the bounds is converted, so none overflows.
int roundedSample(float value, IntBounds bounds);

// The bounds of each of the three positions of a group.
using GroupBounds = std::array<IntBounds, kUnitSamplesPerGroup>;

// The arterial pressure wave, as both units take it: 0..300, never below 4 in the third
// sample of a group.
inline constexpr GroupBounds kArterialWaveBounds = {IntBounds{0, 300}, IntBounds{0, 300}, IntBounds{4, 300}};

// takeResampled as integers, "v,v,v,..." (std::to_string, comma-separated), each
// rounded within the bounds of its position. Empty text when there was no whole group.
std::string integerWaveText(std::vector<float>& samples, WaveGroup group, const GroupBounds& bounds);

}  // namespace halvex::unit_values
