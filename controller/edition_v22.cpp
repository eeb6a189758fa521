#include "controller/edition_v22.h"

#include "controller/curves.h"
#include "platform/line_sink.h"

namespace halvex::controller {

using com_krel::ParameterRequest;
using halvex::platform::printErr;
using halvex::platform::printOut;

namespace {
const char* const kLocalServer = "127.0.0.1";
}

const float V22Edition::kPulse[kPulseLength] = {
    0.0f,   10.94f, 17.80f, 24.58f, 31.26f, 37.80f, 44.16f, 50.32f, 56.23f, 61.88f, 67.23f, 72.25f, 76.92f,
    81.22f, 85.11f, 88.59f, 91.63f, 94.22f, 96.34f, 97.99f, 99.15f, 99.82f, 99.99f, 99.67f, 98.86f, 97.56f,
    95.77f, 93.51f, 90.79f, 87.62f, 84.01f, 80.00f, 79.90f, 79.59f, 79.08f, 78.36f, 77.45f, 76.33f, 75.02f,
    73.52f, 71.82f, 69.95f, 67.89f, 65.66f, 63.26f, 60.70f, 57.98f, 55.12f, 52.11f, 48.97f, 45.70f, 42.32f,
    38.82f, 35.23f, 31.55f, 27.78f, 23.95f, 20.05f, 16.10f, 12.11f, 8.09f};

V22Edition::V22Edition(Configuration& config, std::unique_ptr<V22UnitAdaptor> adaptor)
    : Edition(config, kRules), unit_(std::move(adaptor)) {}

const std::vector<ParameterRequest>& V22Edition::appInputList() {
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
        {"EXT_SABP", TypeInteger, 0},                {"HRPM", TypeInteger, 0},
        {"RRPM", TypeInteger, 0},                    {"BODY_TEMP", TypeFloat, 0},
        {"bloodTemp", TypeFloat, 0},
    };
    return inputs;
}

SimulatorLinks V22Edition::simulatorLinks() const { return {appInputList(), kLocalServer, kLocalServer}; }

int V22Edition::spo2FromSaO2(float sao2) const { return spo2Curve(configuration.SPO2Calibration, sao2); }

// Only the simulation's run state reaches this unit at once.
void V22Edition::simulatorEvent(const SimulatorEvent& event, bool) {
    if (event.kind == SimulatorEvent::Kind::SimulationRunning)
        unit_->associate();
    else if (event.kind == SimulatorEvent::Kind::SimulationStopped)
        unit_->disable();
}

// One batch per cycle; the capnogram is mapped through the CO2 curve as it goes out.
void V22Edition::sendCycle(SendCycle& cycle) {
    unit_->beginBatch();
    if (cycle.oximetry) {
        unit_->sendSpO2Probe(cycle.oximetry->attached);
        if (cycle.oximetry->attached)
            unit_->sendSpO2(cycle.oximetry->spo2);
    }
    if (cycle.pleth)
        unit_->sendPlethWave(*cycle.pleth);
    sendVitals(*unit_, cycle);
    if (cycle.capnogram) {
        std::vector<float> co2;
        co2.reserve(cycle.capnogram->size());
        for (float sample : *cycle.capnogram)
            co2.push_back(co2Curve(configuration.CO2Calibration, sample));
        unit_->sendCo2Wave(co2);
    } else if (cycle.clearCo2) {
        unit_->clearCo2();
    }
    sendPressureWaves(*unit_, cycle);
    unit_->flushBatch();
}

// A unit that does not answer counts as associated (see V22UnitAdaptor).
UnitCheck V22Edition::checkUnit() { return {unit_->checkAssociation()}; }

void V22Edition::unitStep(UnitStep step) {
    switch (step) {
    case UnitStep::Restore:
        unit_->disable();
        unit_->associate();
        break;
    case UnitStep::Release:
        unit_->disable();
        break;
    case UnitStep::KeepIdle:  // never asked: this edition leaves an idle unit alone
        break;
    }
}

// ---- The monitor calibration procedure ----

