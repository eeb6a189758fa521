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
    // The WiFi set-up mode with this edition's unit: the process status.
    static int setUpWifi(V22UnitAdaptor& unit, const WifiSettings& settings);

    static constexpr ConfigurationKeys kConfigurationKeys{false};
    // The calibration thread's synthetic waves: a table of 122 samples holding one
    // pulse of 61 samples twice, and a CO2 square wave of 500 samples (250 at 0, 250
    // at the CO2 counter / 1000).
    static constexpr std::size_t kPulseLength = 61;
    static constexpr std::size_t kPulseSamples = 2 * kPulseLength;
    static constexpr std::size_t kCo2Period = 500;
    static constexpr std::size_t kSamplesPerRound = 10;
    static const float kPulse[kPulseLength];

    V22Edition(Configuration& configuration, std::unique_ptr<V22UnitAdaptor> unit);

    V22UnitAdaptor& unit() override { return *unit_; }
    const std::vector<com_krel::ParameterRequest>& appInputs() const override { return appInputList(); }
    // The APP inputs this edition subscribes, in subscription order.
    static const std::vector<com_krel::ParameterRequest>& appInputList();
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

    void calibrationActionReceived(int action, int argument) override;
    void calibrationReset(CalibrationState& state) override;
    void spo2CounterSet(int value) override;
    void co2CounterSet(int value) override;
    void storePoint(std::map<int, int>& points, int counter, int reading) override;
    void saveCalibration(const CalibrationState& state) override;
    void calibrationStarted() override;
    void beforeCalibrationRound(std::mutex& lock) override;
    void calibrationRound(const CalibrationState& state) override;
    void calibrationEnded(bool running) override;

private:
    std::unique_ptr<V22UnitAdaptor> unit_;
    // Capnogram samples mapped through the CO2 curve, gathered like the other waves.
    std::vector<float> co2Samples;
    // Where the calibration thread's synthetic pleth and CO2 waves are.
    std::size_t pulseIndex = 0;
    std::size_t co2Index = 0;
};
