#include "controller/simulator_sample.h"

#include <cmath>
#include <exception>
#include <thread>
#include <unordered_map>

#include "platform/line_sink.h"

using com_krel::ParameterRequest;
using com_krel::ParameterValue;
using halvex::platform::printErr;
using halvex::platform::printOut;

namespace {

void printStateLine(int oldState, int newState, const char* protocol) {
    if (oldState == newState || (oldState != com_krel::Ready && newState != com_krel::Ready))
        return;
    printOut(std::string(newState == com_krel::Ready ? "Zephra> Connected (" : "Zephra> Disconnected (") + protocol +
             ")");
}

enum class Param {
    PatSpeed, HeartRate, SaO2, EtCo2, Diastolic, Mean, Systolic, RespRate, BodyTemp, BloodTemp,
    ArtLine, PLine, CvpLine, Capnogram, Pleth, ArtDepth, CvpDepth, PaDepth, PulseSensor, Spo2Probe,
    CrossConnected, Capnograph, BodyTempSensor, BloodTempSensor, NibpSensor, CalAction, CalArg, Enabled,
};

const std::unordered_map<std::string, Param>& paramTable() {
    static const std::unordered_map<std::string, Param> table = {
        {"HW_PATSPEED", Param::PatSpeed},
        {"HRPM", Param::HeartRate},
        {"SAO2", Param::SaO2},
        {"ETCO2", Param::EtCo2},
        {"EXT_DABP", Param::Diastolic},
        {"EXT_MAP", Param::Mean},
        {"EXT_SABP", Param::Systolic},
        {"RRPM", Param::RespRate},
        {"BODY_TEMP", Param::BodyTemp},
        {"bloodTemp", Param::BloodTemp},
        {"ARTLINE", Param::ArtLine},
        {"PLINE", Param::PLine},
        {"CVPLINE", Param::CvpLine},
        {"CAPNOGRAM", Param::Capnogram},
        {"PLETH", Param::Pleth},
        {"ARTERIAL_CATHETER_DEPTH", Param::ArtDepth},
        {"CVP_CATHETER_DEPTH", Param::CvpDepth},
        {"PA_CATHETER_DEPTH", Param::PaDepth},
        {"PULSE_SENSOR", Param::PulseSensor},
        {"SPO2_PROBE", Param::Spo2Probe},
        {"SIMULATOR_XCONNECTED", Param::CrossConnected},
        {"CAPNOGRAPH_SENSOR", Param::Capnograph},
        {"TEMP_BODY_SENSOR", Param::BodyTempSensor},
        {"TEMP_BLOOD_SENSOR", Param::BloodTempSensor},
        {"NIBP_SENSOR", Param::NibpSensor},
        {"HW_PATMON_CALIB_ACTION", Param::CalAction},
        {"HW_PATMON_CALIB_ARG1", Param::CalArg},
        {"HW_PATMON_ENABLED", Param::Enabled},
    };
    return table;
}

// Stores a changed value and restarts its group's countdown, so it goes out in the
// next send cycle.
template <typename T>
void storeIfChanged(T& field, T value, int& countdown) {
    if (field != value) {
        field = value;
        countdown = 0;
    }
}

// Drops the oldest samples of a waveform that ran ahead of the arterial one.
void trimTo(std::vector<float>& samples, std::size_t size) {
    if (samples.size() > size)
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() - size));
}

}  // namespace

void SimulatorSample::SimClientCallback::connectionStateChanged(int oldState, int newState) {
    printStateLine(oldState, newState, "SIM Protocol");
}

void SimulatorSample::SimClientCallback::parametersUpdated(const std::vector<ParameterValue>& values) {
    owner_->parametersUpdated(values);
}

void SimulatorSample::AppClientCallback::connectionStateChanged(int oldState, int newState) {
    printStateLine(oldState, newState, "APP Protocol");
}

void SimulatorSample::AppClientCallback::parametersUpdated(const std::vector<ParameterValue>& values) {
    owner_->parametersUpdated(values);
}

SimulatorSample::SimulatorSample(Configuration* config, std::unique_ptr<Edition> unitEdition)
    : SimulatorSample(config, std::move(unitEdition), Options{}) {}