// The configuration's curves map a simulator value (the monitor's reading) to the
// unit's setting: the reading is the key.
void V22Edition::calibrationAction(CalibrationAction action, int argument, CalibrationState& state) {
    switch (action) {
    case CalibrationAction::Start:
        state.spo2Counter = 45;
        break;
    case CalibrationAction::SaveSpO2Point:
        state.spo2Points[argument] = state.spo2Counter;
        break;
    case CalibrationAction::SaveCo2Point:
        state.co2Points[argument] = state.co2Counter;
        break;
    case CalibrationAction::Save:
        saveCalibration(state);
        break;
    default:
        break;
    }
}

void V22Edition::saveCalibration(const CalibrationState& state) {
    if (!state.co2Points.empty()) {
        configuration.CO2Calibration.clear();
        for (const auto& [key, value] : state.co2Points)
            configuration.CO2Calibration[static_cast<float>(key)] = static_cast<float>(value);
    }
    if (!state.spo2Points.empty()) {
        configuration.SPO2Scale = state.spo2Scale;
        configuration.SPO2Calibration.clear();
        for (const auto& [key, value] : state.spo2Points)
            configuration.SPO2Calibration[static_cast<float>(key)] = static_cast<float>(value);
    }
    // The new tables drive the curves at once, whether or not the file could be written.
    configuration.save();
}

// The thread re-associates before every round and sends one batch per round.
void V22Edition::calibrationThread(CalibrationPhase phase, const CalibrationState& state) {
    switch (phase) {
    case CalibrationPhase::Started:
        pulseIndex = 0;
        co2Index = 0;
        break;
    case CalibrationPhase::Refresh:
        unit_->associate();
        break;
    case CalibrationPhase::Round:
        sendCalibrationRound(state);
        break;
    default:
        break;
    }
}

// Fixed vitals, the SpO2 working values and 10 samples of each synthetic wave.
void V22Edition::sendCalibrationRound(const CalibrationState& state) {
    unit_->beginBatch();
    unit_->sendHeartRate(72);
    unit_->sendRespirationRate(10);
    std::vector<float> pleth;
    for (std::size_t i = 0; i < kSamplesPerRound; ++i) {
        pleth.push_back(kPulse[pulseIndex % kPulseLength]);
        pulseIndex = (pulseIndex + 1) % kPulseSamples;
    }
    unit_->sendSpO2Probe(true);
    unit_->sendSpO2Scale(state.spo2Scale);
    unit_->sendSpO2(state.spo2Counter);
    unit_->sendPlethWave(pleth);
    const float co2Level = static_cast<float>(state.co2Counter) / 1000.0f;
    std::vector<float> co2;
    for (std::size_t i = 0; i < kSamplesPerRound; ++i) {
        co2.push_back(co2Index < kCo2Period / 2 ? 0.0f : co2Level);
        co2Index = (co2Index + 1) % kCo2Period;
    }
    unit_->sendCo2Wave(co2);
    unit_->flushBatch();
}

// ---- WiFi set-up ----

namespace {
// The unit's WiFi command separates its fields with ',' and ends with '@', and has no
// escape: a name or password holding either would be stored differently than typed.
bool wifiTextSendable(const char* what, const std::string& text) {
    if (text.find_first_of(",@") == std::string::npos)
        return true;
    printErr(std::string("HX>ERROR>The WiFi ") + what +
             " contains ',' or '@', which the Halvex v2.2 unit cannot take. Nothing was sent.");
    return false;
}
}  // namespace

int V22Edition::setUpWifi(V22UnitAdaptor& unit, const WifiSettings& settings) {
    if (!wifiTextSendable("network name", settings.ssid) || !wifiTextSendable("password", settings.password))
        return 1;
    if (!reachUnitForWifi(unit, settings))
        return 1;
    unit.associate();
    printOut("Enabling config mode...");
    unit.enterConfigMode();
    printOut("WIFI factory reset...");
    if (!unit.resetWifiToFactory()) {
        printErr("HX>ERROR>Unable to reset the Halvex unit WIFI settings to factory. Leaving now!");
        return 1;
    }
    printOut("WIFI configuration...");
    if (!unit.configureWifi(settings.ssid, settings.password)) {
        printErr("HX>ERROR>The Halvex unit did not answer the WIFI configuration. Leaving now!");
        return 1;
    }
    printOut("HX>WIFI configuration succeeded; power cycle the Halvex unit for changes to take effect");
    return 0;
}

}  // namespace halvex::controller
