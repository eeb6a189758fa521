#pragma once

// The unit adaptor of the v2.2 edition, in a form that reaches no unit: initialize()
// reports that the adaptor is missing and fails, and every other operation does
// nothing. The adaptor that talks to a Halvex v2.2 unit replaces this class, with the
// same operations.

#include <string>
#include <vector>

class HalvexAdaptor {
public:
    HalvexAdaptor() = default;
    HalvexAdaptor(const HalvexAdaptor&) = delete;
    HalvexAdaptor& operator=(const HalvexAdaptor&) = delete;

    bool initialize(const std::string& serialId, const std::string& ipAddress, const std::string& rangeStart,
                    const std::string& rangeEnd, bool retryForever);
    void setVerbose() {}

    bool checkAssociation() { return false; }
    void associate() {}
    void disable() {}
    void beginBatch() {}
    void flushBatch() {}

    void sendHeartRate(int) {}
    void sendRespirationRate(int) {}
    void sendBloodPressure(int, int, int) {}
    void clearBloodPressure() {}
    void sendSpO2(int) {}
    void sendSpO2Probe(bool) {}
    void sendSpO2Scale(int) {}
    void sendTemperature1(float) {}
    void sendTemperature2(float) {}
    void clearTemperature1() {}
    void clearTemperature2() {}
    void clearCo2() {}
    void sendAbpWave(std::vector<float>&) {}
    void sendCvpWave(std::vector<float>&) {}
    void sendPapWave(std::vector<float>&) {}
    void sendPlethWave(std::vector<float>&) {}
    void sendCo2Wave(std::vector<float>&) {}

    void enterConfigMode() {}
    bool resetWifiToFactory() { return false; }
    void configureWifi(const std::string&, const std::string&) {}
};
