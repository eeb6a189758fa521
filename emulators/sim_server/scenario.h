#pragma once
// Scenario files of the emulator program: timed changes to a running simulation.
//
//   # comment                     blank lines and '#' comments are ignored
//   at 5.0 set HRPM 80            set a value (sent to subscribers)
//   at 10 set HW_PATSPEED 0
//   at 12 drop-connections        close every client connection
//   at 13 refuse-connections      close the listeners
//   at 20 accept-connections      listen again
//   at 25 sce-end 1               end SCE 1 (event 0x0114, no patient afterwards)
//   at 30 sce-start 2             start SCE 2 (event 0x0112)
//   at 31 calibrate 3 250         a monitor calibration step: HW_PATMON_CALIB_ACTION 3
//                                 and HW_PATMON_CALIB_ARG1 250 in one update
//
// Times are seconds from the start of the program, in any order; steps run in time
// order (steps with the same time in file order).

#include <istream>
#include <string>
#include <vector>

#include "emulators/sim_server/sim_server_emulator.h"

namespace halvex::emulators::sim_server {

struct ScenarioStep {
    enum class Action { Set, DropConnections, RefuseConnections, AcceptConnections, SceStart, SceEnd, Calibrate };
    double at = 0;
    Action action = Action::Set;
    std::string id;       // Set
    double value = 0;     // Set: the value; SceStart/SceEnd: the SCE id; Calibrate: the action
    double argument = 0;  // Calibrate: the action's argument
};

// Reads a scenario, checking every id and value against the parameters offered.
// On failure: false, and `error` names the line and what is wrong with it.
bool parseScenario(std::istream& in, const std::vector<Parameter>& parameters, std::vector<ScenarioStep>& steps,
                   std::string& error);

// Parses "ID=VALUE" (the program's --set) against the parameters offered.
bool parseAssignment(const std::string& text, const std::vector<Parameter>& parameters, std::string& id,
                     double& value, std::string& error);

// Runs one step against the server.
void applyStep(const ScenarioStep& step, SimServerEmulator& server);

// Where --scenario looks for a name: the scenarios installed beside the program
// (../share/halvex-relay/scenarios from its folder), then those of the source tree.
std::vector<std::string> scenarioFolders();
// `nameOrPath` as given when such a file exists; otherwise NAME or NAME.scenario in
// the first folder that has it. Empty when there is none, and `error` then lists the
// names that can be given.
std::string findScenario(const std::string& nameOrPath, const std::vector<std::string>& folders,
                         std::string& error);

}  // namespace halvex::emulators::sim_server
