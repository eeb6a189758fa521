#pragma once
// The simulated adult patient served by the emulator program: the parameter table
// with start values, and synthetic waveforms.

#include <string>
#include <utility>
#include <vector>

#include "emulators/sim_server/sim_server_emulator.h"

namespace halvex::emulators::sim_server {

// Every parameter the bridge subscribes, with its protocol, value type and the start
// value of a stable adult patient at normal speed.
std::vector<Parameter> standardPatientParameters();

// Waveform sampling.
constexpr double kSampleIntervalSeconds = 0.012;
constexpr int kSamplesPerBatch = 5;  // one batch every 60 ms

// Synthetic but plausible waveforms. Shapes follow the heart and respiration rates
// and the pressures read from the emulator at each batch; phases are carried over so
// that a rate change does not jump the curve.
class WaveformGenerator {
public:
    // The next kSamplesPerBatch samples of each of ARTLINE, PLINE, CVPLINE, CAPNOGRAM and
    // PLETH, interleaved per sample instant, read against the emulator's current values.
    std::vector<std::pair<std::string, double>> nextBatch(const SimServerEmulator& server);

private:
    double cardiacPhase_ = 0;      // 0..1 within a heart beat
    double respiratoryPhase_ = 0;  // 0..1 within a breath
};

}  // namespace halvex::emulators::sim_server
