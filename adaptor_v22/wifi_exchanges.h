#pragma once

// The exchanges that reconfigure the unit's network side, used only by the WiFi
// set-up mode: configuration mode, the WiFi factory reset and new WiFi credentials.
// Each sends one command and reads the replies on the caller's thread, through the
// command path's transport. Every loop of looks is bounded.

#include <chrono>
#include <string>

#include "adaptor_v22/command_path.h"

namespace halvex::adaptor_v22 {

struct WifiLimits {
    // Looks for a reply (each a waitReplyWithSender), with a pause after each that
    // does not end the exchange.
    static constexpr int kFactoryResetLooks = 40;
    // The credentials exchange has no bound of its own in the unit's protocol; this
    // one keeps a unit that only ever acknowledges from holding the WiFi mode for ever.
    static constexpr int kConfigureLooks = 40;
    static constexpr std::chrono::milliseconds kLookPause{1000};

    int factoryResetLooks = kFactoryResetLooks;
    int configureLooks = kConfigureLooks;
    std::chrono::milliseconds lookPause = kLookPause;
};

class WifiExchanges {
public:
    static constexpr const char* kFactoryResetAck = "[wifi_factory_reset]@";
    static constexpr const char* kConfigureAck = "[wifi_cgf]ok@";
    // Serial speed, unit port and a flag the unit expects before the credentials.
    static constexpr const char* kConfigurePrefix = "57600,14996,0,";

    WifiExchanges(CommandPath& path, WifiLimits limits) : path_(path), limits_(limits) {}

    // [CONFIG]1@; prints "Reading: " and the reply (which may be empty).
    void enterConfigMode();
    // [WIFI_FACTORY_RESET]@; true once a reply other than the acknowledgement came,
    // false after the looks allowed.
    bool resetWifiToFactory();
    // [WIFI_CFG]57600,14996,0,<ssid>,<password>@; waits for a reply other than the
    // acknowledgement. False (with an error line) when none came within the looks.
    bool configureWifi(const std::string& ssid, const std::string& password);

private:
    CommandPath& path_;
    const WifiLimits limits_;
};

}  // namespace halvex::adaptor_v22
