#include "emulators/sim_server/patient.h"

#include <algorithm>
#include <cmath>

namespace halvex::emulators::sim_server {

std::vector<Parameter> standardPatientParameters() {
    auto sim = [](const char* id, double v) { return Parameter{id, Protocol::Sim, false, v}; };
    auto appInt = [](const char* id, double v) { return Parameter{id, Protocol::App, false, v}; };
    auto appFloat = [](const char* id, double v) { return Parameter{id, Protocol::App, true, v}; };
    return {
        sim("HW_PATSPEED", 1),
        sim("HW_PATMON_ENABLED", 1),
        sim("HW_PATMON_CALIB_ACTION", 0),
        sim("HW_PATMON_CALIB_ARG1", 0),
        appInt("ARTERIAL_CATHETER_DEPTH", 5),
        appInt("CVP_CATHETER_DEPTH", 5),
        appInt("PA_CATHETER_DEPTH", 5),
        appInt("PULSE_SENSOR", 1),
        appInt("SPO2_PROBE", 1),
        appInt("CAPNOGRAPH_SENSOR", 1),
        appInt("TEMP_BODY_SENSOR", 1),
        appInt("TEMP_BLOOD_SENSOR", 1),
        appInt("NIBP_SENSOR", 1),
        appInt("SIMULATOR_XCONNECTED", 0),
        appFloat("ARTLINE", 93),
        appFloat("PLINE", 15),
        appFloat("CVPLINE", 5),
        appFloat("CAPNOGRAM", 0),
        appFloat("PLETH", 50),
        appFloat("SAO2", 97),
        appInt("EXT_DABP", 80),
        appInt("EXT_MAP", 93),
        appInt("EXT_SABP", 120),
        appInt("SPA", 25),
        appInt("DPA", 10),
        appInt("ETCO2", 38),
        appInt("HRPM", 72),
        appInt("RRPM", 12),
        appFloat("BODY_TEMP", 37.0),
        appFloat("bloodTemp", 37.2),
    };
}

namespace {

constexpr double kPi = 3.14159265358979323846;

// Arterial-type pulse over one beat, 0..1: a quick systolic upstroke, then a decay
// with a small dicrotic notch.
double pressurePulse(double phase) {
    if (phase < 0.12) return std::sin(0.5 * kPi * phase / 0.12);
    double v = std::exp(-(phase - 0.12) * 3.2);
    const double notch = phase - 0.36;
    v += 0.12 * std::exp(-notch * notch / 0.0012);
    return std::clamp((v - 0.06) / 0.94, 0.0, 1.0);
}

// Pleth: a smoother, later pulse than the arterial one.
double plethPulse(double phase) {
    if (phase < 0.2) return 0.5 - 0.5 * std::cos(kPi * phase / 0.2);
    return std::exp(-(phase - 0.2) * 2.6);
}

// Capnogram over one breath: flat baseline on inspiration, then a steep rise to a
// slowly climbing plateau during expiration.
double capnoShape(double phase) {
    if (phase < 0.4) return 0;
    const double e = phase - 0.4;
    if (e > 0.55) return std::max(0.0, 1.0 - (e - 0.55) / 0.05);  // quick fall at the next inspiration
    return (1.0 - std::exp(-e * 30.0)) * (0.92 + 0.08 * e / 0.55);
}

double valueOr(const SimServerEmulator& s, const char* id, double fallback) {
    auto v = s.value(id);
    return v ? *v : fallback;
}

}  // namespace

std::vector<std::pair<std::string, double>> WaveformGenerator::nextBatch(const SimServerEmulator& server) {
    const double hr = std::max(0.0, valueOr(server, "HRPM", 72));
    const double rr = std::max(0.0, valueOr(server, "RRPM", 12));
    const double sys = valueOr(server, "EXT_SABP", 120), dia = valueOr(server, "EXT_DABP", 80);
    const double spa = valueOr(server, "SPA", 25), dpa = valueOr(server, "DPA", 10);
    const double etco2 = valueOr(server, "ETCO2", 38);

    std::vector<std::pair<std::string, double>> out;
    out.reserve(kSamplesPerBatch * 5);
    for (int i = 0; i < kSamplesPerBatch; ++i) {
        cardiacPhase_ = std::fmod(cardiacPhase_ + kSampleIntervalSeconds * hr / 60.0, 1.0);
        respiratoryPhase_ = std::fmod(respiratoryPhase_ + kSampleIntervalSeconds * rr / 60.0, 1.0);
        const double p = pressurePulse(cardiacPhase_);
        out.emplace_back("ARTLINE", dia + (sys - dia) * p);
        out.emplace_back("PLINE", dpa + (spa - dpa) * p);
        // Venous pressure: a gentle two-wave swing between 2 and 8.
        out.emplace_back("CVPLINE", 5.0 + 3.0 * std::sin(2 * kPi * cardiacPhase_) * std::cos(kPi * cardiacPhase_));
        out.emplace_back("CAPNOGRAM", etco2 * capnoShape(respiratoryPhase_));
        out.emplace_back("PLETH", 100.0 * plethPulse(std::fmod(cardiacPhase_ + 0.85, 1.0)));
    }
    return out;
}

}  // namespace halvex::emulators::sim_server
