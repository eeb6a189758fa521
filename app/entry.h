#pragma once

#include <string>
#include <vector>

// Name of the system-wide guard that lets only one bridge, of either edition, run on
// a machine at a time.
inline constexpr const char* kInstanceGuardName = "Global\\PatientSimulatorHalvex";

// The entry point shared by both programs: command line, instance guard, then the
// WiFi set-up mode or the bridge's outer loop. Returns the process status.
int runEntryPoint(int argc, char** argv);

// The edition's WiFi set-up mode: hands a network name and password to the unit at
// the given address. Returns the process status. wifi holds the texts given after
// --wifi; usage is the usage text.
int runWifiSetup(const std::vector<std::string>& wifi, const std::string& usage);
