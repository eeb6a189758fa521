// The stand-in's own reading of datagrams, independent of the bridge's adaptor on
// purpose (see unit_model.h).
#include "emulators/unit_v22/unit_model.h"

#include <cstdlib>

namespace halvex::emulators::unit_v22 {

ParsedDatagram parseDatagram(const std::string& text) {
    ParsedDatagram parsed;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('@', at);
        const std::string piece = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        const std::size_t close = piece.find(']');
        if (end == std::string::npos || piece.size() < 2 || piece[0] != '[' || close == std::string::npos ||
            close == 1) {
            ++parsed.malformed;
            continue;
        }
        parsed.commands.push_back({piece.substr(1, close - 1), piece.substr(close + 1)});
    }
    return parsed;
}

bool isWaveWord(const std::string& word) {
    return word == "PLETH" || word == "ABP" || word == "PAP" || word == "CVP" || word == "CO2";
}

std::vector<Reply> UnitModel::receive(const std::string& datagram, Clock::time_point at) {
    lastKept_ = {};
    if (!first_)
        first_ = at;
    stats_.windowSeconds = std::chrono::duration<double>(at - *first_).count();
    ++stats_.datagrams;
    if (datagram.size() > stats_.longestDatagram)
        stats_.longestDatagram = datagram.size();
    if (datagram.size() > kDatagramLimit)
        ++stats_.overLimit;
    const ParsedDatagram parsed = parseDatagram(datagram);
    stats_.malformed += parsed.malformed;
    std::vector<Reply> replies;
    for (const Command& command : parsed.commands) {
        ++stats_.commands;
        ++stats_.commandCounts[command.word];
        const auto scripted = overrides_.find(command.word);
        if (scripted != overrides_.end()) {
            replies.insert(replies.end(), scripted->second.begin(), scripted->second.end());
        } else if (command.word == "WIFI_FACTORY_RESET" || command.word == "WIFI_CFG") {
            // An acknowledgement at once, the outcome a little later.
            stats_.values[command.word] = command.payload;
            const bool reset = command.word == "WIFI_FACTORY_RESET";
            replies.push_back({reset ? "[wifi_factory_reset]@" : "[wifi_cgf]ok@"});
            replies.push_back({reset ? "[wifi_factory_reset]done@" : "[wifi_cgf]saved@", kWifiOutcomeDelay});
        } else if (std::optional<std::string> reply = answer(command)) {
            replies.push_back({*reply});
        }
    }
    stats_.replies += replies.size();
    return replies;
}

std::optional<std::string> UnitModel::answer(const Command& command) {
    const std::string& word = command.word;
    if (word == "ID") {
        if (stats_.associated)
            return std::string("[id]associated@");
        return "Halvex v2.2:" + identitySerial_.value_or(serialId_) + "@";
    }
    if (word == "ASSOC") {
        if (refuseAssociation_ || command.payload != serialId_)
            return std::string("[assoc]refused@");
        stats_.associated = true;
        return std::string("[assoc]@");
    }
    if (word == "ENABLE") {
        if (!stats_.associated)
            return std::string("[enable]refused@");
        stats_.enabled = true;
        return std::string("[enabled]@");
    }
    if (word == "DISABLE") {
        stats_.enabled = false;
        stats_.associated = false;
        stats_.watchdog = false;
        return std::string("[disabled]@");
    }
    if (word == "WDT") {
        stats_.watchdog = command.payload == "1";
        return std::string(stats_.watchdog ? "[wdt]ok@" : "[wdt]off@");
    }
    if (word == "STOPME")
        return std::nullopt;
    if (word == "CONFIG")
        return std::string("[config]ok@");
    keep(command);
    return std::nullopt;
}

void UnitModel::keep(const Command& command) {
    if (!stats_.enabled) {
        ++stats_.ignoredWhileDisabled;
        return;
    }
    stats_.values[command.word] = command.payload;
    if (!isWaveWord(command.word)) {
        lastKept_.numerics.emplace_back(command.word, command.payload);
        return;
    }
    WaveStats& wave = stats_.waves[command.word];
    std::vector<double> samples;
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = command.payload.find(',', at);
        wave.lastSamples.push_back(command.payload.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        ++wave.samples;
        char* end = nullptr;
        const double sample = std::strtod(wave.lastSamples.back().c_str(), &end);
        if (end != wave.lastSamples.back().c_str() && *end == '\0')
            samples.push_back(sample);
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    lastKept_.waves.emplace_back(command.word, std::move(samples));
    if (wave.lastSamples.size() > kKeptSamples)
        wave.lastSamples.erase(wave.lastSamples.begin(),
                               wave.lastSamples.end() - static_cast<std::ptrdiff_t>(kKeptSamples));
}

void UnitModel::restart() {
    stats_.associated = false;
    stats_.enabled = false;
    stats_.watchdog = false;
}

}  // namespace halvex::emulators::unit_v22