SimulatorSample::SimulatorSample(Configuration* config, std::unique_ptr<Edition> unitEdition, Options opts)
    : options(std::move(opts)), configuration(config), edition(std::move(unitEdition)), adaptor(edition->unit()) {}

SimulatorSample::~SimulatorSample() {
    {
        std::lock_guard<std::mutex> guard(lock);
        closing = true;
    }
    appClient.stopFlowControl();
    simClient.disconnect();
    appClient.disconnect();
    // No batch can start a calibration any more; end the running one before the
    // fields it uses go away.
    stopCalibrationThread();
    edition->shutdown(lock);
}

const std::vector<ParameterRequest>& SimulatorSample::simInputs() {
    static const std::vector<ParameterRequest> inputs = {
        {"HW_PATSPEED", com_krel::TypeInteger, 0},
        {"HW_PATMON_ENABLED", com_krel::TypeInteger, 0},
        {"HW_PATMON_CALIB_ACTION", com_krel::TypeInteger, 0},
        {"HW_PATMON_CALIB_ARG1", com_krel::TypeInteger, 0},
    };
    return inputs;
}

bool SimulatorSample::init(bool debugFlag) {
    std::lock_guard<std::mutex> guard(lock);
    debug = debugFlag;
    edition->setDebug(debug);
    if (!configuration->load()) {
        printErr("HX>ERROR>Unable to read the configuration!");
        return false;
    }
    if (debug)
        adaptor.setVerbose();
    // Returns only once the unit has been reached, or the bridge is stopping.
    if (stopping() || !edition->initializeUnit()) {
        if (!stopping())
            printErr("HX>ERROR>Unable to initialize the connection with the Halvex unit!");
        return false;
    }
    simCallback = std::make_unique<SimClientCallback>(this);
    if (!simClient.registerCallback(simCallback.get())) {
        printErr("HX>ERROR>Unable to register Sim client interface for callbacks.");
        return false;
    }
    appCallback = std::make_unique<AppClientCallback>(this);
    if (!appClient.registerCallback(appCallback.get())) {
        printErr("HX>ERROR>Unable to register App client interface for callbacks.");
        return false;
    }
    if (simClient.connect(options.simAddress.empty() ? edition->simServerAddress() : options.simAddress, options.simPort) != 0) {
        printErr("HX>ERROR>Failed to open connection to server (SIM protocol).");
        return false;
    }
    if (appClient.connect(options.appAddress.empty() ? edition->appServerAddress() : options.appAddress, options.appPort) != 0) {
        printErr("HX>ERROR>Failed to open connection to server (APP protocol).");
        return false;
    }
    appClient.startFlowControl();
    // The clients send the subscriptions whenever their link becomes ready.
    if (simClient.subscribeInputs(simInputs()) != 0) {
        printErr("HX>ERROR>Zephra> Input subscription failed (SIM protocol)!");
        return false;
    }
    if (appClient.subscribeInputs(edition->appInputs()) != 0) {
        printErr("HX>ERROR>Zephra> Input subscription failed (APP protocol)!");
        return false;
    }
    return true;
}

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
        clearSamples();
    if (artSamples.size() < kSendCycleThreshold)
        return;
    if (!edition->unitReady()) {
        // Nothing can reach the unit now; the countdowns stay where they are, so
        // changed values still go out in the first cycle after.
        clearSamples();
        return;
    }
    sendCycle();
}

