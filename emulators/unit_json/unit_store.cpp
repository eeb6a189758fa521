#include "emulators/unit_json/unit_store.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace halvex::emulators::unit_json {

namespace pt = boost::property_tree;

namespace {

bool isUnset(const std::string& v) {
    return v == "-1" || v == "None" || v == "Unknown" || v.empty();
}

bool parseNumber(const std::string& text, double& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size();
}

const pt::ptree& asTree(const void* p) { return *static_cast<const pt::ptree*>(p); }

// Whether objects and arrays nest deeper than `limit` (brackets inside strings do not
// count); stops at the first bracket too deep.
bool nestedDeeperThan(const std::string& json, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            if (c == '\\') ++i;  // the escaped character cannot end the string
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit) return true;
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return false;
}

} // namespace

std::string jsonQuote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04X", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

UnitStore::UnitStore(std::string ipAddress) : ipAddress_(std::move(ipAddress)) {
    // A unit leaves the factory with one calibration of each kind, so the first
    // CalList the bridge asks for is not empty.
    stats_.calibrations["SpO2"]["Factory SpO2"] = {};
    stats_.calibrations["CO2"]["Factory CO2"] = {};
    stats_.calibrations["Temp"]["Default Temperature"] = {};
}

void UnitStore::addFramingCounters(const FrameReaderCounters& d) {
    stats_.framing.strayBytes += d.strayBytes;
    stats_.framing.truncatedFrames += d.truncatedFrames;
    stats_.framing.oversizedFrames += d.oversizedFrames;
}

UnitStats UnitStore::snapshot() const {
    UnitStats s = stats_;
    if (first_) {
        s.windowSeconds = std::chrono::duration<double>(last_ - *first_).count();
    }
    return s;
}

void UnitStore::handleVitals(const void* message, Handled& h) {
    for (const auto& kv : asTree(message)) {
        const std::string& value = kv.second.data();
        if (!kv.second.empty() || isUnset(value)) continue;
        stats_.vitals[kv.first] = value;
        h.line += ' ' + kv.first + '=' + value;
        h.values.numerics.emplace_back(kv.first, value);
    }
}

void UnitStore::handleWaves(const void* message, Handled& h) {
    std::string& line = h.line;
    for (const auto& kv : asTree(message)) {
        const pt::ptree& wave = kv.second;
        if (wave.empty()) {
            // An empty array reads as an empty value; anything else left as a
            // plain value ("REPLACE", a quoted list) is a broken message.
            if (!wave.data().empty()) {
                ++stats_.malformedWaves;
                line += ' ' + kv.first + "=<malformed>";
            }
            continue;
        }
        std::vector<double> samples;
        bool ok = true;
        for (const auto& element : wave) {
            double v = 0;
            if (!element.first.empty() || !element.second.empty() ||
                !parseNumber(element.second.data(), v)) {
                ok = false;
                break;
            }
            samples.push_back(v);
        }
        if (!ok) {
            ++stats_.malformedWaves;
            line += ' ' + kv.first + "=<malformed>";
            continue;
        }
        WaveStats& w = stats_.waves[kv.first];
        ++w.messages;
        w.samples += samples.size();
        line += ' ' + kv.first + ':' + std::to_string(samples.size());
        w.lastSamples = samples;
        h.values.waves.emplace_back(kv.first, std::move(samples));
    }
}

std::string UnitStore::calListAnswer(const std::string& calType) const {
    std::string names;
    auto it = stats_.calibrations.find(calType);
    if (it != stats_.calibrations.end()) {
        for (const auto& cal : it->second) {
            if (!names.empty()) names += ',';
            names += jsonQuote(cal.first);
        }
    }
    return "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":" + jsonQuote(calType) +
           ",\"calNames\":[" + names + "]}}";
}

