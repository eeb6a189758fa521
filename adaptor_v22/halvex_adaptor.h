#pragma once

// The unit adaptor of the v2.2 edition, in a form that reaches no unit: initialize()
// reports that the adaptor is missing and fails, and every other operation does
// nothing. The adaptor that talks to a Halvex v2.2 unit replaces this class, with the
// same operations.

#include <string>
#include <vector>

#include "controller/unit_adaptor.h"

namespace halvex::v22 {

class HalvexAdaptor : public V22UnitAdaptor {
public:
    HalvexAdaptor() = default;

    bool initialize(const std::string& serialId, const std::string& ipAddress, const std::string& rangeStart,
                    const std::string& rangeEnd, bool retryForever) override;
    void setVerbose() override {}

    bool checkAssociation() override { return false; }
    void associate() override {}
    void disable() override {}
    void beginBatch() override {}
    void flushBatch() override {}

    void sendHeartRate(int) override {}
    void sendRespirationRate(int) override {}
    void sendBloodPressure(int, int, int) override {}
    void clearBloodPressure() override {}
    void sendSpO2(int) override {}
    void sendSpO2Probe(bool) override {}
    void sendSpO2Scale(int) override {}
    void sendTemperature1(float) override {}
    void sendTemperature2(float) override {}
    void clearTemperature1() override {}
    void clearTemperature2() override {}
    void clearCo2() override {}
    void sendAbpWave(std::vector<float>&) override {}
    void sendCvpWave(std::vector<float>&) override {}
    void sendPapWave(std::vector<float>&) override {}
    void sendPlethWave(std::vector<float>&) override {}
    void sendCo2Wave(std::vector<float>&) override {}

    void enterConfigMode() override {}
    bool resetWifiToFactory() override { return false; }
    bool configureWifi(const std::string&, const std::string&) override { return false; }
};

}  // namespace halvex::v22
