#pragma once

#include <memory>
#include <string>
#include <vector>

#include "controller/edition.h"
#include "controller/edition_v22_adaptor.h"

namespace halvex::controller {

// What halvex-relay-v22's controller does differently: both simulator links go to
// this machine; SaO2 and capnogram values are mapped through the configuration's
// calibration curves; the unit's output is switched by associating with it and
// disabling it; each send cycle is one batch of commands that carries the probe
// state and the CO2 waveform; the supervision loop only watches the association
// while something drives the unit, and re-associates a lost unit.
class V22Edition : public Edition {
public:
    // The WiFi set-up mode with this edition's unit: the process status.
    static int setUpWifi(V22UnitAdaptor& unit, const WifiSettings& settings);

    static constexpr ConfigurationKeys kConfigurationKeys{false};
    static constexpr Rules kRules{false, false, false, true};
    // The calibration thread's synthetic waves: a table of 122 samples holding one
    // pulse of 61 samples twice, and a CO2 square wave of 500 samples (250 at 0, 250
    // at the CO2 counter / 1000).
    static constexpr std::size_t kPulseLength = 61;
    static constexpr std::size_t kPulseSamples = 2 * kPulseLength;
    static constexpr std::size_t kCo2Period = 500;
    static constexpr std::size_t kSamplesPerRound = 10;
    static const float kPulse[kPulseLength];

    V22Edition(Configuration& configuration, std::unique_ptr<V22UnitAdaptor> unit);

    // The APP inputs this edition subscribes, in subscription order.
    static const std::vector<com_krel::ParameterRequest>& appInputList();

    V22UnitAdaptor& unit() override { return *unit_; }
    SimulatorLinks simulatorLinks() const override;
    int spo2FromSaO2(float sao2) const override;
    void simulatorEvent(const SimulatorEvent& event, bool unitAway) override;
    void sendCycle(SendCycle& cycle) override;
    UnitCheck checkUnit() override;
    void unitStep(UnitStep step) override;
    void calibrationAction(CalibrationAction action, int argument, CalibrationState& state) override;
    void calibrationThread(CalibrationPhase phase, const CalibrationState& state) override;

private:
    void saveCalibration(const CalibrationState& state);
    void sendCalibrationRound(const CalibrationState& state);

    std::unique_ptr<V22UnitAdaptor> unit_;
    // Where the calibration thread's synthetic pleth and CO2 waves are.
    std::size_t pulseIndex = 0;
    std::size_t co2Index = 0;
};

}  // namespace halvex::controller
