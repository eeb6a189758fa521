#include "controller/edition_json.h"

#include <climits>
#include <exception>
#include <thread>

#include "platform/line_sink.h"

namespace halvex::controller {

using com_krel::ParameterRequest;
using halvex::platform::printErr;
using halvex::platform::printOut;

namespace {

// The unit's pending-message key of each catheter's zero state.
const char* zeroStateKey(Catheter catheter) {
    switch (catheter) {
    case Catheter::Arterial: return "abpZeroState";
    case Catheter::CentralVenous: return "cvpZeroState";
    case Catheter::PulmonaryArtery: break;
    }
    return "papZeroState";
}

}  // namespace

JsonEdition::JsonEdition(Configuration& config, std::unique_ptr<JsonUnitAdaptor> adaptor)
    : Edition(config, kRules), unit_(std::move(adaptor)) {}

const std::vector<ParameterRequest>& JsonEdition::appInputList() {
    using com_krel::TypeFloat;
    using com_krel::TypeInteger;
    static const std::vector<ParameterRequest> inputs = {
        {"ARTERIAL_CATHETER_DEPTH", TypeInteger, 0}, {"CVP_CATHETER_DEPTH", TypeInteger, 0},
        {"PA_CATHETER_DEPTH", TypeInteger, 0},       {"PULSE_SENSOR", TypeInteger, 0},
        {"SPO2_PROBE", TypeInteger, 0},              {"CAPNOGRAPH_SENSOR", TypeInteger, 0},
        {"TEMP_BODY_SENSOR", TypeInteger, 0},        {"TEMP_BLOOD_SENSOR", TypeInteger, 0},
        {"NIBP_SENSOR", TypeInteger, 0},             {"SIMULATOR_XCONNECTED", TypeInteger, 0},
        {"ARTLINE", TypeFloat, 1},                   {"PLINE", TypeFloat, 1},
        {"CVPLINE", TypeFloat, 1},                   {"CAPNOGRAM", TypeFloat, 1},
        {"PLETH", TypeFloat, 1},                     {"SAO2", TypeFloat, 0},
        {"EXT_DABP", TypeInteger, 0},                {"EXT_MAP", TypeInteger, 0},
        {"EXT_SABP", TypeInteger, 0},                {"SPA", TypeInteger, 0},
        {"DPA", TypeInteger, 0},                     {"ETCO2", TypeInteger, 0},
        {"HRPM", TypeInteger, 0},                    {"RRPM", TypeInteger, 0},
        {"BODY_TEMP", TypeFloat, 0},                 {"bloodTemp", TypeFloat, 0},
    };
    return inputs;
}

SimulatorLinks JsonEdition::simulatorLinks() const {
    return {appInputList(), configuration.RHMIP, configuration.SimulatorIP};
}

// SaO2 in whole percent, truncated toward zero; a value beyond the range of int is
// held at its end.
int JsonEdition::spo2FromSaO2(float sao2) const {
    if (sao2 >= static_cast<float>(INT_MAX))
        return INT_MAX;
    if (sao2 <= static_cast<float>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(sao2);
}

void JsonEdition::simulatorEvent(const SimulatorEvent& event, bool unitAway) {
    switch (event.kind) {
    case SimulatorEvent::Kind::SimulationRunning:
        if (debug)
            printOut("Got here1 (parametersUpdated)");
        idle = false;
        switchStreaming(true, unitAway);
        break;
    case SimulatorEvent::Kind::SimulationStopped:
        if (debug)
            printOut("Got here2 (parametersUpdated)");
        idle = true;
        switchStreaming(false, unitAway);
        break;
    case SimulatorEvent::Kind::CatheterDepth: {
        const std::string state = event.value == 0 ? "Zeroing" : "NotZeroing";
        if (unitAway)
            deferredZeroStates[zeroStateKey(event.catheter)] = state;
        else
            unit_->sendCommand(zeroStateKey(event.catheter), state);
        break;
    }
    case SimulatorEvent::Kind::SpO2Probe:
        printOut(std::string("Got update for SpO2 probe param: SPO2_PROBE: ") + (event.value != 0 ? "1" : "0"));
        break;
    }
}

void JsonEdition::switchStreaming(bool on, bool unitAway) {
    if (unitAway)
        streamingDeferred = true;
    else
        unit_->setStreamingEnabled(on);
}

// The unit takes the values into its pending messages; the order here is the order
// of their keys' updates.
void JsonEdition::sendCycle(SendCycle& cycle) {
    if (cycle.oximetry && cycle.oximetry->attached)
        unit_->sendSpO2(cycle.oximetry->spo2);
    if (cycle.pleth)
        unit_->sendPlethWave(*cycle.pleth);
    sendVitals(*unit_, cycle);
    if (cycle.etco2)
        unit_->sendCommand("etCO2", *cycle.etco2);
    if (cycle.clearCo2)
        unit_->clearCo2();
    sendPressureWaves(*unit_, cycle);
}

UnitCheck JsonEdition::checkUnit() {
    if (!unit_->isConnected())
        return {false, UnitCheck::Then::Reconnect};
    return {true, idle ? UnitCheck::Then::KeepIdle : UnitCheck::Then::Nothing};
}

void JsonEdition::unitStep(UnitStep step) {
    switch (step) {
    case UnitStep::Restore:
        sendDeferred();
        break;
    case UnitStep::KeepIdle:
        unit_->sendCalSelect();
        break;
    case UnitStep::Release:
        if (debug)
            printOut("Destroying SimulatorSample object!");
        break;
    }
}

// What waited while the unit was being reached; an error of the unit is reported here,
// the supervision loop carries on.
void JsonEdition::sendDeferred() {
    const bool streaming = streamingDeferred;
    auto zeroStates = std::move(deferredZeroStates);
    streamingDeferred = false;
    deferredZeroStates.clear();
    try {
        if (streaming)
            unit_->setStreamingEnabled(!idle);
        for (const auto& [name, state] : zeroStates)
            unit_->sendCommand(name, state);
    } catch (const std::exception& error) {
        printErr(std::string("HX>ERROR>") + error.what());
    }
}

// ---- The monitor calibration procedure ----

// The unit keys a point by the counter it was driven with; the counters drive the
// unit at once.
void JsonEdition::calibrationAction(CalibrationAction action, int argument, CalibrationState& state) {
    switch (action) {
    case CalibrationAction::SetSpO2Counter:
        if (argument > 0)
            unit_->sendSpO2Ratio(argument);
        break;
    case CalibrationAction::SetCo2Counter:
        if (argument > 0) {
            printOut("Sending co2FlowFactor of " + std::to_string(argument));
            unit_->sendRespirationRate(10);
            unit_->sendCo2FlowFactor(argument);
        }
        break;
    case CalibrationAction::SaveSpO2Point:
        state.spo2Points[state.spo2Counter] = argument;
        break;
    case CalibrationAction::SaveCo2Point:
        state.co2Points[state.co2Counter] = argument;
        break;
    case CalibrationAction::Save:
        saveCalibration(state);
        break;
    default:
        break;
    }
}

void JsonEdition::saveCalibration(const CalibrationState& state) {
    std::this_thread::sleep_for(calibrationSettle);
    if (!state.spo2Points.empty())
        unit_->uploadCalibration(JsonUnitAdaptor::CalibrationType::SpO2, state.spo2Points);
    if (!state.co2Points.empty())
        unit_->uploadCalibration(JsonUnitAdaptor::CalibrationType::CO2, state.co2Points);
}

// The thread only keeps the unit streaming; the values come from the counters'
// commands. When the simulation took over, its speed handling has switched the
// stream on: the unit keeps streaming instead of falling silent until the next speed
// update.
void JsonEdition::calibrationThread(CalibrationPhase phase, const CalibrationState&) {
    switch (phase) {
    case CalibrationPhase::Started:
        printOut("Entered calibration mode...");
        idle = false;
        unit_->setStreamingEnabled(true);
        break;
    case CalibrationPhase::Ended:
        printOut("exiting calibration mode...");
        idle = true;
        unit_->setStreamingEnabled(false);
        break;
    case CalibrationPhase::EndedBySimulation:
        printOut("exiting calibration mode...");
        break;
    default:
        break;
    }
}

// ---- WiFi set-up ----

int JsonEdition::setUpWifi(JsonUnitAdaptor& unit, const WifiSettings& settings) {
    if (!reachUnitForWifi(unit, settings))
        return 1;
    printOut("WIFI configuration...");
    bool joined = false;
    try {
        joined = unit.sendWifiCredentials(settings.ssid, settings.password);
    } catch (const std::exception& error) {
        // A unit that does not answer the status request is a failed set-up too.
        printErr(std::string("HX>ERROR>") + error.what());
    }
    if (joined) {
        printOut("HX>WIFI configuration succeeded.");
        return 0;
    }
    printErr("HX>ERROR: WIFI configuration failed; please revalidate your SSID and Password...");
    return 1;
}

}  // namespace halvex::controller
