#include "controller/edition_v22.h"

#include "controller/curves.h"
#include "platform/line_sink.h"

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
    : Edition(config), unit_(std::move(adaptor)) {}

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

std::string V22Edition::simServerAddress() const { return kLocalServer; }

std::string V22Edition::appServerAddress() const { return kLocalServer; }

int V22Edition::spo2FromSaO2(float sao2) const { return halvex::spo2Curve(configuration.SPO2Calibration, sao2); }

void V22Edition::etco2Updated(int) {}

void V22Edition::capnogramSample(float value) {
    co2Samples.push_back(halvex::co2Curve(configuration.CO2Calibration, value));
}

void V22Edition::catheterDepth(const char*, int) {}

void V22Edition::spo2ProbeUpdated(const std::string&, bool) {}

void V22Edition::unitOutputOn() { unit_->associate(); }

void V22Edition::unitOutputOff() { unit_->disable(); }

bool V22Edition::unitReady() const { return true; }

void V22Edition::resetCountdowns() {}

void V22Edition::clearSamples() { co2Samples.clear(); }

void V22Edition::beginCycle(std::size_t arterialSamples) {
    // The CO2 wave is trimmed to the arterial one like the other waves.
    if (co2Samples.size() > arterialSamples)
        co2Samples.erase(co2Samples.begin(),
                         co2Samples.begin() + static_cast<std::ptrdiff_t>(co2Samples.size() - arterialSamples));
    unit_->beginBatch();
}

void V22Edition::sendProbeState(bool attached) { unit_->sendSpO2Probe(attached); }

void V22Edition::sendCo2Group(bool capnographAttached, int& capnoCountdown) {
    if (capnographAttached) {
        unit_->sendCo2Wave(co2Samples);
    } else if (--capnoCountdown < 0) {
        unit_->clearCo2();
        capnoCountdown = kCountdownReload;
    }
    co2Samples.clear();
}

void V22Edition::endCycle() { unit_->flushBatch(); }

// The unit allows one operation at a time, so every call here takes `lock` like the
// batches do; none of them waits for long.
Edition::UnitHealth V22Edition::checkUnit(bool driven, std::mutex& lock) {
    if (!driven)
        return UnitHealth::NotChecked;
    std::lock_guard<std::mutex> guard(lock);
    return unit_->checkAssociation() ? UnitHealth::Reachable : UnitHealth::Unreachable;
}

void V22Edition::recoverUnit(std::mutex& lock) {
    std::lock_guard<std::mutex> guard(lock);
    unit_->disable();
    unit_->associate();
}

void V22Edition::afterCheck(UnitHealth, std::mutex&) {}

void V22Edition::shutdown(std::mutex& lock) {
    std::lock_guard<std::mutex> guard(lock);
    unit_->disable();
}

// ---- The monitor calibration procedure ----

void V22Edition::calibrationActionReceived(int, int) {}

void V22Edition::calibrationReset(CalibrationState& state) { state.spo2Counter = 45; }

void V22Edition::spo2CounterSet(int) {}

void V22Edition::co2CounterSet(int) {}

// The configuration's curves map a simulator value (the monitor's reading) to the
// unit's setting: the reading is the key.
void V22Edition::storePoint(std::map<int, int>& points, int counter, int reading) { points[reading] = counter; }

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

void V22Edition::calibrationStarted() {
    pulseIndex = 0;
    co2Index = 0;
}

// Under the lock like every other call: the unit takes one operation at a time.
void V22Edition::beforeCalibrationRound(std::mutex& lock) {
    std::lock_guard<std::mutex> guard(lock);
    unit_->associate();
}

// One batch per round: fixed vitals, the SpO2 working values and 10 samples of each
// synthetic wave.
void V22Edition::calibrationRound(const CalibrationState& state) {
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

void V22Edition::calibrationEnded(bool) {}

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
