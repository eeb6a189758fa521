#include "controller/edition.h"

#include "platform/line_sink.h"

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
