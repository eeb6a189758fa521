// What halvex-relay-json's controller does differently: the simulator server
// addresses come from the configuration; ETCO2 is forwarded as a command and
// CAPNOGRAM is not used; catheter zero states go to the unit at once; the unit's
// output is switched by enabling its streaming; the supervision loop re-initialises
// a lost unit and sends CalSelect while nothing drives it.

#include <climits>
#include <cmath>
#include <exception>
#include <iostream>
#include <thread>

#include "controller/console_line.h"
#include "controller/simulator_sample.h"

using com_krel::ParameterRequest;

const std::vector<ParameterRequest>& SimulatorSample::appInputs() {
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

std::string SimulatorSample::simServerAddress() const {
    return options.simAddress.empty() ? configuration->RHMIP : options.simAddress;
}

std::string SimulatorSample::appServerAddress() const {
    return options.appAddress.empty() ? configuration->SimulatorIP : options.appAddress;
}

// SaO2 in whole percent, truncated toward zero; a value beyond the range of int is
// held at its end.
int SimulatorSample::spo2FromSaO2(float sao2) const {
    if (sao2 >= static_cast<float>(INT_MAX))
        return INT_MAX;
    if (sao2 <= static_cast<float>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(sao2);
}

void SimulatorSample::etco2Updated(int value) {
    if (value != etco2Value) {
        etco2Value = value;
        etco2Countdown = 0;
    }
}

void SimulatorSample::capnogramSample(float) {}

void SimulatorSample::catheterDepth(const char* zeroStateName, int depth) {
    const std::string state = depth == 0 ? "Zeroing" : "NotZeroing";
    if (unitReconnecting)
        deferredZeroStates[zeroStateName] = state;
    else
        adaptor.sendCommand(zeroStateName, state);
}

void SimulatorSample::spo2ProbeUpdated(const std::string& id, bool attached) {
    printLine(std::cout, "Got update for SpO2 probe param: " + id + ": " + (attached ? "1" : "0"));
}

void SimulatorSample::resetEditionCountdowns() { etco2Countdown = 0; }

void SimulatorSample::unitOutputOn() {
    if (debug)
        printLine(std::cout, "Got here1 (parametersUpdated)");
    idle = false;
    if (unitReconnecting)
        streamingDeferred = true;
    else
        adaptor.setStreamingEnabled(true);
}

void SimulatorSample::unitOutputOff() {
    if (debug)
        printLine(std::cout, "Got here2 (parametersUpdated)");
    idle = true;
    if (unitReconnecting)
        streamingDeferred = true;
    else
        adaptor.setStreamingEnabled(false);
}

bool SimulatorSample::unitReady() const { return !unitReconnecting; }

void SimulatorSample::clearEditionSamples() {}

void SimulatorSample::beginCycle() {}

void SimulatorSample::sendProbeState(bool) {}

void SimulatorSample::sendCo2Group() {
    if (--etco2Countdown < 0) {
        adaptor.sendCommand("etCO2", etco2Value);
        etco2Countdown = kCountdownReload;
    }
    if (!capnograph && --capnoCountdown < 0) {
        adaptor.clearCo2();
        capnoCountdown = kCountdownReload;
    }
}

void SimulatorSample::endCycle() {}

void SimulatorSample::shutdownUnit() {
    if (debug)
        printLine(std::cout, "Destroying SimulatorSample object!");
}

// Re-initialising may wait for the unit for a long time, so it runs without `lock`:
// the simulator clients keep reading meanwhile, and their batches leave the unit
// alone until it is back (unitReady). What they would have switched goes out then.
void SimulatorSample::reconnectUnit() {
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

void SimulatorSample::replayDeferred() {
    const bool streaming = streamingDeferred;
    auto zeroStates = std::move(deferredZeroStates);
    streamingDeferred = false;
    deferredZeroStates.clear();
    try {
        if (streaming)
            adaptor.setStreamingEnabled(!idle);
        for (const auto& [name, state] : zeroStates)
            adaptor.sendCommand(name, state);
    } catch (const std::exception& error) {
        printLine(std::cerr, std::string("HX>ERROR>") + error.what());
    }
}

bool SimulatorSample::run() {
    int failures = 0;
    for (;;) {
        std::this_thread::sleep_for(options.supervisionInterval);
        bool connected;
        {
            std::lock_guard<std::mutex> guard(lock);
            connected = adaptor.isConnected();
        }
        if (running || calibrating) {
            if (!connected) {
                ++failures;
                if (failures % 2 == 0) {
                    printLine(std::cerr, "HX>ERROR>Unable to reach the Halvex unit... (" + std::to_string(failures) +
                                             "). Reconnecting...");
                    reconnectUnit();
                }
                if (failures > kMaxFailedChecks) {
                    printLine(std::cerr, "HX>ERROR>No answer from the Halvex unit for too long. Disconnecting.");
                    return true;
                }
            } else {
                if (failures > 1)
                    printLine(std::cout, "HX>ERROR>Connection reestablished...");
                failures = 0;
            }
        }
        if (!connected) {
            printLine(std::cout, "Disconnected. Reconnecting.");
            reconnectUnit();
        } else if (idle) {
            std::lock_guard<std::mutex> guard(lock);
            adaptor.sendCalSelect();
        }
    }
}
