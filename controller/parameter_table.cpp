#include "controller/parameter_table.h"

#include <unordered_map>

namespace halvex::controller {

std::optional<Parameter> parameterNamed(const std::string& id) {
    static const std::unordered_map<std::string, Parameter> table = {
        {"HW_PATSPEED", Parameter::PatSpeed},
        {"HRPM", Parameter::HeartRate},
        {"SAO2", Parameter::SaO2},
        {"ETCO2", Parameter::EtCo2},
        {"EXT_DABP", Parameter::Diastolic},
        {"EXT_MAP", Parameter::Mean},
        {"EXT_SABP", Parameter::Systolic},
        {"RRPM", Parameter::RespRate},
        {"BODY_TEMP", Parameter::BodyTemp},
        {"bloodTemp", Parameter::BloodTemp},
        {"ARTLINE", Parameter::ArtLine},
        {"PLINE", Parameter::PLine},
        {"CVPLINE", Parameter::CvpLine},
        {"CAPNOGRAM", Parameter::Capnogram},
        {"PLETH", Parameter::Pleth},
        {"ARTERIAL_CATHETER_DEPTH", Parameter::ArtDepth},
        {"CVP_CATHETER_DEPTH", Parameter::CvpDepth},
        {"PA_CATHETER_DEPTH", Parameter::PaDepth},
        {"PULSE_SENSOR", Parameter::PulseSensor},
        {"SPO2_PROBE", Parameter::Spo2Probe},
        {"SIMULATOR_XCONNECTED", Parameter::CrossConnected},
        {"CAPNOGRAPH_SENSOR", Parameter::Capnograph},
        {"TEMP_BODY_SENSOR", Parameter::BodyTempSensor},
        {"TEMP_BLOOD_SENSOR", Parameter::BloodTempSensor},
        {"NIBP_SENSOR", Parameter::NibpSensor},
        {"HW_PATMON_CALIB_ACTION", Parameter::CalAction},
        {"HW_PATMON_CALIB_ARG1", Parameter::CalArg},
        {"HW_PATMON_ENABLED", Parameter::Enabled},
    };
    const auto row = table.find(id);
    if (row == table.end())
        return std::nullopt;
    return row->second;
}

}  // namespace halvex::controller
