#include "emulators/sim_server/session.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace halvex::emulators::sim_server {

namespace pt = boost::property_tree;

namespace {

std::string number(double v, const char* format) {
    char buf[40];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

}  // namespace

std::string formatSessionLine(const SessionUpdate& update) {
    std::string line = "{\"t\":" + number(update.at, "%.6f") + ",\"protocol\":\"" + protocolName(update.protocol) +
                       "\",\"values\":[";
    for (std::size_t i = 0; i < update.values.size(); ++i) {
        const SessionValue& v = update.values[i];
        // Ids are the server's upper-case names; anything else is escaped all the same.
        std::string id;
        for (unsigned char c : v.id) {
            if (c == '"' || c == '\\') id += '\\';
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
                id += escaped;
                continue;
            }
            id += static_cast<char>(c);
        }
        line += std::string(i ? "," : "") + "{\"id\":\"" + id + "\",\"type\":\"" +
                (v.isFloat ? "float" : "integer") + "\",\"value\":" +
                (v.isFloat ? (std::isfinite(v.value) ? number(v.value, "%.9g") : "null")
                           : number(v.value, "%.0f")) +
                "}";
    }
    return line + "]}";
}

bool readSession(std::istream& in, const std::vector<Parameter>& parameters, std::vector<SessionUpdate>& updates,
                 std::string& error) {
    std::vector<SessionUpdate> read;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        pt::ptree tree;
        try {
            std::istringstream text(line);
            pt::read_json(text, tree);
        } catch (const pt::ptree_error& e) {
            return fail(std::string("not a JSON object: ") + e.what());
        }
        SessionUpdate update;
        const auto at = tree.get_optional<double>("t");
        if (!at || !std::isfinite(*at) || *at < 0) return fail("no time \"t\" in seconds");
        if (!read.empty() && *at < read.back().at) return fail("the time goes backwards");
        update.at = *at;
        const std::string protocol = tree.get<std::string>("protocol", "");
        if (protocol != "SIM" && protocol != "APP") return fail("\"protocol\" must be \"SIM\" or \"APP\"");
        update.protocol = protocol == "SIM" ? Protocol::Sim : Protocol::App;
        const auto values = tree.get_child_optional("values");
        if (!values) return fail("no \"values\" list");
        for (const auto& entry : *values) {
            SessionValue v;
            v.id = entry.second.get<std::string>("id", "");
            const std::string type = entry.second.get<std::string>("type", "");
            auto value = entry.second.get_optional<double>("value");
            const auto served = std::find_if(parameters.begin(), parameters.end(),
                                             [&](const Parameter& p) { return p.id == v.id; });
            if (served == parameters.end()) return fail("'" + v.id + "' is not a parameter the emulator serves");
            if (served->protocol != update.protocol)
                return fail("'" + v.id + "' is served on " + protocolName(served->protocol) + ", not " + protocol);
            if (type != (served->isFloat ? "float" : "integer"))
                return fail("'" + v.id + "' must have type \"" + (served->isFloat ? "float" : "integer") + "\"");
            // JSON has no NaN: a float that was not a number is written as null.
            if (!value && served->isFloat && entry.second.get<std::string>("value", "") == "null")
                value = std::nan("");
            if (!value || !valueFits(*served, *value)) return fail("no valid value for '" + v.id + "'");
            v.isFloat = served->isFloat;
            v.value = *value;
            update.values.push_back(std::move(v));
        }
        read.push_back(std::move(update));
    }
    updates = std::move(read);
    return true;
}

}  // namespace halvex::emulators::sim_server

namespace halvex::emulators::sim_server {

SessionPlayer::SessionPlayer(std::vector<SessionUpdate> updates, double speed, bool loop)
    : updates_(std::move(updates)), speed_(speed), loop_(loop && !updates_.empty()) {}

void SessionPlayer::applyStartValues(std::vector<Parameter>& parameters) const {
    for (Parameter& p : parameters) {
        bool found = false;
        for (const SessionUpdate& update : updates_) {
            for (const SessionValue& v : update.values) {
                if (v.id == p.id) {
                    p.value = v.value;
                    found = true;
                    break;
                }
            }
            if (found) break;
        }
    }
}

double SessionPlayer::play(double elapsed, SimServerEmulator& server) {
    if (updates_.empty()) return -1;
    const double first = updates_.front().at;
    const double span = updates_.back().at - first + kLoopPause;
    for (;;) {
        if (next_ >= updates_.size()) {
            if (!loop_) return -1;
            next_ = 0;
            cycleStart_ += span;
        }
        const SessionUpdate& update = updates_[next_];
        // Compared in the caller's seconds, so the time returned below is due when given back.
        const double due = (cycleStart_ + update.at - first) / speed_;
        if (due > elapsed) return due;
        std::vector<std::pair<std::string, double>> values;
        values.reserve(update.values.size());
        for (const SessionValue& v : update.values) values.emplace_back(v.id, v.value);
        server.setValues(values);
        ++next_;
        ++sent_;
    }
}

}  // namespace halvex::emulators::sim_server
