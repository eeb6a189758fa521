#include "simlink/cs_client_protocol.h"

// Subscriptions, replies and updates: the registry under registryLock, the requests
// they send and the callbacks they call.

namespace com_krel {

// ---- registry hold ---------------------------------------------------------------

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

// ---- subscribing -------------------------------------------------------------------

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
        if (!newIdAccepted(r.id, registry_.holdsInput(r.id))) return ResultInvalid;
        for (std::size_t j = i + 1; j < inputs.size(); ++j) {
            if (inputs[j].id == r.id) {
                error("Parameter '" + r.id + "' is requested more than once in the same subscription call.");
                return ResultInvalid;
            }
        }
        toSend.push_back(registry_.addInput(r));
    }
    return sendInputSubscription(toSend);
}

int CSClientProtocol::subscribeOutputs(const std::vector<OutputRecord>& outputs) {
    RegistryHold g(*this);
    if (outputs.empty()) return ResultOk;
    std::vector<OutputRecord> toSend;
    toSend.reserve(outputs.size());
    for (const OutputRecord& o : outputs) {
        if (!newIdAccepted(o.id, registry_.holdsOutput(o.id))) return ResultInvalid;
        toSend.push_back(registry_.addOutput(o));
    }
    return sendOutputSubscription(toSend);
}

void CSClientProtocol::reRegisterInputs() {
    std::vector<ParameterRequest> requests;
    {
        RegistryHold g(*this);
        if (registry_.inputCount() != 0) {
            info("Registering " + std::to_string(registry_.inputCount()) + " input parameters with server...");
            requests = registry_.releaseInputs();
        }
    }
    if (!requests.empty()) subscribeInputs(requests);
}

void CSClientProtocol::reRegisterOutputs() {
    RegistryHold g(*this);
    if (registry_.outputCount() == 0) return;
    info("Registering " + std::to_string(registry_.outputCount()) + " output parameters with server...");
    sendOutputSubscription(registry_.outputs());
}

int CSClientProtocol::unsubscribeInputs(const std::vector<std::string>& ids) {
    if (ids.empty()) return ResultOk;
    std::vector<InputRecord> found;
    {
        RegistryHold g(*this);
        found = registry_.inputsAmong(ids);
    }
    if (found.empty()) return ResultOk;
    std::vector<InputRecord> assigned;
    for (const InputRecord& r : found) {
        if (r.serverId != kUnassignedServerId) assigned.push_back(r);
    }
    if (!assigned.empty()) sendInputUnsubscription(assigned);
    RegistryHold g(*this);
    for (const InputRecord& r : found) registry_.removeInput(r.id);
    return ResultOk;
}

void CSClientProtocol::clearRegistry() {
    RegistryHold g(*this);
    registry_.clear();
}

void CSClientProtocol::forgetServerIds() {
    RegistryHold g(*this);
    registry_.forgetServerIds();
}

int CSClientProtocol::pendingInputs() {
    RegistryHold g(*this);
    return registry_.pendingInputs();
}

int CSClientProtocol::pendingOutputs() {
    RegistryHold g(*this);
    return registry_.pendingOutputs();
}

// ---- replies and updates --------------------------------------------------------

void CSClientProtocol::acceptInputReply(const std::vector<InputReplyEntry>& entries, const char* what,
                                        const ReplyValue& valueOf) {
    std::vector<ParameterRequest> registered;
    std::vector<ParameterValue> values;
    {
        RegistryHold g(*this);
        for (const InputReplyEntry& entry : entries) {
            if (!registry_.holdsInput(entry.id)) continue;
            info(std::string("Successful registration of ") + what + " " + entry.id + " as ID " +
                 std::to_string(entry.serverId));
            const InputRecord& rec = *registry_.bindInput(entry.id, entry.serverId);
            registered.push_back({rec.id, rec.type, rec.updateClass});
            if (auto v = valueOf(entry, rec)) values.push_back(std::move(*v));
        }
    }
    for (Callback* cb : callbacks_.snapshot()) {
        callbacks_.call(cb, "inputsRegistered", [&](Callback* c) { c->inputsRegistered(registered); });
        callbacks_.call(cb, "parametersUpdated", [&](Callback* c) { c->parametersUpdated(values); });
    }
}

std::vector<OutputRecord> CSClientProtocol::acceptOutputReply(const std::vector<OutputReplyEntry>& entries,
                                                              const char* what) {
    std::vector<OutputRegistration> registered;
    std::vector<OutputRecord> publish;
    {
        RegistryHold g(*this);
        for (const OutputReplyEntry& entry : entries) {
            if (!registry_.holdsOutput(entry.id)) {
                error("Parameter not found: " + entry.id + "(" + std::to_string(entry.serverId) + ")");
                continue;
            }
            info(std::string("Successful registration of ") + what + " " + entry.id + " as ID " +
                 std::to_string(entry.serverId));
            const OutputRecord& rec = *registry_.bindOutput(entry.id, entry.serverId);
            registered.push_back({entry.id, rec.type});
            if (rec.publishOnRegistration) publish.push_back(rec);
        }
    }
    callbacks_.forEach("outputsRegistered", [&](Callback* c) { c->outputsRegistered(registered); });
    return publish;
}

void CSClientProtocol::deliverUpdate(const std::vector<UpdateEntry>& entries, const UpdateValue& valueOf) {
    std::vector<ParameterValue> values;
    {
        RegistryHold g(*this);
        values.reserve(entries.size());
        for (const UpdateEntry& entry : entries) {
            const std::string* id = registry_.inputIdOf(entry.serverId);
            if (!id) continue;
            if (auto v = valueOf(entry, *id, registry_.input(*id))) values.push_back(std::move(*v));
        }
    }
    if (values.empty()) return;
    callbacks_.forEach("parametersUpdated", [&](Callback* c) { c->parametersUpdated(values); });
}

}  // namespace com_krel
