#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "controller/edition.h"

// What halvex-relay-json's controller does differently: the simulator server
// addresses come from the configuration ("SimulatorIP", "RHMIP"); ETCO2 is forwarded
// as a command and CAPNOGRAM is not used; catheter zero states go to the unit at
// once; the unit's output is switched by enabling its streaming; the supervision loop
// re-initialises a lost unit and sends CalSelect while nothing drives it.
//
// Re-initialising waits for the unit for as long as it takes, so it runs without the
// controller's lock: the simulator clients keep reading meanwhile and their batches
// leave the unit alone (unitReady() is false); the one-off commands they would have
// made wait in `deferred*` and go out once the unit is back.
class JsonEdition : public Edition {
public:
    // The WiFi set-up mode with this edition's unit: the process status.
    static int setUpWifi(JsonUnitAdaptor& unit, const WifiSettings& settings);

    static constexpr ConfigurationKeys kConfigurationKeys{true};
    // The pause before a saved calibration is uploaded to the unit.
    static constexpr std::chrono::milliseconds kCalibrationSettle{2000};

    JsonEdition(Configuration& configuration, std::unique_ptr<JsonUnitAdaptor> unit);

    JsonUnitAdaptor& unit() override { return *unit_; }
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

    // Tests shorten the pause before the upload.
    void setCalibrationSettle(std::chrono::milliseconds pause) { calibrationSettle = pause; }

private:
    void reconnectUnit(std::mutex& lock);
    void replayDeferred();

    std::unique_ptr<JsonUnitAdaptor> unit_;
    // Neither the simulation nor a calibration drives the unit. Read by the
    // supervision loop without the lock.
    std::atomic<bool> idle{true};
    int etco2Countdown = 0, etco2Value = 0;
    // Under the controller's lock.
    bool unitReconnecting = false;
    bool streamingDeferred = false;
    std::map<std::string, std::string> deferredZeroStates;
    std::chrono::milliseconds calibrationSettle = kCalibrationSettle;
};
