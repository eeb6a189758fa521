#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "simlink/types.h"

namespace com_krel {

// Server id of a record the server has not accepted yet.
constexpr std::uint32_t kUnassignedServerId = 0xFFFFF;

struct InputRecord {
    std::string id;
    int type = TypeInvalid;
    int updateClass = 0;
    std::uint32_t serverId = kUnassignedServerId;
};

struct OutputRecord {
    std::string id;
    int type = TypeInvalid;
    std::uint32_t serverId = kUnassignedServerId;
    bool publishOnRegistration = false;
    std::uint32_t value = 0;  // float bits or signed integer, by type
    bool publishMode2 = false;
};

// The server ids of records, in order: the body of an unsubscription.
template <class Record>
std::vector<std::uint32_t> serverIdsOf(const std::vector<Record>& records) {
    std::vector<std::uint32_t> ids;
    ids.reserve(records.size());
    for (const Record& r : records) ids.push_back(r.serverId);
    return ids;
}

// The subscriptions of one engine: the input and output records by parameter id, and
// the server id the server gave each (a record without one is pending). Free of I/O
// and of locks: the engine holds its registry lock around every use.
//
// One server id per record and one record per server id: binding a record to a new
// server id drops its earlier one, and a record that held that server id before
// loses it (pending again). So the server-id maps never hold more entries than there
// are records, however often a server registers a parameter anew.
class Registry {
public:
    bool holdsInput(const std::string& id) const { return inputs_.count(id) != 0; }
    bool holdsOutput(const std::string& id) const { return outputs_.count(id) != 0; }
    // Adds a record (its id not held yet), pending; returns it as held.
    const InputRecord& addInput(const ParameterRequest& request);
    const OutputRecord& addOutput(const OutputRecord& output);

    // Binds the record of a parameter id to a server id from the server's reply; null
    // when the id is not held.
    const InputRecord* bindInput(const std::string& id, std::uint32_t serverId);
    const OutputRecord* bindOutput(const std::string& id, std::uint32_t serverId);

    // The parameter id bound to a server id, null when none is.
    const std::string* inputIdOf(std::uint32_t serverId) const;
    const InputRecord* input(const std::string& id) const;

    // Copies of the held input records among ids, in the order of ids.
    std::vector<InputRecord> inputsAmong(const std::vector<std::string>& ids) const;
    // Drops an input record and its binding.
    void removeInput(const std::string& id);
    // Drops every input record and returns their requests, in id order, for a
    // subscription anew.
    std::vector<ParameterRequest> releaseInputs();
    // Copies of every output record, in id order.
    std::vector<OutputRecord> outputs() const;

    // Every binding is forgotten: all records are pending.
    void forgetServerIds();
    void clear();

    std::size_t inputCount() const { return inputs_.size(); }
    std::size_t outputCount() const { return outputs_.size(); }
    int pendingInputs() const { return static_cast<int>(inputs_.size()) - static_cast<int>(inputByServerId_.size()); }
    int pendingOutputs() const {
        return static_cast<int>(outputs_.size()) - static_cast<int>(outputByServerId_.size());
    }

private:
    std::map<std::string, InputRecord> inputs_;
    std::map<std::uint32_t, std::string> inputByServerId_;
    std::map<std::string, OutputRecord> outputs_;
    std::map<std::uint32_t, std::string> outputByServerId_;
};

}  // namespace com_krel
