#pragma once
// Responder: the simulator server's state and its answers, free of I/O. Frames in,
// frames out: the host hands it each request a client sent and sends back what it
// returns; value changes and SCE events come out as frames for the host to deliver.
//
// What it serves: a table of parameters (id, protocol, value type, value); every
// parameter gets a server id at construction. A client's input subscription is
// answered with the ids of its protocol that the table offers; ids it does not
// offer are left out of the reply. Each client remembers what it subscribed (its
// Client record, kept by the host), and value changes go only to clients that
// subscribed them.
//
// Thread-safe: one lock guards the server state; it is never held while the caller
// gets the result. A Client record belongs to the host's I/O thread.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "emulators/sim_server/wire.h"

namespace halvex::emulators::sim_server {

enum class Protocol { Sim, App };
const char* protocolName(Protocol p);  // "SIM" or "APP"

struct Parameter {
    std::string id;
    Protocol protocol = Protocol::App;
    bool isFloat = false;
    double value = 0;
};

// What the patient list reports. count 0 means "no patient".
struct PatientInfo {
    std::uint32_t count = 1;
    std::uint32_t sceId = 1;
    std::uint32_t patientId = 1;
    std::uint32_t state = 5;   // 5 = started
    float speed = 1.0f;
};

// SCE events of the APP protocol's service 3.
enum class SceEvent : std::uint16_t {
    Created = 0x0111,
    Started = 0x0112,
    Paused = 0x0113,
    Ended = 0x0114,
    Generic = 0x0115,
    Speed = 0x0117,
};

// Whether v can be served for p: an integer parameter takes whole numbers that fit a
// signed 32-bit word; a float parameter takes any value (it travels as its bits).
bool valueFits(const Parameter& p, double v);

class Responder {
public:
    struct Settings {
        std::vector<Parameter> parameters;  // the first definition of an id wins
        std::uint32_t simulatorId = 1;
        std::string versionText;
        std::uint32_t protocolVersion = 2;
        PatientInfo patient;
        std::uint32_t appPublishMode = 0;
    };

    // One client connection's part of the server state.
    struct Client {
        explicit Client(Protocol p) : protocol(p) {}
        Protocol protocol;
        std::set<std::uint32_t> subscribed;  // server ids
    };

    // What a request makes the server do: frames back to the client that sent it, and
    // one line for the event sink (empty when the request is only recorded).
    struct Answer {
        std::vector<Bytes> frames;
        std::string event;
    };

    // Server ids of changed values, by protocol, in the order they were set.
    using Entries = std::vector<std::pair<std::uint32_t, double>>;
    struct Changes {
        Entries sim;
        Entries app;
    };

    // An SCE event's frame, for every APP client; `ended` when it ended the active SCE
    // (the APP clients' subscriptions are then forgotten: see forget()).
    struct SceNotice {
        Bytes frame;
        bool ended = false;
    };

    explicit Responder(Settings settings);

    // --- requests ---------------------------------------------------------------------
    // The answer to one frame (kind from the frame header, payload after it).
    Answer answer(Client& client, int kind, const Bytes& payload);
    // Forgets what the client subscribed (the SCE it subscribed for has ended).
    static void forget(Client& client) { client.subscribed.clear(); }

    // --- values -------------------------------------------------------------------------
    // Sets the values; nothing, and nothing is changed, when any entry is refused (an
    // id not offered, an integer value out of range).
    std::optional<Changes> setValues(const std::vector<std::pair<std::string, double>>& values);
    // The update frame for one client with the entries (of its protocol) it
    // subscribed; nothing when it subscribed none of them, or for APP when no SCE is
    // active.
    std::optional<Bytes> update(const Client& client, const Entries& entries) const;

    std::optional<Parameter> parameter(const std::string& id) const;
    std::optional<std::uint32_t> serverId(const std::string& id) const;

    // --- what the server announces --------------------------------------------------------
    void setSimulatorId(std::uint32_t id);
    void setPatient(const PatientInfo& patient);
    PatientInfo patient() const;
    void setAppPublishMode(std::uint32_t mode);

    // --- SCE life -------------------------------------------------------------------------
    // Also updates the patient model: Started makes sceId the started SCE, Paused sets
    // speed 0, Speed sets the speed, Ended leaves no patient.
    SceNotice sceEvent(SceEvent event, std::uint32_t sceId, std::uint32_t status, std::uint32_t patientId,
                       float speed);
    // 0x0102; with a status the payload is 28 bytes long, without it 24.
    static Bytes sceAnnouncement(std::uint32_t patientId, std::uint32_t sceId, std::optional<std::uint32_t> status);
    static Bytes sceEndNotice(std::uint32_t sceId, std::uint32_t error);                                  // 0x0103
    static Bytes sceDetail(std::uint32_t patientId, std::uint32_t detail, std::uint32_t sceId, std::uint32_t status);  // 0x0150

private:
    Answer answerSim(Client& client, const Bytes& payload);
    Answer answerApp(Client& client, int kind, const Bytes& payload);
    Answer subscribeSim(Client& client, const Bytes& payload);
    Answer subscribeApp(Client& client, const Bytes& payload);
    static Answer unsubscribe(Client& client, const Bytes& payload);

    const std::string versionText_;
    const std::uint32_t protocolVersion_;

    // Guards everything below.
    mutable std::mutex mutex_;
    std::map<std::string, Parameter> parameters_;
    std::map<std::string, std::uint32_t> serverIds_;
    std::map<std::uint32_t, std::string> idsByServerId_;
    std::uint32_t simulatorId_;
    PatientInfo patient_;
    std::uint32_t appPublishMode_;
};

}  // namespace halvex::emulators::sim_server