void SimulatorSample::applyUpdate(const ParameterValue& update, bool& calChanged) {
    const auto& table = paramTable();
    auto row = table.find(update.id);
    if (row == table.end())
        return;
    const int asInt = update.asInt();
    const float asFloat = update.asFloat();
    auto trace = [&](const char* label) {
        if (debug)
            printOut(std::string("HX>") + label + ": " + std::to_string(asInt));
    };

    switch (row->second) {
    case Param::PatSpeed:
        trace("HW_PATSPEED_PARAM");
        speedChanged(asInt);
        break;
    case Param::HeartRate: storeIfChanged(heartRate, asInt, hrCountdown); break;
    case Param::SaO2:
        // A value that is no number carries no saturation: keep the last one.
        if (std::isfinite(asFloat))
            storeIfChanged(spo2Value, edition->spo2FromSaO2(asFloat), spo2Countdown);
        break;
    case Param::EtCo2: edition->etco2Updated(asInt); break;
    case Param::Diastolic: storeIfChanged(diastolic, asInt, nibpCountdown); break;
    case Param::Mean: storeIfChanged(mean, asInt, nibpCountdown); break;
    case Param::Systolic: storeIfChanged(systolic, asInt, nibpCountdown); break;
    case Param::RespRate: storeIfChanged(respRate, asInt, rrCountdown); break;
    case Param::BodyTemp: bodyTemperature = asFloat; break;
    case Param::BloodTemp: bloodTemperature = asFloat; break;
    case Param::ArtLine: artSamples.push_back(asFloat); break;
    case Param::PLine: papSamples.push_back(asFloat); break;
    case Param::CvpLine: cvpSamples.push_back(asFloat); break;
    case Param::Capnogram: edition->capnogramSample(asFloat); break;
    case Param::Pleth: plethSamples.push_back(asFloat); break;
    case Param::ArtDepth:
        trace("ARTERIAL_CATHETER_DEPTH");
        edition->catheterDepth("abpZeroState", asInt);
        abpInserted = asInt >= 0;
        break;
    case Param::CvpDepth:
        trace("CVP_CATHETER_DEPTH");
        edition->catheterDepth("cvpZeroState", asInt);
        cvpInserted = asInt >= 0;
        break;
    case Param::PaDepth:
        trace("PA_CATHETER_DEPTH");
        edition->catheterDepth("papZeroState", asInt);
        papInserted = asInt >= 0;
        break;
    case Param::PulseSensor:
        trace("PULSE_SENSOR");
        storeIfChanged(pulseSensor, asInt, spo2Countdown);
        break;
    case Param::Spo2Probe:
        edition->spo2ProbeUpdated(update.id, asInt != 0);
        storeIfChanged(spo2Probe, asInt != 0, spo2Countdown);
        break;
    case Param::CrossConnected:
        trace("SIMULATOR_XCONNECTED");
        storeIfChanged(crossConnected, asInt != 0, spo2Countdown);
        break;
    case Param::Capnograph:
        trace("CAPNOGRAPH_SENSOR");
        storeIfChanged(capnograph, asInt != 0, capnoCountdown);
        break;
    case Param::BodyTempSensor:
        trace("TEMP_BODY_SENSOR");
        bodyTempSensor = asInt != 0;
        break;
    case Param::BloodTempSensor:
        trace("TEMP_BLOOD_SENSOR");
        bloodTempSensor = asInt != 0;
        break;
    case Param::NibpSensor:
        trace("NIBP_SENSOR");
        storeIfChanged(nibpSensor, asInt != 0, nibpCountdown);
        break;
    case Param::CalAction:
        trace("CALIBRATION_ACTION");
        calAction = asInt;
        calChanged = true;
        break;
    case Param::CalArg:
        trace("CALIBRATION_ARG1");
        calArg = asInt;
        calChanged = true;
        break;
    case Param::Enabled:
        trace("FeatureIsEnabled");
        featureEnabled = asInt > 0;
        printOut(std::string("HX>") + (featureEnabled ? "Feature enabled!" : ">>>>>>>>>>>>>>>>>Feature is not enabled!"));
        break;
    }
}

// Runs on every speed update, not only on a change: a repeated "running" re-enables
// the unit's output.
void SimulatorSample::speedChanged(int value) {
    const bool nowRunning = value == 1;
    if (nowRunning != running)
        resetCountdowns();
    running = nowRunning;
    if (nowRunning) {
        calibrating = false;
        edition->unitOutputOn();
    } else if (!calibrating) {
        edition->unitOutputOff();
    }
}

void SimulatorSample::resetCountdowns() {
    spo2Countdown = nibpCountdown = hrCountdown = rrCountdown = tempCountdown = capnoCountdown = 0;
    edition->resetCountdowns();
}

