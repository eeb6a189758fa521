#include "adaptor_v22/wifi_exchanges.h"

#include <thread>

#include "adaptor_v22/command_text.h"
#include "platform/line_sink.h"

namespace halvex::adaptor_v22 {

void WifiExchanges::enterConfigMode() {
    const std::string reply = path_.queryCommand("CONFIG", integerPayload(1));
    platform::printOut("Reading: " + reply);
}

bool WifiExchanges::resetWifiToFactory() {
    path_.sendCommand("WIFI_FACTORY_RESET", "");
    for (int look = 0; look < limits_.factoryResetLooks; ++look) {
        std::string reply, sender;
        if (path_.waitReplyWithSender(reply, sender)) {
            platform::printOut("Reading: " + reply);
            // The acknowledgement only says the request arrived; the next reply ends it.
            if (reply != kFactoryResetAck)
                return true;
        }
        std::this_thread::sleep_for(limits_.lookPause);
    }
    return false;
}

bool WifiExchanges::configureWifi(const std::string& ssid, const std::string& password) {
    path_.sendCommand("WIFI_CFG", kConfigurePrefix + ssid + "," + password);
    for (int look = 0; look < limits_.configureLooks; ++look) {
        std::string reply, sender;
        if (path_.waitReplyWithSender(reply, sender) && reply != kConfigureAck)
            return true;
        std::this_thread::sleep_for(limits_.lookPause);
    }
    return false;
}

}  // namespace halvex::adaptor_v22
