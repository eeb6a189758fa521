#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "configuration/configuration.h"
#include "controller/unit_adaptor.h"
#include "simlink/types.h"

// The monitor calibration procedure's working values and saved points (calibration.cpp).
struct CalibrationState {
    int co2Counter = 0;
    int spo2Counter = 45;
    int spo2Scale = 4;
    // Saved points; which of counter and monitor reading is the key is the edition's.
    std::map<int, int> co2Points;
    std::map<int, int> spo2Points;
};

// What the WiFi set-up mode hands a unit: the three texts of the command line.
struct WifiSettings {
    std::string unitAddress;
    std::string ssid;
    std::string password;
};

// What the two editions of the bridge do differently, as one object per controller.
// The controller (simulator_sample.h) holds everything they share and asks its
// edition at the points where they part; edition_json.h and edition_v22.h define the
// two, each in one file with its own state. An edition owns the unit adaptor it
// drives.
//
// Threads: the parameter and send-cycle hooks run inside a batch, under the
// controller's lock, on a simulator client's receiving thread. The supervision hooks
// run on the main thread without the lock and take it (`lock`, handed to them)
// around every adaptor call, so two adaptor operations never overlap.
class Edition {
public:
    // The unit's state as one supervision check saw it.
    enum class UnitHealth {
        NotChecked,  // the edition does not look at the unit now
        Reachable,
        Unreachable,
    };

    // A numeric group goes out when its countdown drops below 0: every 21st cycle.
    static constexpr int kCountdownReload = 20;

    explicit Edition(Configuration& settings) : configuration(settings) {}
    virtual ~Edition() = default;
    Edition(const Edition&) = delete;
    Edition& operator=(const Edition&) = delete;

    virtual UnitAdaptor& unit() = 0;

    // Subscriptions and servers.
    virtual const std::vector<com_krel::ParameterRequest>& appInputs() const = 0;
    virtual std::string simServerAddress() const = 0;
    virtual std::string appServerAddress() const = 0;

    void setDebug(bool on) { debug = on; }
    // Reaches the unit named by the configuration; returns once it has been reached.
    bool initializeUnit();

    // Parameter handling, inside a batch.
    virtual int spo2FromSaO2(float sao2) const = 0;
    virtual void etco2Updated(int value) = 0;
    virtual void capnogramSample(float value) = 0;
    virtual void catheterDepth(const char* zeroStateName, int depth) = 0;
    virtual void spo2ProbeUpdated(const std::string& id, bool attached) = 0;
    // The simulation started (or is repeated as running) or stopped: switch the
    // unit's output.
    virtual void unitOutputOn() = 0;
    virtual void unitOutputOff() = 0;
    // False while the unit cannot take commands; the send cycle is then skipped.
    virtual bool unitReady() const = 0;
    virtual void resetCountdowns() = 0;
    virtual void clearSamples() = 0;

    // One send cycle: begin, the probe state with the SpO2 group, the CO2 group, end.
    virtual void beginCycle(std::size_t arterialSamples) = 0;
    virtual void sendProbeState(bool attached) = 0;
    virtual void sendCo2Group(bool capnographAttached, int& capnoCountdown) = 0;
    virtual void endCycle() = 0;

    // Supervision, every check interval: look at the unit (`driven`: the simulation
    // or a calibration drives it); bring an unreachable unit back; then whatever the
    // edition does after each check.
    virtual UnitHealth checkUnit(bool driven, std::mutex& lock) = 0;
    virtual void recoverUnit(std::mutex& lock) = 0;
    virtual void afterCheck(UnitHealth health, std::mutex& lock) = 0;

    // Teardown, after the simulator links are down: release the unit.
    virtual void shutdown(std::mutex& lock) = 0;

    // The monitor calibration procedure, inside a batch (under the controller's lock).
    virtual void calibrationActionReceived(int action, int argument) = 0;
    // Action 1, after the shared values were reset.
    virtual void calibrationReset(CalibrationState& state) = 0;
    virtual void spo2CounterSet(int value) = 0;
    virtual void co2CounterSet(int value) = 0;
    // Stores a point saved with the counter the unit was driven with and the
    // monitor's reading (the action's argument).
    virtual void storePoint(std::map<int, int>& points, int counter, int reading) = 0;
    // Action 100: where the saved points go. May raise an error: the procedure then
    // stays on.
    virtual void saveCalibration(const CalibrationState& state) = 0;

    // The calibration thread: once at its start and at its end (without the lock);
    // every 120 ms round, first without the lock, then under it with the values of
    // that moment.
    virtual void calibrationStarted() = 0;
    virtual void beforeCalibrationRound(std::mutex& lock) = 0;
    virtual void calibrationRound(const CalibrationState& state) = 0;
    // `running`: the simulation took over from the procedure.
    virtual void calibrationEnded(bool running) = 0;

    // The WiFi set-up mode's first step, the same in both editions: reach the unit at
    // the given address, without retrying for ever. False (with its line) when it
    // cannot. Each edition's setUpWifi (edition_*.h) goes on from there.
    static bool reachUnitForWifi(UnitAdaptor& unit, const WifiSettings& settings);

protected:
    Configuration& configuration;
    bool debug = false;
};
