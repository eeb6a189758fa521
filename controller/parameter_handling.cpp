// One batch of parameter updates, on a simulator client's receiving thread under
// `lock`: each update goes into the patient's values (or becomes an event the edition
// hears at once), the calibration actions run, and once enough arterial samples have
// gathered the values due go to the edition as one send cycle.

#include <cmath>
#include <exception>

#include "controller/parameter_table.h"
#include "controller/simulator_sample.h"
#include "platform/line_sink.h"

namespace halvex::controller {

using com_krel::ParameterValue;
using halvex::platform::printErr;
using halvex::platform::printOut;

void SimulatorSample::parametersUpdated(const std::vector<ParameterValue>& values) {
    std::unique_lock<std::mutex> guard(lock);
    if (closing)
        return;
    // An adaptor error ends this batch only: the simulator link must keep reading.
    try {
        handleBatch(values);
    } catch (const std::exception& error) {
        guard.unlock();
        printErr(std::string("HX>ERROR>") + error.what());
    } catch (...) {
        guard.unlock();
        printErr("HX>ERROR>Unknown error while driving the Halvex unit.");
    }
}

void SimulatorSample::handleBatch(const std::vector<ParameterValue>& values) {
    bool calChanged = false;
    for (const ParameterValue& update : values)
        applyUpdate(update, calChanged);

    if (!running && calChanged)
        performCalibration(calAction, calArg);
    if (running)
        calibrating = false;

    if (!running || !featureEnabled)
        patient.clearWaves();
    if (patient.arterialSamples() < kSendCycleThreshold)
        return;
    if (unitAway) {
        // Nothing can reach the unit now; the countdowns stay where they are, so
        // changed values still go out in the first cycle after.
        patient.clearWaves();
        return;
    }
    sendCycle();
}

void SimulatorSample::sendCycle() {
    SendCycle cycle = patient.takeCycle();
    edition->sendCycle(cycle);
}

void SimulatorSample::applyUpdate(const ParameterValue& update, bool& calChanged) {
    const std::optional<Parameter> parameter = parameterNamed(update.id);
    if (!parameter)
        return;
    const int asInt = update.asInt();
    const float asFloat = update.asFloat();
    auto trace = [&](const char* label) {
        if (debug)
            printOut(std::string("HX>") + label + ": " + std::to_string(asInt));
    };

    switch (*parameter) {
    case Parameter::PatSpeed:
        trace("HW_PATSPEED_PARAM");
        speedChanged(asInt);
        break;
    case Parameter::HeartRate: patient.setHeartRate(asInt); break;
    case Parameter::SaO2:
        // A value that is no number carries no saturation: keep the last one.
        if (std::isfinite(asFloat))
            patient.setSpO2(edition->spo2FromSaO2(asFloat));
        break;
    case Parameter::EtCo2: patient.setEtco2(asInt); break;
    case Parameter::Diastolic: patient.setDiastolic(asInt); break;
    case Parameter::Mean: patient.setMean(asInt); break;
    case Parameter::Systolic: patient.setSystolic(asInt); break;
    case Parameter::RespRate: patient.setRespirationRate(asInt); break;
    case Parameter::BodyTemp: patient.setBodyTemperature(asFloat); break;
    case Parameter::BloodTemp: patient.setBloodTemperature(asFloat); break;
    case Parameter::ArtLine: patient.addSample(Wave::Arterial, asFloat); break;
    case Parameter::PLine: patient.addSample(Wave::PulmonaryArtery, asFloat); break;
    case Parameter::CvpLine: patient.addSample(Wave::CentralVenous, asFloat); break;
    case Parameter::Capnogram: patient.addSample(Wave::Capnogram, asFloat); break;
    case Parameter::Pleth: patient.addSample(Wave::Pleth, asFloat); break;
    case Parameter::ArtDepth:
        trace("ARTERIAL_CATHETER_DEPTH");
        catheterDepth(Catheter::Arterial, asInt);
        break;
    case Parameter::CvpDepth:
        trace("CVP_CATHETER_DEPTH");
        catheterDepth(Catheter::CentralVenous, asInt);
        break;
    case Parameter::PaDepth:
        trace("PA_CATHETER_DEPTH");
        catheterDepth(Catheter::PulmonaryArtery, asInt);
        break;
    case Parameter::PulseSensor:
        trace("PULSE_SENSOR");
        patient.setPulseSensor(asInt);
        break;
    case Parameter::Spo2Probe:
        edition->simulatorEvent({SimulatorEvent::Kind::SpO2Probe, Catheter::Arterial, asInt != 0 ? 1 : 0}, unitAway);
        patient.setSpO2Probe(asInt != 0);
        break;
    case Parameter::CrossConnected:
        trace("SIMULATOR_XCONNECTED");
        patient.setCrossConnected(asInt != 0);
        break;
    case Parameter::Capnograph:
        trace("CAPNOGRAPH_SENSOR");
        patient.setCapnograph(asInt != 0);
        break;
    case Parameter::BodyTempSensor:
        trace("TEMP_BODY_SENSOR");
        patient.setBodyTemperatureSensor(asInt != 0);
        break;
    case Parameter::BloodTempSensor:
        trace("TEMP_BLOOD_SENSOR");
        patient.setBloodTemperatureSensor(asInt != 0);
        break;
    case Parameter::NibpSensor:
        trace("NIBP_SENSOR");
        patient.setNibpSensor(asInt != 0);
        break;
    case Parameter::CalAction:
        trace("CALIBRATION_ACTION");
        calAction = asInt;
        calChanged = true;
        break;
    case Parameter::CalArg:
        trace("CALIBRATION_ARG1");
        calArg = asInt;
        calChanged = true;
        break;
    case Parameter::Enabled:
        trace("FeatureIsEnabled");
        featureEnabled = asInt > 0;
        printOut(std::string("HX>") + (featureEnabled ? "Feature enabled!" : ">>>>>>>>>>>>>>>>>Feature is not enabled!"));
        break;
    }
}

// The unit hears of the depth at once; whether the catheter's wave goes out is a
// patient value.
void SimulatorSample::catheterDepth(Catheter catheter, int depth) {
    edition->simulatorEvent({SimulatorEvent::Kind::CatheterDepth, catheter, depth}, unitAway);
    patient.setCatheterDepth(catheter, depth);
}

// Runs on every speed update, not only on a change: a repeated "running" re-enables
// the unit's output.
void SimulatorSample::speedChanged(int value) {
    const bool nowRunning = value == 1;
    if (nowRunning != running)
        patient.restartCountdowns();
    running = nowRunning;
    if (nowRunning) {
        calibrating = false;
        edition->simulatorEvent({SimulatorEvent::Kind::SimulationRunning}, unitAway);
    } else if (!calibrating) {
        edition->simulatorEvent({SimulatorEvent::Kind::SimulationStopped}, unitAway);
    }
}

}  // namespace halvex::controller
