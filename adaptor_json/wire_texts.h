#pragma once

// The whole messages the JSON unit is sent besides the two streamed ones, built
// without any I/O: the fixed one-off messages, the WiFi credentials and the CalData
// of a calibration.

#include <map>
#include <string>

namespace halvex::adaptor_json {

// Fixed one-off messages, exactly as sent.
extern const char* const kCalSelect;
extern const char* const kCalListRequestSpO2;
extern const char* const kCalListRequestCO2;
extern const char* const kStatusRequest;
extern const char* const kCalRemoveSpO2;
extern const char* const kCalRemoveCO2;

// The name under which the unit stores the bridge's calibrations.
extern const char* const kCalibrationName;

// The CalData message for one calibration type ("SpO2", "CO2"): one calPts element
// per point, in ascending counter order, Item1 the counter and Item2 the point.
std::string calDataText(const std::string& calType, const std::map<int, int>& points);
// The network name and password as JSON strings, whatever characters they hold.
std::string wifiCredentialsText(const std::string& ssid, const std::string& password);

}  // namespace halvex::adaptor_json
