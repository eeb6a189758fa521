#pragma once

#include <string>
#include <vector>

#include "configuration/configuration.h"
#include "controller/calibration_state.h"
#include "controller/patient_values.h"
#include "controller/unit_adaptor.h"
#include "simlink/types.h"

namespace halvex::controller {

// By their own names: inside the classes below a member named `configuration` hides
// the namespace.
using configuration::Configuration;
using configuration::ConfigurationKeys;

// What the WiFi set-up mode hands a unit: the three texts of the command line.
struct WifiSettings {
    std::string unitAddress;
    std::string ssid;
    std::string password;
};

// Where an edition's simulator links go, and what its APP link subscribes.
struct SimulatorLinks {
    std::vector<com_krel::ParameterRequest> appInputs;
    std::string simAddress;
    std::string appAddress;
};

// Something a batch of updates tells the unit at once, in the batch's order.
struct SimulatorEvent {
    enum class Kind {
        SimulationRunning,  // every speed update of "running", repeated ones too
        SimulationStopped,  // a speed update of anything else while no calibration runs
        CatheterDepth,      // `catheter` is at depth `value` (below 0: not inserted)
        SpO2Probe,          // the probe is on (`value` 1) or off (0)
    };
    Kind kind;
    Catheter catheter = Catheter::Arterial;
    int value = 0;
};

// What one look at the unit found, and what the edition wants done after the
// supervision loop has counted it.
struct UnitCheck {
    enum class Then {
        Nothing,
        Reconnect,  // announce the loss and bring the unit back (as after a failed check)
        KeepIdle,   // UnitStep::KeepIdle, under the lock
    };
    bool reachable = false;
    Then then = Then::Nothing;
};

// A unit operation the supervision loop or the teardown asks of the edition.
enum class UnitStep {
    Restore,   // a lost unit: after it has been reached again, or in place of that
    KeepIdle,  // a reachable unit that nothing drives
    Release,   // teardown, after the simulator links are down
};

// Where the calibration thread is.
enum class CalibrationPhase {
    Started,            // once, before its first round
    Refresh,            // before each round's pause
    Round,              // each round, with the values of that moment
    Ended,              // the procedure ended
    EndedBySimulation,  // the simulation took over from the procedure
};

// What the two editions of the bridge do differently, as one object per controller
// (edition_json.h, edition_v22.h, each with its own state). The controller
// (simulator_sample.h) holds what they share, the patient's values included, and
// hands its edition plain values: the events of a batch, one send cycle at a time,
// the supervision's and the calibration's steps. The edition turns them into calls of
// the unit adaptor it owns, in its own order.
//
// Threads and the lock: only the controller takes its lock; an edition never takes
// it and never waits for it. Which thread calls which operation, and which calls are
// made under the lock, is in simulator_sample.h.
class Edition {
public:
    // What an edition does or leaves out, as data the controller reads.
    struct Rules {
        // The supervision loop looks at the unit also while nothing drives it.
        bool checksIdleUnit;
        // A lost unit is reached again through initialize (without the lock, for as
        // long as it takes) before UnitStep::Restore; else Restore alone brings it back.
        bool reachesLostUnit;
        // The calibration procedure prints every action it receives.
        bool announcesCalibrationActions;
        // The calibration thread drives the unit itself (the Refresh and Round phases);
        // else it only paces.
        bool drivesCalibrationRounds;
    };

    Edition(Configuration& settings, Rules editionRules) : rules(editionRules), configuration(settings) {}
    virtual ~Edition() = default;
    Edition(const Edition&) = delete;
    Edition& operator=(const Edition&) = delete;

    const Rules rules;

    void setDebug(bool on) { debug = on; }
    // Reaches the unit named by the configuration; returns once it has been reached,
    // or false once the adaptor was interrupted.
    bool initializeUnit();

    // ---- The operations ----

    virtual UnitAdaptor& unit() = 0;
    virtual SimulatorLinks simulatorLinks() const = 0;
    // The unit's SpO2 value for a simulator SaO2 value.
    virtual int spo2FromSaO2(float sao2) const = 0;
    // `unitAway`: the unit is being reached again; what it must hear waits until then.
    virtual void simulatorEvent(const SimulatorEvent& event, bool unitAway) = 0;
    // One send cycle: the due groups and the waves, in this unit's order.
    virtual void sendCycle(SendCycle& cycle) = 0;
    // One supervision look at the unit: made while something drives it, and also
    // while nothing does with Rules::checksIdleUnit.
    virtual UnitCheck checkUnit() = 0;
    virtual void unitStep(UnitStep step) = 0;
    // An action of a running procedure, after the shared working values were updated:
    // the edition's unit commands, how it keys a saved point, the save. The save may
    // raise an error: the procedure then stays on.
    virtual void calibrationAction(CalibrationAction action, int argument, CalibrationState& state) = 0;
    virtual void calibrationThread(CalibrationPhase phase, const CalibrationState& state) = 0;

    // The WiFi set-up mode's first step, the same in both editions: reach the unit at
    // the given address, without retrying for ever. False (with its line) when it
    // cannot. Each edition's setUpWifi (edition_*.h) goes on from there.
    static bool reachUnitForWifi(UnitAdaptor& unit, const WifiSettings& settings);

protected:
    // The parts of a send cycle both units take in the same order: blood pressure,
    // heart rate, respiration rate, temperatures; and the three pressure waves.
    static void sendVitals(UnitAdaptor& unit, const SendCycle& cycle);
    static void sendPressureWaves(UnitAdaptor& unit, SendCycle& cycle);

    Configuration& configuration;
    bool debug = false;
};

}  // namespace halvex::controller
