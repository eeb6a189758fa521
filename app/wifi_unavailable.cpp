// WiFi set-up mode, until the unit adaptors carry their WiFi exchanges: checks the
// command line and reports that the mode cannot run yet.
#include "app/entry.h"
#include "app/wifi_common.h"
#include "platform/line_sink.h"

int runWifiSetup(const std::vector<std::string>& wifi, const std::string& usage) {
    if (!wifiArgumentsValid(wifi, usage)) {
        return 1;
    }
    halvex::platform::printErr("HX>ERROR>The WiFi set-up mode is not available in this build yet.");
    return 1;
}
