#include "simlink/app_protocol.h"

#include "simlink/encode.h"

// The APP handshake: on Connected the flow-control request; its reply (in
// app_handlers.cpp) continues here with subscribe-to-all-events and the patient list,
// whose answer registers the subscriptions with the active SCE and goes Ready.

namespace com_krel {

void AppProtocol::onStateChange(int, int newState) {
    if (newState == Connected) {
        info("Sending flow control request...");
        sendMessage(app::buildFlowControlRequest());
    } else if (newState == Ready) {
        requestServerInfo();
    } else if (newState == Idle) {
        clearRegistry();
    }
}

void AppProtocol::goReady() {
    // Under stateLock, and only from Connected, so that a stop requested meanwhile
    // is never overwritten by Ready.
    CSLock g(stateLock_);
    if (getState() == Connected) setState(Ready);
}

void AppProtocol::continueHandshake() {
    info("Sending subscribe to all events...");
    sendMessage(app::buildSubscribeAllEvents());
    info("Refreshing Active Sces...");
    {
        RegistryHold g(*this);
        patientId_ = 0;
        sceId_ = 0;
        sceDetail_ = 0;
        runState_ = AppRunState::NotStarted;
    }
    if (sendMessage(app::buildPatientListRequest()) != ResultOk) {
        error("Error refreshing active SCE's. Continuing...");
        goReady();
    }
}

void AppProtocol::registerWithSce() {
    if (sceId_ == 0) return;
    info("Registering input parameters (" + std::to_string(pendingInputs()) + ")...");
    reRegisterInputs();
    info("Registering output parameters (" + std::to_string(pendingOutputs()) + ")...");
    reRegisterOutputs();
}

}  // namespace com_krel
