#include "controller/edition.h"

#include "platform/line_sink.h"

namespace halvex::controller {

bool Edition::initializeUnit() {
    return unit().initialize(configuration.SerialID, configuration.IPAddress, configuration.IPRangeStart,
                             configuration.IPRangeEnd, true);
}

bool Edition::reachUnitForWifi(UnitAdaptor& unit, const WifiSettings& settings) {
    if (unit.initialize("", settings.unitAddress, "", "", false))
        return true;
    halvex::platform::printErr("HX>Unable to initialize the Halvex adapter. Leaving now!");
    return false;
}

void Edition::sendVitals(UnitAdaptor& unit, const SendCycle& cycle) {
    if (const auto& pressure = cycle.bloodPressure) {
        if (pressure->measured)
            unit.sendBloodPressure(pressure->systolic, pressure->diastolic, pressure->mean);
        else
            unit.clearBloodPressure();
    }
    if (cycle.heartRate)
        unit.sendHeartRate(*cycle.heartRate);
    if (cycle.respirationRate)
        unit.sendRespirationRate(*cycle.respirationRate);
    if (const auto& temperatures = cycle.temperatures) {
        if (temperatures->body.measured)
            unit.sendTemperature1(temperatures->body.value);
        else
            unit.clearTemperature1();
        if (temperatures->blood.measured)
            unit.sendTemperature2(temperatures->blood.value);
        else
            unit.clearTemperature2();
    }
}

void Edition::sendPressureWaves(UnitAdaptor& unit, SendCycle& cycle) {
    if (cycle.arterial)
        unit.sendAbpWave(*cycle.arterial);
    if (cycle.centralVenous)
        unit.sendCvpWave(*cycle.centralVenous);
    if (cycle.pulmonaryArtery)
        unit.sendPapWave(*cycle.pulmonaryArtery);
}

}  // namespace halvex::controller
