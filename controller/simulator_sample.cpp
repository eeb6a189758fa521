// The controller's lifecycle: construction, init(), stop() and the teardown, and the
// simulator clients' callbacks.

#include "controller/simulator_sample.h"

#include "platform/line_sink.h"

namespace halvex::controller {

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
    std::lock_guard<std::mutex> guard(lock);
    edition->unitStep(UnitStep::Release);
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
    const SimulatorLinks links = edition->simulatorLinks();
    if (simClient.connect(options.simAddress.empty() ? links.simAddress : options.simAddress, options.simPort) != 0) {
        printErr("HX>ERROR>Failed to open connection to server (SIM protocol).");
        return false;
    }
    if (appClient.connect(options.appAddress.empty() ? links.appAddress : options.appAddress, options.appPort) != 0) {
        printErr("HX>ERROR>Failed to open connection to server (APP protocol).");
        return false;
    }
    appClient.startFlowControl();
    // The clients send the subscriptions whenever their link becomes ready.
    if (simClient.subscribeInputs(simInputs()) != 0) {
        printErr("HX>ERROR>Zephra> Input subscription failed (SIM protocol)!");
        return false;
    }
    if (appClient.subscribeInputs(links.appInputs) != 0) {
        printErr("HX>ERROR>Zephra> Input subscription failed (APP protocol)!");
        return false;
    }
    return true;
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

}  // namespace halvex::controller
