#include "controller/edition_json.h"

#include <climits>
#include <exception>
#include <thread>

#include "platform/line_sink.h"

using com_krel::ParameterRequest;
using halvex::platform::printErr;
using halvex::platform::printOut;

JsonEdition::JsonEdition(Configuration& config, std::unique_ptr<JsonUnitAdaptor> adaptor)
    : Edition(config), unit_(std::move(adaptor)) {}

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

std::string JsonEdition::simServerAddress() const { return configuration.RHMIP; }

std::string JsonEdition::appServerAddress() const { return configuration.SimulatorIP; }

// SaO2 in whole percent, truncated toward zero; a value beyond the range of int is
// held at its end.
int JsonEdition::spo2FromSaO2(float sao2) const {
    if (sao2 >= static_cast<float>(INT_MAX))
        return INT_MAX;
    if (sao2 <= static_cast<float>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(sao2);
}

void JsonEdition::etco2Updated(int value) {
    if (value != etco2Value) {
        etco2Value = value;
        etco2Countdown = 0;
    }
}

void JsonEdition::capnogramSample(float) {}

void JsonEdition::catheterDepth(const char* zeroStateName, int depth) {
    const std::string state = depth == 0 ? "Zeroing" : "NotZeroing";
    if (unitReconnecting)
        deferredZeroStates[zeroStateName] = state;
    else
        unit_->sendCommand(zeroStateName, state);
}

void JsonEdition::spo2ProbeUpdated(const std::string& id, bool attached) {
    printOut("Got update for SpO2 probe param: " + id + ": " + (attached ? "1" : "0"));
}

void JsonEdition::unitOutputOn() {
    if (debug)
        printOut("Got here1 (parametersUpdated)");
    idle = false;
    if (unitReconnecting)
        streamingDeferred = true;
    else
        unit_->setStreamingEnabled(true);
}

void JsonEdition::unitOutputOff() {
    if (debug)
        printOut("Got here2 (parametersUpdated)");
    idle = true;
    if (unitReconnecting)
        streamingDeferred = true;
    else
        unit_->setStreamingEnabled(false);
}

bool JsonEdition::unitReady() const { return !unitReconnecting; }

void JsonEdition::resetCountdowns() { etco2Countdown = 0; }

void JsonEdition::clearSamples() {}

void JsonEdition::beginCycle(std::size_t) {}

void JsonEdition::sendProbeState(bool) {}

void JsonEdition::sendCo2Group(bool capnographAttached, int& capnoCountdown) {
    if (--etco2Countdown < 0) {
        unit_->sendCommand("etCO2", etco2Value);
        etco2Countdown = kCountdownReload;
    }
    if (!capnographAttached && --capnoCountdown < 0) {
        unit_->clearCo2();
        capnoCountdown = kCountdownReload;
    }
}

void JsonEdition::endCycle() {}

Edition::UnitHealth JsonEdition::checkUnit(bool, std::mutex& lock) {
    std::lock_guard<std::mutex> guard(lock);
    return unit_->isConnected() ? UnitHealth::Reachable : UnitHealth::Unreachable;
}

void JsonEdition::recoverUnit(std::mutex& lock) { reconnectUnit(lock); }

void JsonEdition::afterCheck(UnitHealth health, std::mutex& lock) {
    if (health == UnitHealth::Unreachable) {
        printOut("Disconnected. Reconnecting.");
        reconnectUnit(lock);
    } else if (idle) {
        std::lock_guard<std::mutex> guard(lock);
        unit_->sendCalSelect();
    }
}

void JsonEdition::shutdown(std::mutex&) {
    if (debug)
        printOut("Destroying SimulatorSample object!");
}

void JsonEdition::reconnectUnit(std::mutex& lock) {
    {
        std::lock_guard<std::mutex> guard(lock);
        unitReconnecting = true;
    }
    try {
        initializeUnit();
    } catch (...) {
        std::lock_guard<std::mutex> guard(lock);
        unitReconnecting = false;
        throw;
    }
    std::lock_guard<std::mutex> guard(lock);
    unitReconnecting = false;
    replayDeferred();
}

void JsonEdition::replayDeferred() {
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

void JsonEdition::calibrationActionReceived(int action, int argument) {
    printOut("Calling performCalibration with action: [" + std::to_string(action) + "] and arg: [" +
             std::to_string(argument) + "]");
}

void JsonEdition::calibrationReset(CalibrationState&) {}

void JsonEdition::spo2CounterSet(int value) {
    if (value > 0)
        unit_->sendSpO2Ratio(value);
}

void JsonEdition::co2CounterSet(int value) {
    if (value > 0) {
        printOut("Sending co2FlowFactor of " + std::to_string(value));
        unit_->sendRespirationRate(10);
        unit_->sendCo2FlowFactor(value);
    }
}

// The unit keys a point by the counter it was driven with.
void JsonEdition::storePoint(std::map<int, int>& points, int counter, int reading) { points[counter] = reading; }

void JsonEdition::saveCalibration(const CalibrationState& state) {
    std::this_thread::sleep_for(calibrationSettle);
    if (!state.spo2Points.empty())
        unit_->uploadCalibration(JsonUnitAdaptor::CalibrationType::SpO2, state.spo2Points);
    if (!state.co2Points.empty())
        unit_->uploadCalibration(JsonUnitAdaptor::CalibrationType::CO2, state.co2Points);
}

// The thread only keeps the unit streaming; the values come from the counters' commands.
void JsonEdition::calibrationStarted() {
    printOut("Entered calibration mode...");
    idle = false;
    unit_->setStreamingEnabled(true);
}

void JsonEdition::beforeCalibrationRound(std::mutex&) {}

void JsonEdition::calibrationRound(const CalibrationState&) {}

// When the simulation took over, its speed handling has switched the stream on: the
// unit keeps streaming instead of falling silent until the next speed update.
void JsonEdition::calibrationEnded(bool running) {
    printOut("exiting calibration mode...");
    if (running)
        return;
    idle = true;
    unit_->setStreamingEnabled(false);
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
