// The WiFi set-up mode: hands a network name and password to the unit at the address
// given on the command line and ends. What is sent, and how, is the edition's
// (setUpWifi in edition_json.h and edition_v22.h); the program's main supplies it.
#include "app/entry.h"
#include "platform/line_sink.h"

namespace halvex::app {

using halvex::platform::printErr;
using halvex::platform::printOut;

int runWifiSetup(const std::vector<std::string>& wifi, const std::string& usage, const Program& program) {
    if (wifi.size() != 3) {
        printErr("HX>Incorrect parameters for wifi configuration mode");
        printOut("\n" + usage);
        return 1;
    }
    const controller::WifiSettings settings{wifi[0], wifi[1], wifi[2]};
    printOut("HX>>Configuration of the HX unit @ IP <" + settings.unitAddress + "> for SSID <" + settings.ssid +
             "> and password <" + settings.password + ">");
    return program.setUpWifi(settings);
}

}  // namespace halvex::app