void SimulatorSample::clearSamples() {
    artSamples.clear();
    papSamples.clear();
    cvpSamples.clear();
    plethSamples.clear();
    edition->clearSamples();
}

void SimulatorSample::sendCycle() {
    const std::size_t artCount = artSamples.size();
    trimTo(cvpSamples, artCount);
    trimTo(papSamples, artCount);
    trimTo(plethSamples, artCount);
    edition->beginCycle(artCount);

    const bool oximeterAttached = pulseSensor == 1 || (pulseSensor == 2 && (spo2Probe || !crossConnected));
    if (--spo2Countdown < 0) {
        edition->sendProbeState(oximeterAttached);
        if (oximeterAttached)
            adaptor.sendSpO2(spo2Value);
        spo2Countdown = kCountdownReload;
    }
    if (oximeterAttached)
        adaptor.sendPlethWave(plethSamples);
    plethSamples.clear();

    if (--nibpCountdown < 0) {
        if (nibpSensor)
            adaptor.sendBloodPressure(systolic, diastolic, mean);
        else
            adaptor.clearBloodPressure();
        nibpCountdown = kCountdownReload;
    }
    if (--hrCountdown < 0) {
        adaptor.sendHeartRate(heartRate);
        hrCountdown = kCountdownReload;
    }
    if (--rrCountdown < 0) {
        adaptor.sendRespirationRate(respRate);
        rrCountdown = kCountdownReload;
    }
    if (--tempCountdown < 0) {
        if (bodyTempSensor)
            adaptor.sendTemperature1(bodyTemperature);
        else
            adaptor.clearTemperature1();
        if (bloodTempSensor)
            adaptor.sendTemperature2(bloodTemperature);
        else
            adaptor.clearTemperature2();
        tempCountdown = kCountdownReload;
    }

    edition->sendCo2Group(capnograph, capnoCountdown);

    if (abpInserted)
        adaptor.sendAbpWave(artSamples);
    artSamples.clear();
    if (cvpInserted)
        adaptor.sendCvpWave(cvpSamples);
    cvpSamples.clear();
    if (papInserted)
        adaptor.sendPapWave(papSamples);
    papSamples.clear();

    edition->endCycle();
}

void SimulatorSample::stopCalibrationThread() {
    {
        std::lock_guard<std::mutex> guard(lock);
        calibrating = false;
    }
    // The thread sees `calibrating` cleared at its next round and ends.
    if (calibrationThread.joinable())
        calibrationThread.join();
}

// Both editions check the unit on the same rhythm and give it up after the same
// number of failed checks while something drives it; how they look at the unit and
// bring it back is the edition's.
bool SimulatorSample::run() {
    int failures = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(stopLock);
            if (stopSignal.wait_for(guard, options.supervisionInterval, [this] { return stopRequested; }))
                return false;
        }
        const bool driven = running || calibrating;
        const Edition::UnitHealth health = edition->checkUnit(driven, lock);
        if (driven && health != Edition::UnitHealth::NotChecked) {
            if (health == Edition::UnitHealth::Unreachable) {
                ++failures;
                if (failures % 2 == 0) {
                    printErr("HX>ERROR>Unable to reach the Halvex unit... (" + std::to_string(failures) +
                             "). Reconnecting...");
                    edition->recoverUnit(lock);
                }
                if (failures > kMaxFailedChecks) {
                    printErr("HX>ERROR>No answer from the Halvex unit for too long. Disconnecting.");
                    return true;
                }
            } else {
                if (failures > 1)
                    printOut("HX>ERROR>Connection reestablished...");
                failures = 0;
            }
        }
        edition->afterCheck(health, lock);
    }
}

void SimulatorSample::stop() {
    {
        std::lock_guard<std::mutex> guard(stopLock);
        stopRequested = true;
    }
    stopSignal.notify_all();
    // Without `lock`: init holds it while it waits for the unit.
    adaptor.interrupt();
}

bool SimulatorSample::stopping() const {
    std::lock_guard<std::mutex> guard(stopLock);
    return stopRequested;
}
