#include "emulators/unit_v22/report.h"

#include <cstdio>
#include <sstream>

namespace halvex::emulators::unit_v22 {

namespace {

const char* const kWaves[] = {"PLETH", "ABP", "PAP", "CVP", "CO2"};

std::string rate(double count, double seconds) {
    if (seconds <= 0.0)
        return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f/s", count / seconds);
    return buf;
}

std::uint64_t countOf(const UnitStats& s, const std::string& word) {
    const auto it = s.commandCounts.find(word);
    return it == s.commandCounts.end() ? 0 : it->second;
}

std::uint64_t samplesOf(const UnitStats& s, const std::string& wave) {
    const auto it = s.waves.find(wave);
    return it == s.waves.end() ? 0 : it->second.samples;
}

}  // namespace

std::string valueOrDash(const UnitStats& s, const std::string& word) {
    const auto it = s.values.find(word);
    return it == s.values.end() ? "-" : it->second;
}

std::string summaryLine(const UnitStats& now, const UnitStats& before, long second) {
    const auto v = [&](const char* word) { return valueOrDash(now, word); };
    std::string line = "UNIT> " + std::to_string(second) + " s: datagrams " +
                       std::to_string(now.datagrams - before.datagrams) + "/s (longest " +
                       std::to_string(now.longestDatagram) + "), " + (now.enabled ? "enabled" : "not enabled") +
                       ", hr " + v("HR") + ", bp " + v("SBP") + '/' + v("DBP") + " (" + v("MBP") + "), spo2 " +
                       v("SPO2") + ", rr " + v("RR") + ", samples/s";
    for (const char* wave : kWaves)
        line += std::string(" ") + wave + ' ' + std::to_string(samplesOf(now, wave) - samplesOf(before, wave));
    if (now.overLimit != before.overLimit)
        line += ", over " + std::to_string(kDatagramLimit) + " chars " + std::to_string(now.overLimit - before.overLimit);
    return line;
}

std::string formatReport(const UnitStats& s) {
    std::ostringstream out;
    char window[32];
    std::snprintf(window, sizeof window, "%.2f", s.windowSeconds);
    const auto v = [&](const char* word) { return valueOrDash(s, word); };

    out << "== unit-emulator-v22 report ==\n";
    out << "window: " << window << " s from the first to the last datagram\n";
    out << "datagrams: " << s.datagrams << " (" << rate(double(s.datagrams), s.windowSeconds)
        << "), longest: " << s.longestDatagram << " chars, over " << kDatagramLimit << " chars: " << s.overLimit
        << ", malformed commands: " << s.malformed << ", ignored while silent: " << s.ignoredWhileSilent << '\n';
    out << "commands: " << s.commands << ", replies: " << s.replies
        << ", run-mode commands while not enabled: " << s.ignoredWhileDisabled << '\n';
    out << "state: " << (s.associated ? "associated" : "free") << ", " << (s.enabled ? "enabled" : "not enabled")
        << ", watchdog " << (s.watchdog ? "on" : "off") << '\n';
    out << "exchanges: ID " << countOf(s, "ID") << ", ASSOC " << countOf(s, "ASSOC") << ", ENABLE "
        << countOf(s, "ENABLE") << ", WDT " << countOf(s, "WDT") << ", DISABLE " << countOf(s, "DISABLE")
        << ", STOPME " << countOf(s, "STOPME") << '\n';
    out << "heart rate: " << v("HR") << '\n';
    out << "blood pressure: " << v("SBP") << '/' << v("DBP") << " (" << v("MBP") << ")\n";
    out << "spo2: " << v("SPO2") << ", probe " << v("SPO2_PROBE") << ", scale " << v("SPO2_SCALE") << '\n';
    out << "respiration: " << v("RR") << '\n';
    out << "temperatures: t1 " << v("T1") << ", t2 " << v("T2") << '\n';
    for (const char* wave : kWaves) {
        const auto it = s.waves.find(wave);
        std::string name(wave);
        for (char& c : name)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (it == s.waves.end()) {
            out << "wave " << name << ": 0 samples (-)\n";
            continue;
        }
        out << "wave " << name << ": " << it->second.samples << " samples ("
            << rate(double(it->second.samples), s.windowSeconds) << "), last";
        for (const std::string& x : it->second.lastSamples)
            out << ' ' << x;
        out << '\n';
    }
    return out.str();
}

}  // namespace halvex::emulators::unit_v22
