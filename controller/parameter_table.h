#pragma once

#include <optional>
#include <string>

namespace halvex::controller {

// The simulator parameters the bridge acts on, by their ids (SIM and APP inputs alike).
enum class Parameter {
    PatSpeed, HeartRate, SaO2, EtCo2, Diastolic, Mean, Systolic, RespRate, BodyTemp, BloodTemp,
    ArtLine, PLine, CvpLine, Capnogram, Pleth, ArtDepth, CvpDepth, PaDepth, PulseSensor, Spo2Probe,
    CrossConnected, Capnograph, BodyTempSensor, BloodTempSensor, NibpSensor, CalAction, CalArg, Enabled,
};

// The parameter an id names (compared exactly); none for an id the bridge leaves alone
// ("SPA", "DPA", anything unknown).
std::optional<Parameter> parameterNamed(const std::string& id);

}  // namespace halvex::controller
