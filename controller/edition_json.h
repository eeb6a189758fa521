#pragma once

#include <atomic>
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
    static constexpr ConfigurationKeys kConfigurationKeys{true};

    JsonEdition(const Configuration& configuration, std::unique_ptr<JsonUnitAdaptor> unit);

    JsonUnitAdaptor& unit() override { return *unit_; }
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
};
