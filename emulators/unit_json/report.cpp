#include "emulators/unit_json/report.h"

#include <cstdio>
#include <sstream>

namespace halvex::emulators::unit_json {

namespace {

std::string rate(double count, double seconds) {
    if (seconds <= 0.0) return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f/s", count / seconds);
    return buf;
}

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

} // namespace

std::string vitalOrDash(const UnitStats& s, const std::string& key) {
    const auto it = s.vitals.find(key);
    return it == s.vitals.end() ? "-" : it->second;
}

std::string formatReport(const UnitStats& s) {
    std::ostringstream out;
    char window[32];
    std::snprintf(window, sizeof window, "%.2f", s.windowSeconds);
    const auto v = [&](const char* key) { return vitalOrDash(s, key); };

    out << "== unit-emulator-json report ==\n";
    out << "window: " << window << " s from the first to the last frame\n";
    out << "connections: " << s.connections << '\n';
    out << "frames: " << s.frames << ", length errors: " << s.lengthErrors
        << ", undecodable: " << s.undecodable << ", malformed waves: " << s.malformedWaves
        << ", stray bytes: " << s.framing.strayBytes
        << ", truncated frames: " << s.framing.truncatedFrames
        << ", oversized frames: " << s.framing.oversizedFrames << '\n';
    for (const char* type : {"VitalsData", "WaveformData"}) {
        // Always listed, so a reader can tell "none arrived" from "not reported".
        const auto it = s.messages.find(type);
        const std::uint64_t n = it == s.messages.end() ? 0 : it->second;
        out << "message " << type << ": " << n << " (" << rate(double(n), s.windowSeconds) << ")\n";
    }
    for (const auto& m : s.messages) {
        if (m.first == "VitalsData" || m.first == "WaveformData") continue;
        out << "message " << m.first << ": " << m.second << " ("
            << rate(double(m.second), s.windowSeconds) << ")\n";
    }
    out << "heart rate: " << v("hr") << '\n';
    out << "blood pressure: " << v("sbp") << '/' << v("dbp") << " (" << v("mbp") << ")\n";
    out << "pulmonary pressure: " << v("sPAP") << '/' << v("dPAP") << " (" << v("mPAP") << ")\n";
    out << "spo2: " << v("spO2") << ", ratio " << v("spO2Ratio") << '\n';
    out << "respiration: " << v("rr") << '\n';
    out << "etco2: " << v("etCO2") << ", flow factor " << v("co2FlowFactor") << '\n';
    out << "temperatures: t1 " << v("t1") << ", t2 " << v("t2") << '\n';
    out << "zero states: abp " << v("abpZeroState") << ", pap " << v("papZeroState") << ", cvp "
        << v("cvpZeroState") << '\n';
    for (const char* wave : {"pleth", "ecg", "abp", "pap", "cvp", "aux", "co2"}) {
        const auto it = s.waves.find(wave);
        if (it == s.waves.end()) {
            out << "wave " << wave << ": 0 samples (-)\n";
            continue;
        }
        const WaveStats& w = it->second;
        out << "wave " << wave << ": " << w.samples << " samples ("
            << rate(double(w.samples), s.windowSeconds) << "), last";
        if (w.lastSamples.empty()) out << " -";
        for (double x : w.lastSamples) out << ' ' << number(x);
        out << '\n';
    }
    for (const auto& type : s.calibrations) {
        out << "calibrations " << type.first << ":";
        if (type.second.empty()) out << " -";
        for (const auto& cal : type.second) {
            out << " [" << cal.first << ": " << cal.second.size() << " points]";
        }
        out << '\n';
    }
    out << "wifi: " << (s.wifiConnected ? "connected to \"" + s.ssid + "\"" : std::string("not configured"))
        << '\n';
    return out.str();
}

} // namespace halvex::emulators::unit_json
