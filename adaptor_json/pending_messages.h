#pragma once

// The two streamed messages the JSON unit is sent, VitalsData and WaveformData, held
// as pending trees between two streaming passes. No I/O here; the value texts they
// store come from value_texts.h.

#include <memory>
#include <mutex>
#include <string>

namespace halvex::adaptor_json {

// The two pending messages. A message carries what changed since the previous one
// of its kind: the first update after a send starts again from the template.
// Thread-safe: every operation takes dataLock for its whole work and releases it
// before returning; nothing else is called under it (no printing, no I/O).
class PendingMessages {
public:
    PendingMessages();
    ~PendingMessages();
    PendingMessages(const PendingMessages&) = delete;
    PendingMessages& operator=(const PendingMessages&) = delete;

    struct Stored {
        bool known = true;    // false: the name is not a command name ("... is not in the map!")
        std::string warning;  // "WARNING: Overwriting << ..." when a pending value was replaced
    };
    // Stores one value under the key of command `name`: `vitalsText` in VitalsData,
    // "[" + `waveformText` + "]" in WaveformData. Raises AssertionFailureException when
    // the translation table names a key of neither message.
    Stored store(const std::string& name, const std::string& vitalsText, const std::string& waveformText);

    // The wire text of a pending message, or empty text when nothing is pending.
    std::string vitalsText() const;
    std::string waveformText() const;

    // Takes what a streaming pass sends: the texts of the changed messages (empty
    // when unchanged), both marked sent.
    struct Snapshot {
        std::string vitals;
        std::string waveform;
    };
    Snapshot take();

private:
    struct Trees;
    mutable std::mutex dataLock;
    std::unique_ptr<Trees> trees;  // guarded by dataLock
};

}  // namespace halvex::adaptor_json
