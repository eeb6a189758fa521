#include "simlink/cs_client_protocol.h"

#include "simlink/wire.h"

// The connection state machine and the receiving thread: connect, stop, the
// attempts and reconnections, reading, and sending.

namespace com_krel {

CSClientProtocol::CSClientProtocol(int flags, std::unique_ptr<CSCommsInterface> transport)
    : flags_(flags), transport_(std::move(transport)) {
    if (!transport_) {
        transport_ = std::make_unique<CSCommsInterfaceTCP>(BufferSizes{},
                                                           [this](bool e, const std::string& l) { log_(e, l); });
    }
}

CSClientProtocol::~CSClientProtocol() {
    shutdown();
    clearRegistry();
}

// ---- state machine ---------------------------------------------------------------

int CSClientProtocol::setState(int newState) {
    const int old = state_.load();
    if (old == newState) return old;
    state_ = newState;
    stateSignal_.notifyAll();
    callbacks_.forEach("connectionStateChanged", [&](Callback* c) { c->connectionStateChanged(old, newState); });
    onStateChange(old, newState);
    return old;
}

int CSClientProtocol::connect(std::uint32_t address, int port, const BufferSizes* sizes) {
    CSLock g(stateLock_);
    if (state_ != Idle) return ResultFailed;
    setState(Connecting);
    if (state_ != Connecting) return ResultOk;  // a callback already moved on
    port_ = port;
    address_ = address;
    bufferSizes_ = sizes ? *sizes : BufferSizes{};
    // Called from a callback of the receiving thread on its way to Idle: the
    // thread sees the new state and carries on.
    if (threadActive_) return ResultOk;
    receiveThread_.join();  // a previous thread has left its loop; reap it
    threadActive_ = true;
    if (!receiveThread_.start(&CSClientProtocol::receiveThreadEntry, this)) {
        // No thread is left to finish the stop: come back to Idle here.
        threadActive_ = false;
        setState(Stopping);
        address_ = 0;
        port_ = 0;
        setState(Idle);
        stateSignal_.notifyAll();
        return ResultFailed;
    }
    return ResultOk;
}

void CSClientProtocol::stop() {
    CSLock g(stateLock_);
    const int s = state_;
    if (s == Connecting || s == Connected || s == Ready || s == ReconnectWait) {
        setState(Stopping);
        address_ = 0;
        port_ = 0;
    }
}

void CSClientProtocol::disconnect() {
    stop();
    if (onReceivingThread()) return;  // the thread ends once this callback returns
    // A read waiting for the server ends now, not at its receive time-out.
    transport_->interrupt();
    const bool ended = stateSignal_.waitFor(kDisconnectWait, [this] { return state_ == Idle && !threadActive_; });
    if (ended) {
        CSLock g(stateLock_);
        if (!threadActive_) receiveThread_.join();
    }
}

void CSClientProtocol::shutdown() {
    stop();
    if (onReceivingThread()) return;
    transport_->interrupt();
    while (!stateSignal_.waitFor(kReconnectPause, [this] { return state_ == Idle && !threadActive_; })) {
    }
    CSLock g(stateLock_);
    if (!threadActive_) receiveThread_.join();
}

void CSClientProtocol::receiveThreadEntry(void* self) {
    auto* e = static_cast<CSClientProtocol*>(self);
    try {
        e->receiveLoop();
    } catch (const std::exception& ex) {
        e->log_(true, std::string("Receiving thread ended by an error: ") + ex.what());
    } catch (...) {
        e->log_(true, "Receiving thread ended by an unknown error");
    }
    // Whatever happened, owners waiting for the end must not wait for ever.
    if (e->threadActive_) {
        CSLock g(e->stateLock_);
        e->transport_->close();
        e->setState(Stopping);
        e->setState(Idle);
        e->threadActive_ = false;
        e->stateSignal_.notifyAll();
    }
}

void CSClientProtocol::receiveLoop() {
    if (hasFlags(HighPriority)) halvex::platform::raiseCurrentThreadPriority();
    for (;;) {
        switch (state_.load()) {
        case Idle:
        case Stopping: {
            CSLock g(stateLock_);
            if (!stoppingOrIdle()) break;
            transport_->close();
            receiver_.reset();
            pausePending_ = false;
            setState(Idle);
            if (state_ != Idle) break;  // a callback connected again: carry on
            threadActive_ = false;
            stateSignal_.notifyAll();
            return;
        }
        case Connecting:
            if (pausePending_.exchange(false)) pause();
            connectionAttempt();
            break;
        case Connected:
        case Ready:
            readMessage();
            break;
        case ReconnectWait:
        default:
            pause();
            break;
        }
    }
}

void CSClientProtocol::pause() {
    stateSignal_.waitFor(reconnectPause_, [this] { return stoppingOrIdle(); });
}

void CSClientProtocol::connectionAttempt() {
    BufferSizes sizes;
    std::uint32_t address;
    int port;
    {
        CSLock g(stateLock_);
        if (state_ != Connecting) return;
        sizes = bufferSizes_;
        address = address_;
        port = port_;
    }
    // Opened outside stateLock so that a stop never waits for a slow connect.
    transport_->configure(sizes);
    if (transport_->open(address, port)) {
        receiver_.reset();  // nothing of an earlier connection is read as part of this one
        CSLock g(stateLock_);
        if (state_ == Connecting) {
            setState(Connected);
            return;
        }
        transport_->close();
        return;
    }
    handleConnectionLoss();
}

void CSClientProtocol::handleConnectionLoss() {
    if (!hasFlags(AutoReconnect)) {
        stop();
        return;
    }
    CSLock g(stateLock_);
    switch (state_.load()) {
    case Ready:
        info("Attempting to reconnect...");
        setState(ReconnectWait);
        setState(Connecting);
        pausePending_ = true;
        break;
    case Connected:
        setState(Connecting);
        pausePending_ = true;
        break;
    case Connecting:
    case ReconnectWait:
        pausePending_ = true;
        break;
    default:
        break;
    }
}

void CSClientProtocol::readMessage() {
    const auto outcome = receiver_.receive(*transport_, hasFlags(Quiet) ? nullptr : &readLog_,
                                           [this](const RawMessage& payload) {
                                               handleMessage(payload);
                                               return linkUp();
                                           });
    if (outcome == FrameReceiver::Outcome::Lost) handleConnectionLoss();
}

int CSClientProtocol::sendMessage(const RawMessage& payload) {
    if (!linkUp()) return ResultNotConnected;
    if (payload.kind() != KindApplication && payload.kind() != KindFlowControl) return ResultInvalid;
    const RawMessage f = wire::frame(payload);
    const int sent = transport_->write(f);
    if (sent != static_cast<int>(f.size())) {
        error("Error writing to server (" + std::to_string(transport_->lastError()) + ") ");
        if (registryOwner_.load() == std::this_thread::get_id()) {
            // stateLock must not be taken under registryLock: run it on release.
            lossDeferred_ = true;
        } else {
            handleConnectionLoss();
        }
        return ResultFailed;
    }
    return ResultOk;
}

void CSClientProtocol::onStateChange(int, int newState) {
    if (newState == Idle) {
        clearRegistry();
    } else if (newState == Connected) {
        setState(Ready);
    } else if (newState == Ready) {
        requestServerInfo();
        std::size_t nIn, nOut;
        {
            RegistryHold g(*this);
            nIn = registry_.inputCount();
            nOut = registry_.outputCount();
        }
        if (nIn != 0 || nOut != 0) {
            info("Re-registering input/output parameters (" + std::to_string(nIn) + "/" + std::to_string(nOut) +
                 ")...");
            reRegisterInputs();
            reRegisterOutputs();
        }
    }
}

std::string CSClientProtocol::serverVersion() {
    std::lock_guard<std::mutex> g(versionMutex_);
    return serverVersion_;
}

void CSClientProtocol::setServerVersion(const std::string& v) {
    std::lock_guard<std::mutex> g(versionMutex_);
    serverVersion_ = v;
}

}  // namespace com_krel
