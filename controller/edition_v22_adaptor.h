#pragma once

#include <string>
#include <vector>

#include "controller/unit_adaptor.h"

namespace halvex::controller {

// The unit of halvex-relay-v22: text commands over UDP, sent at once or gathered into
// a batch that leaves as one datagram.
class V22UnitAdaptor : public UnitAdaptor {
public:
    // The supervision loop's view of the unit's health. A unit that does not answer
    // counts as associated: silence is not taken for a lost unit.
    virtual bool checkAssociation() = 0;
    // Takes the unit for this bridge and enables its output; disable releases it.
    virtual void associate() = 0;
    virtual void disable() = 0;
    // Commands between the two leave together, in as few datagrams as the limit allows.
    virtual void beginBatch() = 0;
    virtual void flushBatch() = 0;
    virtual void sendSpO2Probe(bool attached) = 0;
    virtual void sendSpO2Scale(int value) = 0;
    virtual void sendCo2Wave(std::vector<float>& samples) = 0;
    // WiFi set-up: the unit's configuration mode, its WiFi settings back to factory
    // values (true once the unit reported the reset), and the new network (true once
    // the unit answered it; false when it did not within a bounded number of looks).
    virtual void enterConfigMode() = 0;
    virtual bool resetWifiToFactory() = 0;
    virtual bool configureWifi(const std::string& ssid, const std::string& password) = 0;
};

}  // namespace halvex::controller
