#pragma once

// What the stand-in v2.2 unit does with the commands it receives, free of I/O: it
// splits a datagram into its bracketed commands, answers the exchanges the bridge
// relies on, and keeps the last value of every run-mode command and the waveform
// samples.
//
// The splitting of datagrams into commands is the stand-in's own, written from what
// the unit does, and deliberately shares no code with the bridge's adaptor
// (adaptor_v22/): a mistake in one is then caught by the other instead of hiding in
// both.
//
// Exchanges answered:
//   [ID]Halvex v2.2@      "Halvex v2.2:<serial>@" while free; "[id]associated@" once
//                         associated (an associated unit no longer offers itself)
//   [ASSOC]<serial>@      "[assoc]@" for its own serial id, "[assoc]refused@" otherwise
//   [ENABLE]@             "[enabled]@" once associated, "[enable]refused@" before
//   [DISABLE]@            "[disabled]@"; the unit is free again
//   [WDT]1@               "[wdt]ok@"
//   [STOPME]@             counted, no answer
//   [CONFIG]1@            "[config]ok@"
//   [WIFI_FACTORY_RESET]@ "[wifi_factory_reset]@", then "[wifi_factory_reset]done@"
//   [WIFI_CFG]...@        "[wifi_cgf]ok@", then "[wifi_cgf]saved@" (the payload is kept)
// Run-mode commands are not answered; they count only while the unit is enabled (the
// others are counted as ignored).

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emulators/monitor/received.h"

namespace halvex::emulators::unit_v22 {

using Clock = std::chrono::steady_clock;

// The bridge's batch datagrams must not be longer than this.
constexpr std::size_t kDatagramLimit = 230;
// Last samples kept per wave, for reports.
constexpr std::size_t kKeptSamples = 6;
// The WiFi commands' outcome follows their acknowledgement after this long.
constexpr std::chrono::milliseconds kWifiOutcomeDelay{300};

struct Command {
    std::string word;
    std::string payload;
};

struct ParsedDatagram {
    std::vector<Command> commands;
    std::size_t malformed = 0;  // pieces that are not '[' word ']' payload '@'
};

// Splits "[HR]72@[RR]10@" into its commands.
ParsedDatagram parseDatagram(const std::string& text);

// One answer: its text, sent this long after the request (on top of any answer delay).
struct Reply {
    std::string text;
    std::chrono::milliseconds after{0};
};

struct WaveStats {
    std::uint64_t samples = 0;
    std::vector<std::string> lastSamples;
};

struct UnitStats {
    std::uint64_t datagrams = 0;
    std::uint64_t commands = 0;
    std::uint64_t malformed = 0;
    std::uint64_t longestDatagram = 0;
    std::uint64_t overLimit = 0;            // datagrams longer than kDatagramLimit
    std::uint64_t ignoredWhileDisabled = 0; // run-mode commands before [ENABLE] or after [DISABLE]
    std::uint64_t ignoredWhileSilent = 0;   // datagrams that arrived while the unit was silent
    std::uint64_t replies = 0;
    double windowSeconds = 0;               // first to last datagram
    bool associated = false;
    bool enabled = false;
    bool watchdog = false;
    std::map<std::string, std::uint64_t> commandCounts;
    std::map<std::string, std::string> values;  // last payload of each numeric command
    std::map<std::string, WaveStats> waves;     // PLETH, ABP, PAP, CVP, CO2
};

class UnitModel {
public:
    explicit UnitModel(std::string serialId) : serialId_(std::move(serialId)) {}

    // One datagram; returns the replies in order.
    std::vector<Reply> receive(const std::string& datagram, Clock::time_point at);

    // Misbehaviour and state changes.
    void setIdentitySerial(std::optional<std::string> serial) { identitySerial_ = std::move(serial); }
    void setRefuseAssociation(bool on) { refuseAssociation_ = on; }
    // Replaces the answer to a command word by these replies (none: no answer).
    void overrideReply(const std::string& word, std::vector<Reply> replies) { overrides_[word] = std::move(replies); }
    void clearOverrides() { overrides_.clear(); }
    // A power cycle: the association, enabling and watchdog are gone.
    void restart();
    void countSilent() { ++stats_.ignoredWhileSilent; }

    const UnitStats& stats() const { return stats_; }
    // The run-mode values the last datagram gave the unit (time left unset).
    const monitor::Received& lastKept() const { return lastKept_; }
    const std::string& serialId() const { return serialId_; }

private:
    std::optional<std::string> answer(const Command& command);
    void keep(const Command& command);

    const std::string serialId_;
    std::optional<std::string> identitySerial_;
    bool refuseAssociation_ = false;
    std::map<std::string, std::vector<Reply>> overrides_;
    UnitStats stats_;
    monitor::Received lastKept_;
    std::optional<Clock::time_point> first_;
};

bool isWaveWord(const std::string& word);

}  // namespace halvex::emulators::unit_v22
