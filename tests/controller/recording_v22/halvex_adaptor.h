#pragma once

// A v2.2-edition unit adaptor that records every call instead of reaching a unit.
// The wave operations record the number of samples and keep a copy of them; like the
// real adaptor they consume the whole groups of 5 (10 for CVP and CO2).

#include <map>
#include <string>
#include <vector>

#include "tests/controller/call_log.h"

class HalvexAdaptor {
public:
    CallLog log;
    AdaptorScript script;
    std::map<std::string, std::vector<float>> lastWave;

    bool initialize(const std::string& serialId, const std::string& ipAddress, const std::string& rangeStart,
                    const std::string& rangeEnd, bool retryForever) {
        record(callText("initialize", serialId, ipAddress, rangeStart, rangeEnd, retryForever));
        return script.initializeResult;
    }
    void setVerbose() { record(callText("setVerbose")); }
    bool checkAssociation() {
        record(callText("checkAssociation"));
        return script.nextHealth();
    }
    void associate() { record(callText("associate")); }
    void disable() { record(callText("disable")); }
    void beginBatch() { record(callText("beginBatch")); }
    void flushBatch() { record(callText("flushBatch")); }
    void sendHeartRate(int v) { record(callText("sendHeartRate", v)); }
    void sendRespirationRate(int v) { record(callText("sendRespirationRate", v)); }
    void sendBloodPressure(int s, int d, int m) { record(callText("sendBloodPressure", s, d, m)); }
    void clearBloodPressure() { record(callText("clearBloodPressure")); }
    void sendSpO2(int v) { record(callText("sendSpO2", v)); }
    void sendSpO2Probe(bool attached) { record(callText("sendSpO2Probe", attached)); }
    void sendSpO2Scale(int v) { record(callText("sendSpO2Scale", v)); }
    void sendTemperature1(float v) { record(callText("sendTemperature1", v)); }
    void sendTemperature2(float v) { record(callText("sendTemperature2", v)); }
    void clearTemperature1() { record(callText("clearTemperature1")); }
    void clearTemperature2() { record(callText("clearTemperature2")); }
    void clearCo2() { record(callText("clearCo2")); }
    void sendAbpWave(std::vector<float>& s) { wave("sendAbpWave", s, 5); }
    void sendCvpWave(std::vector<float>& s) { wave("sendCvpWave", s, 10); }
    void sendPapWave(std::vector<float>& s) { wave("sendPapWave", s, 5); }
    void sendPlethWave(std::vector<float>& s) { wave("sendPlethWave", s, 5); }
    void sendCo2Wave(std::vector<float>& s) { wave("sendCo2Wave", s, 10); }
    void enterConfigMode() { record(callText("enterConfigMode")); }
    bool resetWifiToFactory() { record(callText("resetWifiToFactory")); return true; }
    void configureWifi(const std::string& ssid, const std::string& password) {
        record(callText("configureWifi", ssid, password));
    }

private:
    void record(const std::string& call) {
        log.add(call);
        script.maybeThrow(call.substr(0, call.find('(')));
    }
    void wave(const std::string& name, std::vector<float>& samples, std::size_t group) {
        lastWave[name] = samples;
        record(callText(name, samples.size()));
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / group * group));
    }
};
