#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "controller/edition.h"
#include "controller/edition_json_adaptor.h"

namespace halvex::controller {

// What halvex-relay-json's controller does differently: the simulator server
// addresses come from the configuration ("SimulatorIP", "RHMIP"); ETCO2 is forwarded
// as a command with its own countdown and CAPNOGRAM is not used; catheter zero states
// go to the unit at once; the unit's output is switched by enabling its streaming; the
// supervision loop reaches a lost unit again after every failed check and selects the
// unit's default calibration while nothing drives it.
//
// Reaching the unit again waits for as long as it takes, so the controller does it
// without its lock (simulator_sample.h): the simulator clients keep reading meanwhile,
// and the one-off commands their batches would make wait in `deferred*` until
// UnitStep::Restore sends them.
class JsonEdition : public Edition {
public:
    // The WiFi set-up mode with this edition's unit: the process status.
    static int setUpWifi(JsonUnitAdaptor& unit, const WifiSettings& settings);

    static constexpr ConfigurationKeys kConfigurationKeys{true};
    static constexpr Rules kRules{true, true, true, false};
    // The pause before a saved calibration is uploaded to the unit.
    static constexpr std::chrono::milliseconds kCalibrationSettle{2000};

    JsonEdition(Configuration& configuration, std::unique_ptr<JsonUnitAdaptor> unit);

    // The APP inputs this edition subscribes, in subscription order.
    static const std::vector<com_krel::ParameterRequest>& appInputList();

    JsonUnitAdaptor& unit() override { return *unit_; }
    SimulatorLinks simulatorLinks() const override;
    int spo2FromSaO2(float sao2) const override;
    void simulatorEvent(const SimulatorEvent& event, bool unitAway) override;
    void sendCycle(SendCycle& cycle) override;
    UnitCheck checkUnit() override;
    void unitStep(UnitStep step) override;
    void calibrationAction(CalibrationAction action, int argument, CalibrationState& state) override;
    void calibrationThread(CalibrationPhase phase, const CalibrationState& state) override;

    // Tests shorten the pause before the upload.
    void setCalibrationSettle(std::chrono::milliseconds pause) { calibrationSettle = pause; }

private:
    void switchStreaming(bool on, bool unitAway);
    void sendDeferred();
    void saveCalibration(const CalibrationState& state);

    std::unique_ptr<JsonUnitAdaptor> unit_;
    // Neither the simulation nor a calibration drives the unit. Read by the
    // supervision loop without the lock.
    std::atomic<bool> idle{true};
    // Under the controller's lock.
    bool streamingDeferred = false;
    std::map<std::string, std::string> deferredZeroStates;
    std::chrono::milliseconds calibrationSettle = kCalibrationSettle;
};

}  // namespace halvex::controller
