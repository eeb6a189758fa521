#include "simlink/cs_client_protocol.h"

#include "simlink/wire.h"

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

// ---- registry hold -------------------------------------------------------------

CSClientProtocol::RegistryHold::RegistryHold(CSClientProtocol& e) : e_(e) {
    e_.registryLock_.lock();
    if (e_.registryDepth_++ == 0) e_.registryOwner_ = std::this_thread::get_id();
}

CSClientProtocol::RegistryHold::~RegistryHold() {
    bool runLoss = false;
    if (--e_.registryDepth_ == 0) {
        e_.registryOwner_ = std::thread::id();
        runLoss = e_.lossDeferred_;
        e_.lossDeferred_ = false;
    }
    e_.registryLock_.unlock();
    if (runLoss) e_.handleConnectionLoss();
}

// ---- state machine ---------------------------------------------------------------

int CSClientProtocol::setState(int newState) {
    const int old = state_.load();
    if (old == newState) return old;
    state_ = newState;
    stateSignal_.notifyAll();
    for (Callback* cb : copyCallbacks()) {
        callOut(cb, "connectionStateChanged", [&](Callback* c) { c->connectionStateChanged(old, newState); });
    }
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
    if (hasFlags(HighPriority)) halvex::platform::net::raiseCurrentThreadPriority();
    for (;;) {
        switch (state_.load()) {
        case Idle:
        case Stopping: {
            CSLock g(stateLock_);
            if (!stoppingOrIdle()) break;
            transport_->close();
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
    RawMessage payload;
    const auto result = wire::readFrame(
        *transport_, hasFlags(Quiet), readLog_,
        [this] {
            const int s = state_;
            return s == Connected || s == Ready;
        },
        payload);
    if (result == wire::ReadResult::Message) {
        handleMessage(payload);
    } else if (result == wire::ReadResult::Lost) {
        handleConnectionLoss();
    }
}

int CSClientProtocol::sendMessage(const RawMessage& payload) {
    const int s = state_;
    if (s != Connected && s != Ready) return ResultNotConnected;
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
            nIn = inputs_.size();
            nOut = outputs_.size();
        }
        if (nIn != 0 || nOut != 0) {
            info("Re-registering input/output parameters (" + std::to_string(nIn) + "/" + std::to_string(nOut) +
                 ")...");
            reRegisterInputs();
            reRegisterOutputs();
        }
    }
}

// ---- callbacks ---------------------------------------------------------------------

bool CSClientProtocol::registerCallback(Callback* callback) {
    if (!callback) return false;
    CSLock g(callbackLock_);
    return callbacks_.insert(callback).second;
}

std::vector<CSClientProtocol::Callback*> CSClientProtocol::copyCallbacks() {
    CSLock g(callbackLock_);
    return std::vector<Callback*>(callbacks_.begin(), callbacks_.end());
}

// ---- replies and updates --------------------------------------------------------

namespace {

// Binds a parameter to the server id a reply gave it, keeping one server id per
// parameter: its earlier server id is dropped, and a parameter that held this
// server id before loses it (it is pending again). So the map never holds more
// entries than there are records, however often a server registers a parameter anew.
template <class Records>
void bindServerId(std::map<std::uint32_t, std::string>& byServerId, Records& records,
                  typename Records::iterator record, std::uint32_t serverId) {
    const std::uint32_t earlier = record->second.serverId;
    if (earlier != serverId) {
        auto old = byServerId.find(earlier);
        if (old != byServerId.end() && old->second == record->first) byServerId.erase(old);
    }
    auto [slot, added] = byServerId.try_emplace(serverId, record->first);
    if (!added && slot->second != record->first) {
        auto previous = records.find(slot->second);
        if (previous != records.end()) previous->second.serverId = kUnassignedServerId;
        slot->second = record->first;
    }
    record->second.serverId = serverId;
}

}  // namespace

void CSClientProtocol::acceptInputReply(const std::vector<InputReplyEntry>& entries, const char* what,
                                        const ReplyValue& valueOf) {
    std::vector<ParameterRequest> registered;
    std::vector<ParameterValue> values;
    {
        RegistryHold g(*this);
        for (const InputReplyEntry& entry : entries) {
            auto it = inputs_.find(entry.id);
            if (it == inputs_.end()) continue;
            info(std::string("Successful registration of ") + what + " " + entry.id + " as ID " +
                 std::to_string(entry.serverId));
            bindServerId(inputIdToName_, inputs_, it, entry.serverId);
            registered.push_back({it->second.id, it->second.type, it->second.updateClass});
            if (auto v = valueOf(entry, it->second)) values.push_back(std::move(*v));
        }
    }
    for (Callback* cb : copyCallbacks()) {
        callOut(cb, "inputsRegistered", [&](Callback* c) { c->inputsRegistered(registered); });
        callOut(cb, "parametersUpdated", [&](Callback* c) { c->parametersUpdated(values); });
    }
}

std::vector<OutputRecord> CSClientProtocol::acceptOutputReply(const std::vector<OutputReplyEntry>& entries,
                                                              const char* what) {
    std::vector<OutputRegistration> registered;
    std::vector<OutputRecord> publish;
    {
        RegistryHold g(*this);
        for (const OutputReplyEntry& entry : entries) {
            auto it = outputs_.find(entry.id);
            if (it == outputs_.end()) {
                error("Parameter not found: " + entry.id + "(" + std::to_string(entry.serverId) + ")");
                continue;
            }
            info(std::string("Successful registration of ") + what + " " + entry.id + " as ID " +
                 std::to_string(entry.serverId));
            bindServerId(outputById_, outputs_, it, entry.serverId);
            registered.push_back({entry.id, it->second.type});
            if (it->second.publishOnRegistration) publish.push_back(it->second);
        }
    }
    for (Callback* cb : copyCallbacks()) {
        callOut(cb, "outputsRegistered", [&](Callback* c) { c->outputsRegistered(registered); });
    }
    return publish;
}

void CSClientProtocol::deliverUpdate(const std::vector<UpdateEntry>& entries, const UpdateValue& valueOf) {
    std::vector<ParameterValue> values;
    {
        RegistryHold g(*this);
        values.reserve(entries.size());
        for (const UpdateEntry& entry : entries) {
            auto name = inputIdToName_.find(entry.serverId);
            if (name == inputIdToName_.end()) continue;
            auto rec = inputs_.find(name->second);
            if (auto v = valueOf(entry, name->second, rec == inputs_.end() ? nullptr : &rec->second)) {
                values.push_back(std::move(*v));
            }
        }
    }
    if (values.empty()) return;
    for (Callback* cb : copyCallbacks()) {
        callOut(cb, "parametersUpdated", [&](Callback* c) { c->parametersUpdated(values); });
    }
}

// ---- registry ----------------------------------------------------------------------

bool CSClientProtocol::newIdAccepted(const std::string& id, bool alreadyHeld) {
    if (id.size() > kMaxParameterIdLength) {
        error("Length of parameter id string '" + id + "' exceeds maximum " +
              std::to_string(kMaxParameterIdLength + 1));
        return false;
    }
    if (alreadyHeld) {
        error("Parameter '" + id + "' already registered.");
        return false;
    }
    return true;
}

int CSClientProtocol::subscribeInputs(const std::vector<ParameterRequest>& inputs) {
    RegistryHold g(*this);
    if (inputs.empty()) return ResultOk;
    std::vector<InputRecord> toSend;
    toSend.reserve(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const ParameterRequest& r = inputs[i];
        if (r.type == TypeInvalid) {
            error("Subscription type of parameter id string '" + r.id + "' is invalid!");
            return ResultInvalid;
        }
        if (!newIdAccepted(r.id, inputs_.count(r.id) != 0)) return ResultInvalid;
        for (std::size_t j = i + 1; j < inputs.size(); ++j) {
            if (inputs[j].id == r.id) {
                error("Parameter '" + r.id + "' is requested more than once in the same subscription call.");
                return ResultInvalid;
            }
        }
        InputRecord rec{r.id, r.type, r.updateClass, kUnassignedServerId};
        inputs_.emplace(r.id, rec);
        toSend.push_back(std::move(rec));
    }
    return sendInputSubscription(toSend);
}

int CSClientProtocol::subscribeOutputs(const std::vector<OutputRecord>& outputs) {
    RegistryHold g(*this);
    if (outputs.empty()) return ResultOk;
    std::vector<OutputRecord> toSend;
    for (const OutputRecord& o : outputs) {
        if (!newIdAccepted(o.id, outputs_.count(o.id) != 0)) return ResultInvalid;
        OutputRecord rec = o;
        rec.serverId = kUnassignedServerId;
        outputs_.emplace(rec.id, rec);
        toSend.push_back(std::move(rec));
    }
    return sendOutputSubscription(toSend);
}

void CSClientProtocol::reRegisterInputs() {
    std::vector<ParameterRequest> requests;
    {
        RegistryHold g(*this);
        if (!inputs_.empty()) {
            info("Registering " + std::to_string(inputs_.size()) + " input parameters with server...");
            requests.reserve(inputs_.size());
            for (const auto& kv : inputs_) requests.push_back({kv.second.id, kv.second.type, kv.second.updateClass});
            inputIdToName_.clear();
            inputs_.clear();
        }
    }
    if (!requests.empty()) subscribeInputs(requests);
}

void CSClientProtocol::reRegisterOutputs() {
    RegistryHold g(*this);
    if (outputs_.empty()) return;
    info("Registering " + std::to_string(outputs_.size()) + " output parameters with server...");
    std::vector<OutputRecord> all;
    all.reserve(outputs_.size());
    for (const auto& kv : outputs_) all.push_back(kv.second);
    sendOutputSubscription(all);
}

int CSClientProtocol::unsubscribeInputs(const std::vector<std::string>& ids) {
    if (ids.empty()) return ResultOk;
    std::vector<InputRecord> found;
    {
        RegistryHold g(*this);
        for (const std::string& id : ids) {
            auto it = inputs_.find(id);
            if (it != inputs_.end()) found.push_back(it->second);
        }
    }
    if (found.empty()) return ResultOk;
    std::vector<InputRecord> assigned;
    for (const InputRecord& r : found) {
        if (r.serverId != kUnassignedServerId) assigned.push_back(r);
    }
    if (!assigned.empty()) sendInputUnsubscription(assigned);
    RegistryHold g(*this);
    for (const InputRecord& r : found) {
        auto byId = inputIdToName_.find(r.serverId);
        if (byId != inputIdToName_.end() && byId->second == r.id) inputIdToName_.erase(byId);
        inputs_.erase(r.id);
    }
    return ResultOk;
}

void CSClientProtocol::clearRegistry() {
    RegistryHold g(*this);
    inputs_.clear();
    inputIdToName_.clear();
    outputs_.clear();
    outputById_.clear();
}

int CSClientProtocol::pendingInputs() {
    RegistryHold g(*this);
    return static_cast<int>(inputs_.size()) - static_cast<int>(inputIdToName_.size());
}

int CSClientProtocol::pendingOutputs() {
    RegistryHold g(*this);
    return static_cast<int>(outputs_.size()) - static_cast<int>(outputById_.size());
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
