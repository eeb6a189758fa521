#pragma once

#include <string>
#include <vector>

#include "platform/line_sink.h"

// The WiFi mode takes exactly three texts: unit address, network name, password.
// Prints the error and the usage text when the list is of another length.
inline bool wifiArgumentsValid(const std::vector<std::string>& wifi, const std::string& usage) {
    if (wifi.size() == 3) {
        return true;
    }
    halvex::platform::printErr("HX>Incorrect parameters for wifi configuration mode");
    halvex::platform::printOut("\n" + usage);
    return false;
}
