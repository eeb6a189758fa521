#pragma once

// The stand-in unit's account of what it received, in a stable line format that
// scripts can read: one "name: value" line each, "-" for a value never received.

#include <string>

#include "emulators/unit_json/unit_store.h"

namespace halvex::emulators::unit_json {

std::string formatReport(const UnitStats& stats);

// The value of a VitalsData key, or "-" when it never arrived.
std::string vitalOrDash(const UnitStats& stats, const std::string& key);

} // namespace halvex::emulators::unit_json
