#pragma once

// What the fuzz targets share: the console silenced (the code under test prints its
// lines as it would for the operator) and a stop when a target finds a broken
// invariant, so that libFuzzer keeps the input.

#include <cstdio>
#include <cstdlib>

#include "platform/line_sink.h"

namespace halvex::fuzz {

// Swallows every line while it lives.
struct SilentConsole {
    halvex::platform::ScopedLineCapture capture{[](halvex::platform::Channel, const std::string&) {}};
};

// Ends the run as a crash when `holds` is false.
inline void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "broken invariant: %s\n", what);
        std::abort();
    }
}

}  // namespace halvex::fuzz
