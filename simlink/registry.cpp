#include "simlink/registry.h"

namespace com_krel {

namespace {

template <class Records>
typename Records::mapped_type* bind(std::map<std::uint32_t, std::string>& byServerId, Records& records,
                                    const std::string& id, std::uint32_t serverId) {
    auto record = records.find(id);
    if (record == records.end()) return nullptr;
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
    return &record->second;
}

template <class Records>
void unassignAll(Records& records) {
    for (auto& kv : records) kv.second.serverId = kUnassignedServerId;
}

}  // namespace

const InputRecord& Registry::addInput(const ParameterRequest& request) {
    InputRecord rec{request.id, request.type, request.updateClass, kUnassignedServerId};
    return inputs_.emplace(request.id, std::move(rec)).first->second;
}

const OutputRecord& Registry::addOutput(const OutputRecord& output) {
    OutputRecord rec = output;
    rec.serverId = kUnassignedServerId;
    return outputs_.emplace(rec.id, std::move(rec)).first->second;
}

const InputRecord* Registry::bindInput(const std::string& id, std::uint32_t serverId) {
    return bind(inputByServerId_, inputs_, id, serverId);
}

const OutputRecord* Registry::bindOutput(const std::string& id, std::uint32_t serverId) {
    return bind(outputByServerId_, outputs_, id, serverId);
}

const std::string* Registry::inputIdOf(std::uint32_t serverId) const {
    auto it = inputByServerId_.find(serverId);
    return it == inputByServerId_.end() ? nullptr : &it->second;
}

const InputRecord* Registry::input(const std::string& id) const {
    auto it = inputs_.find(id);
    return it == inputs_.end() ? nullptr : &it->second;
}

std::vector<InputRecord> Registry::inputsAmong(const std::vector<std::string>& ids) const {
    std::vector<InputRecord> found;
    for (const std::string& id : ids) {
        if (const InputRecord* r = input(id)) found.push_back(*r);
    }
    return found;
}

void Registry::removeInput(const std::string& id) {
    auto it = inputs_.find(id);
    if (it == inputs_.end()) return;
    auto bound = inputByServerId_.find(it->second.serverId);
    if (bound != inputByServerId_.end() && bound->second == id) inputByServerId_.erase(bound);
    inputs_.erase(it);
}

std::vector<ParameterRequest> Registry::releaseInputs() {
    std::vector<ParameterRequest> requests;
    requests.reserve(inputs_.size());
    for (const auto& kv : inputs_) requests.push_back({kv.second.id, kv.second.type, kv.second.updateClass});
    inputByServerId_.clear();
    inputs_.clear();
    return requests;
}

std::vector<OutputRecord> Registry::outputs() const {
    std::vector<OutputRecord> all;
    all.reserve(outputs_.size());
    for (const auto& kv : outputs_) all.push_back(kv.second);
    return all;
}

void Registry::forgetServerIds() {
    inputByServerId_.clear();
    outputByServerId_.clear();
    unassignAll(inputs_);
    unassignAll(outputs_);
}

void Registry::clear() {
    inputs_.clear();
    inputByServerId_.clear();
    outputs_.clear();
    outputByServerId_.clear();
}

}  // namespace com_krel
