#include "emulators/sim_server/scenario.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <set>
#include <sstream>

namespace halvex::emulators::sim_server {

namespace {

// Whole-text number parse: "12x" and "" are refused.
bool parseNumber(const std::string& text, double& out) {
    std::istringstream s(text);
    s.imbue(std::locale::classic());
    double v;
    if (!(s >> v)) return false;
    char extra;
    if (s >> extra) return false;
    out = v;
    return true;
}

bool checkValue(const std::string& id, const std::string& text, const std::vector<Parameter>& parameters,
                double& value, std::string& error) {
    auto it = std::find_if(parameters.begin(), parameters.end(), [&](const Parameter& p) { return p.id == id; });
    if (it == parameters.end()) {
        error = "unknown parameter '" + id + "'";
        return false;
    }
    if (!parseNumber(text, value) || !valueFits(*it, value)) {
        error = "'" + text + "' is not a valid " + (it->isFloat ? "number" : "integer") + " for " + id;
        return false;
    }
    return true;
}

bool parseSceId(const std::string& text, double& value) {
    return parseNumber(text, value) && value >= 0 && value <= std::numeric_limits<std::uint32_t>::max() &&
           value == std::trunc(value);
}

}  // namespace

bool parseAssignment(const std::string& text, const std::vector<Parameter>& parameters, std::string& id,
                     double& value, std::string& error) {
    const auto eq = text.find('=');
    if (eq == std::string::npos) {
        error = "expected ID=VALUE, got '" + text + "'";
        return false;
    }
    id = text.substr(0, eq);
    return checkValue(id, text.substr(eq + 1), parameters, value, error);
}

bool parseScenario(std::istream& in, const std::vector<Parameter>& parameters, std::vector<ScenarioStep>& steps,
                   std::string& error) {
    std::vector<ScenarioStep> parsed;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const auto hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.empty()) continue;

        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        ScenarioStep step;
        if (w.size() < 3 || w[0] != "at") return fail("expected 'at SECONDS ACTION ...'");
        if (!parseNumber(w[1], step.at) || !std::isfinite(step.at) || step.at < 0)
            return fail("'" + w[1] + "' is not a time in seconds");
        const std::string& action = w[2];
        const std::size_t args = w.size() - 3;
        if (action == "set") {
            if (args != 2) return fail("expected 'set ID VALUE'");
            step.action = ScenarioStep::Action::Set;
            step.id = w[3];
            std::string why;
            if (!checkValue(w[3], w[4], parameters, step.value, why)) return fail(why);
        } else if (action == "drop-connections" || action == "refuse-connections" || action == "accept-connections") {
            if (args != 0) return fail("'" + action + "' takes no arguments");
            step.action = action == "drop-connections"     ? ScenarioStep::Action::DropConnections
                          : action == "refuse-connections" ? ScenarioStep::Action::RefuseConnections
                                                           : ScenarioStep::Action::AcceptConnections;
        } else if (action == "sce-start" || action == "sce-end") {
            if (args != 1 || !parseSceId(w[3], step.value)) return fail("expected '" + action + " SCE_ID'");
            step.action = action == "sce-start" ? ScenarioStep::Action::SceStart : ScenarioStep::Action::SceEnd;
        } else if (action == "calibrate") {
            if (args != 2) return fail("expected 'calibrate ACTION ARGUMENT'");
            step.action = ScenarioStep::Action::Calibrate;
            std::string why;
            if (!checkValue("HW_PATMON_CALIB_ACTION", w[3], parameters, step.value, why) ||
                !checkValue("HW_PATMON_CALIB_ARG1", w[4], parameters, step.argument, why))
                return fail(why);
        } else {
            return fail("unknown action '" + action + "'");
        }
        parsed.push_back(step);
    }
    std::stable_sort(parsed.begin(), parsed.end(),
                     [](const ScenarioStep& a, const ScenarioStep& b) { return a.at < b.at; });
    steps = std::move(parsed);
    return true;
}

void applyStep(const ScenarioStep& step, SimServerEmulator& server) {
    switch (step.action) {
        case ScenarioStep::Action::Set: server.setValue(step.id, step.value); break;
        case ScenarioStep::Action::DropConnections: server.dropConnections(); break;
        case ScenarioStep::Action::RefuseConnections: server.stopAccepting(); break;
        case ScenarioStep::Action::AcceptConnections: server.resumeAccepting(); break;
        case ScenarioStep::Action::SceStart:
            server.sendSceEvent(SceEvent::Started, static_cast<std::uint32_t>(step.value));
            break;
        case ScenarioStep::Action::SceEnd:
            server.sendSceEvent(SceEvent::Ended, static_cast<std::uint32_t>(step.value));
            break;
        case ScenarioStep::Action::Calibrate:
            server.setValues({{"HW_PATMON_CALIB_ACTION", step.value}, {"HW_PATMON_CALIB_ARG1", step.argument}});
            break;
    }
}

std::vector<std::string> scenarioFolders() {
    namespace fs = std::filesystem;
    std::vector<std::string> folders;
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) folders.push_back((program.parent_path() / HALVEX_INSTALLED_SCENARIOS).lexically_normal().string());
    folders.push_back(HALVEX_SOURCE_SCENARIOS);
    return folders;
}

std::string findScenario(const std::string& nameOrPath, const std::vector<std::string>& folders,
                         std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_regular_file(nameOrPath, ec)) return nameOrPath;
    const bool isName = !nameOrPath.empty() && nameOrPath.find('/') == std::string::npos;
    std::set<std::string> names;
    for (const std::string& folder : folders) {
        if (isName) {
            for (const std::string& candidate : {nameOrPath, nameOrPath + ".scenario"}) {
                const fs::path path = fs::path(folder) / candidate;
                if (fs::is_regular_file(path, ec)) return path.string();
            }
        }
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->path().extension() == ".scenario") names.insert(it->path().stem().string());
        }
    }
    error = "no scenario file or name '" + nameOrPath + "'";
    if (!names.empty()) {
        error += "; the names are:";
        for (const std::string& name : names) error += ' ' + name;
    }
    return {};
}

}  // namespace halvex::emulators::sim_server
