// What halvex-relay-v22's controller does differently: both simulator links go to
// this machine; SaO2 and capnogram values are mapped through the configuration's
// calibration curves; the unit's output is switched by associating with it and
// disabling it; each send cycle is one batch of commands that carries the probe
// state and the CO2 waveform; the supervision loop only watches the association
// while something drives the unit.

#include <iostream>
#include <thread>

#include "controller/console_line.h"
#include "controller/curves.h"
#include "controller/simulator_sample.h"

using com_krel::ParameterRequest;

namespace {
const char* const kLocalServer = "127.0.0.1";
}

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
        {"EXT_SABP", TypeInteger, 0},                {"HRPM", TypeInteger, 0},
        {"RRPM", TypeInteger, 0},                    {"BODY_TEMP", TypeFloat, 0},
        {"bloodTemp", TypeFloat, 0},
    };
    return inputs;
}

std::string SimulatorSample::simServerAddress() const {
    return options.simAddress.empty() ? kLocalServer : options.simAddress;
}

std::string SimulatorSample::appServerAddress() const {
    return options.appAddress.empty() ? kLocalServer : options.appAddress;
}

int SimulatorSample::spo2FromSaO2(float sao2) const {
    return halvex::spo2Curve(configuration->SPO2Calibration, sao2);
}

void SimulatorSample::etco2Updated(int) {}

void SimulatorSample::capnogramSample(float value) {
    co2Samples.push_back(halvex::co2Curve(configuration->CO2Calibration, value));
}

void SimulatorSample::catheterDepth(const char*, int) {}

void SimulatorSample::spo2ProbeUpdated(const std::string&, bool) {}

void SimulatorSample::resetEditionCountdowns() {}

void SimulatorSample::unitOutputOn() { adaptor.associate(); }

void SimulatorSample::unitOutputOff() { adaptor.disable(); }

bool SimulatorSample::unitReady() const { return true; }

void SimulatorSample::clearEditionSamples() { co2Samples.clear(); }

void SimulatorSample::beginCycle() {
    if (co2Samples.size() > artSamples.size())
        co2Samples.erase(co2Samples.begin(),
                         co2Samples.begin() + static_cast<std::ptrdiff_t>(co2Samples.size() - artSamples.size()));
    adaptor.beginBatch();
}

void SimulatorSample::sendProbeState(bool attached) { adaptor.sendSpO2Probe(attached); }

void SimulatorSample::sendCo2Group() {
    if (capnograph) {
        adaptor.sendCo2Wave(co2Samples);
    } else if (--capnoCountdown < 0) {
        adaptor.clearCo2();
        capnoCountdown = kCountdownReload;
    }
    co2Samples.clear();
}

void SimulatorSample::endCycle() { adaptor.flushBatch(); }

void SimulatorSample::shutdownUnit() {
    std::lock_guard<std::mutex> guard(lock);
    adaptor.disable();
}

// The unit allows one operation at a time, so every call here takes `lock` like the
// batches do; none of them waits for long.
bool SimulatorSample::run() {
    int failures = 0;
    for (;;) {
        std::this_thread::sleep_for(options.supervisionInterval);
        if (!running && !calibrating)
            continue;
        bool associated;
        {
            std::lock_guard<std::mutex> guard(lock);
            associated = adaptor.checkAssociation();
        }
        if (associated) {
            if (failures > 1)
                printLine(std::cout, "HX>ERROR>Connection reestablished...");
            failures = 0;
            continue;
        }
        ++failures;
        if (failures % 2 == 0) {
            printLine(std::cerr, "HX>ERROR>Unable to reach the Halvex unit... (" + std::to_string(failures) +
                                     "). Reconnecting...");
            std::lock_guard<std::mutex> guard(lock);
            adaptor.disable();
            adaptor.associate();
        }
        if (failures > kMaxFailedChecks) {
            printLine(std::cerr, "HX>ERROR>No answer from the Halvex unit for too long. Disconnecting.");
            return true;
        }
    }
}
