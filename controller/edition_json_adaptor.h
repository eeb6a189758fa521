#pragma once

#include <map>
#include <string>

#include "controller/unit_adaptor.h"

namespace halvex::controller {

// The unit of halvex-relay-json: one TCP connection; values go into two pending
// messages that a streaming thread sends on its own schedule.
class JsonUnitAdaptor : public UnitAdaptor {
public:
    // The calibrations the unit stores, by type.
    enum class CalibrationType { SpO2, CO2 };
    // A calibration table: the counter the unit was driven with -> the monitor's
    // reading saved for it, in ascending counter order.
    using CalibrationPoints = std::map<int, int>;

    // The supervision loop's view of the unit's health.
    virtual bool isConnected() const = 0;
    virtual void setStreamingEnabled(bool enabled) = 0;
    // Selects the unit's default calibration while nothing drives it.
    virtual void sendCalSelect() = 0;
    // A named value of the pending messages: "etCO2" with a number, the zero states
    // ("abpZeroState", ...) with a text.
    virtual void sendCommand(const std::string& name, int value) = 0;
    virtual void sendCommand(const std::string& name, const std::string& value) = 0;
    virtual void sendSpO2Ratio(int value) = 0;
    virtual void sendCo2FlowFactor(int value) = 0;
    // The calibration upload: a framed JSON text, the stored calibration lists, and a
    // readable print of a JSON text.
    virtual void sendMessage(const std::string& json) = 0;
    virtual std::string sendRequestStoredCalibrationNamesSpO2() = 0;
    virtual std::string sendRequestStoredCalibrationNamesCO2() = 0;
    virtual void printJson(const std::string& json) = 0;
    // Replaces the unit's stored calibration of one type by `points`: lists what it
    // holds, removes the bridge's previous calibration, sends the new one and lists
    // again. An unanswered request or a bad answer raises an exception.
    virtual void uploadCalibration(CalibrationType type, const CalibrationPoints& points) = 0;
    // WiFi set-up: true when the unit reports that it joined the network.
    virtual bool sendWifiCredentials(const std::string& ssid, const std::string& password) = 0;
};

}  // namespace halvex::controller
