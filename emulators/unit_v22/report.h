#pragma once

// The stand-in unit's account of what it received, in a stable line format that
// scripts can read: one "name: value" line each, "-" for a value never received.

#include <string>

#include "emulators/unit_v22/unit_model.h"

namespace halvex::emulators::unit_v22 {

std::string formatReport(const UnitStats& stats);
// One line for the last second: datagrams, the main vitals and samples per wave.
std::string summaryLine(const UnitStats& now, const UnitStats& before, long second);
// The last value of a command, or "-" when it never arrived.
std::string valueOrDash(const UnitStats& stats, const std::string& word);

}  // namespace halvex::emulators::unit_v22
