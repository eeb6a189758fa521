#pragma once

#include <iostream>
#include <string>
#include <vector>

// The WiFi mode takes exactly three texts: unit address, network name, password.
// Prints the error and the usage text when the list is of another length.
inline bool wifiArgumentsValid(const std::vector<std::string>& wifi, const std::string& usage) {
    if (wifi.size() == 3) {
        return true;
    }
    std::cerr << "HX>Incorrect parameters for wifi configuration mode" << std::endl;
    std::cout << '\n' << usage << std::endl;
    return false;
}
