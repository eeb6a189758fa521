#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "configuration/configuration.h"
#include "controller/edition.h"

namespace halvex::app {

using configuration::Configuration;
using configuration::ConfigurationKeys;

// Name of the system-wide guard that lets only one bridge, of either edition, run on
// a machine at a time.
inline constexpr const char* kInstanceGuardName = "Global\\PatientSimulatorHalvex";

// What makes one program of the bridge: the configuration keys its edition reads, how
// to build its edition (with the edition's unit adaptor) for each controller, and its
// WiFi set-up with an adaptor of its own (returns the process status).
struct Program {
    ConfigurationKeys configurationKeys;
    std::function<std::unique_ptr<controller::Edition>(Configuration&)> makeEdition;
    std::function<int(const controller::WifiSettings&)> setUpWifi;
};

// The entry point shared by both programs: command line, instance guard, then the
// WiFi set-up mode or the bridge's outer loop. Returns the process status.
int runEntryPoint(int argc, char** argv, const Program& program);

// The WiFi set-up mode: hands a network name and password to the unit at the given
// address. Returns the process status. wifi holds the texts given after --wifi; usage
// is the usage text.
int runWifiSetup(const std::vector<std::string>& wifi, const std::string& usage, const Program& program);

}  // namespace halvex::app
