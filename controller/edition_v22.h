#pragma once

#include <memory>
#include <string>
#include <vector>

#include "controller/edition.h"

// What halvex-relay-v22's controller does differently: both simulator links go to
// this machine; SaO2 and capnogram values are mapped through the configuration's
// calibration curves; the unit's output is switched by associating with it and
// disabling it; each send cycle is one batch of commands that carries the probe
// state and the CO2 waveform; the supervision loop only watches the association
// while something drives the unit.
class V22Edition : public Edition {
public:
    static constexpr ConfigurationKeys kConfigurationKeys{false};

    V22Edition(const Configuration& configuration, std::unique_ptr<V22UnitAdaptor> unit);

    V22UnitAdaptor& unit() override { return *unit_; }
    const std::vector<com_krel::ParameterRequest>& appInputs() const override;
    std::string simServerAddress() const override;
    std::string appServerAddress() const override;

    int spo2FromSaO2(float sao2) const override;
    void etco2Updated(int value) override;
    void capnogramSample(float value) override;
    void catheterDepth(const char* zeroStateName, int depth) override;
    void spo2ProbeUpdated(const std::string& id, bool attached) override;
    void unitOutputOn() override;
    void unitOutputOff() override;
    bool unitReady() const override;
    void resetCountdowns() override;
    void clearSamples() override;

    void beginCycle(std::size_t arterialSamples) override;
    void sendProbeState(bool attached) override;
    void sendCo2Group(bool capnographAttached, int& capnoCountdown) override;
    void endCycle() override;

    UnitHealth checkUnit(bool driven, std::mutex& lock) override;
    void recoverUnit(std::mutex& lock) override;
    void afterCheck(UnitHealth health, std::mutex& lock) override;
    void shutdown(std::mutex& lock) override;

private:
    std::unique_ptr<V22UnitAdaptor> unit_;
    // Capnogram samples mapped through the CO2 curve, gathered like the other waves.
    std::vector<float> co2Samples;
};
