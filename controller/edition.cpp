#include "controller/edition.h"

bool Edition::initializeUnit() {
    return unit().initialize(configuration.SerialID, configuration.IPAddress, configuration.IPRangeStart,
                             configuration.IPRangeEnd, true);
}