std::string UnitStore::networkStatusAnswer() const {
    return "{\"MessageType\":\"NetworkStatusData\",\"Message\":{\"ssid\":" + jsonQuote(stats_.ssid) +
           ",\"ipAddress\":" + jsonQuote(ipAddress_) +
           ",\"wifiConnected\":" + (stats_.wifiConnected ? "true" : "false") +
           ",\"wifiStatus\":" + (stats_.wifiConnected ? "\"Success\"" : "\"NotConfigured\"") + "}}";
}

Handled UnitStore::handle(const Frame& frame, Clock::time_point now) {
    Handled h;
    ++stats_.frames;
    if (!first_) first_ = now;
    last_ = now;

    std::string lengthNote;
    if (!frame.lengthMatches()) {
        ++stats_.lengthErrors;
        lengthNote = frame.lengthFieldValid
                         ? " (length field " + std::to_string(frame.announced) + ", text " +
                               std::to_string(frame.json.size()) + ")"
                         : " (bad length field, text " + std::to_string(frame.json.size()) + ")";
    }

    pt::ptree tree;
    if (nestedDeeperThan(frame.json, kMaxJsonDepth)) {
        ++stats_.undecodable;
        h.line = "undecodable frame: nested deeper than " + std::to_string(kMaxJsonDepth) + " levels" + lengthNote;
        return h;
    }
    try {
        std::istringstream in(frame.json);
        pt::read_json(in, tree);
    } catch (const pt::ptree_error& e) {
        ++stats_.undecodable;
        h.line = "undecodable frame: " + std::string(e.what()) + lengthNote;
        return h;
    }
    const auto type = tree.get_optional<std::string>("MessageType");
    if (!type || type->empty()) {
        ++stats_.undecodable;
        h.line = "frame without MessageType" + lengthNote;
        return h;
    }
    h.messageType = *type;
    ++stats_.messages[*type];
    h.line = *type;

    static const pt::ptree kEmpty;
    const auto msg = tree.get_child_optional("Message");
    const pt::ptree& message = msg ? *msg : kEmpty;
    auto text = [&](const char* path) { return message.get<std::string>(path, ""); };

    if (*type == "VitalsData") {
        handleVitals(&message, h);
    } else if (*type == "WaveformData") {
        handleWaves(&message, h);
    } else if (*type == "CalListRequest") {
        const std::string calType = text("calType");
        h.answer = calListAnswer(calType);
        h.line += ' ' + calType;
    } else if (*type == "StatusRequest") {
        h.answer = networkStatusAnswer();
    } else if (*type == "CalRemove") {
        const std::string calType = text("calType"), calName = text("calName");
        auto it = stats_.calibrations.find(calType);
        const bool removed = it != stats_.calibrations.end() && it->second.erase(calName) > 0;
        h.line += ' ' + calType + " \"" + calName + (removed ? "\" removed" : "\" not stored");
    } else if (*type == "CalData") {
        const std::string calType = text("calType"), calName = text("calName");
        std::vector<CalPoint> points;
        if (const auto pts = message.get_child_optional("calPts")) {
            for (const auto& p : *pts) {
                points.emplace_back(p.second.get<std::string>("Item1", ""),
                                    p.second.get<std::string>("Item2", ""));
            }
        }
        h.line += ' ' + calType + " \"" + calName + "\" " + std::to_string(points.size()) + " points";
        stats_.calibrations[calType][calName] = std::move(points);
    } else if (*type == "CalSelect") {
        const std::string calType = text("calType"), calName = text("calName");
        stats_.selectedCalibration[calType] = calName;
        h.line += ' ' + calType + " \"" + calName + '"';
    } else if (*type == "WifiCredentials") {
        stats_.ssid = text("ssid");
        stats_.password = text("password");
        stats_.wifiConnected = wifiJoins_;
        h.line += " ssid \"" + stats_.ssid + '"';
    }
    h.line += lengthNote;
    return h;
}

} // namespace halvex::emulators::unit_json
