#pragma once

// A JSON-edition unit adaptor that records every call instead of reaching a unit.
// The wave operations record the number of samples and keep a copy of them; like the
// real adaptor they consume the whole groups of 5 (10 for CVP).

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
    bool isConnected() {
        record(callText("isConnected"));
        return script.nextHealth();
    }
    void sendCalSelect() { record(callText("sendCalSelect")); }
    void setStreamingEnabled(bool enabled) { record(callText("setStreamingEnabled", enabled)); }
    void sendCommand(const std::string& name, int value) { record(callText("sendCommand", name, value)); }
    void sendCommand(const std::string& name, float value) { record(callText("sendCommand", name, value)); }
    void sendCommand(const std::string& name, const std::string& value) { record(callText("sendCommand", name, value)); }
    void sendHeartRate(int v) { record(callText("sendHeartRate", v)); }
    void sendRespirationRate(int v) { record(callText("sendRespirationRate", v)); }
    void sendBloodPressure(int s, int d, int m) { record(callText("sendBloodPressure", s, d, m)); }
    void clearBloodPressure() { record(callText("clearBloodPressure")); }
    void sendSpO2(int v) { record(callText("sendSpO2", v)); }
    void sendSpO2Ratio(int v) { record(callText("sendSpO2Ratio", v)); }
    void sendCo2FlowFactor(int v) { record(callText("sendCo2FlowFactor", v)); }
    void sendTemperature1(float v) { record(callText("sendTemperature1", v)); }
    void sendTemperature2(float v) { record(callText("sendTemperature2", v)); }
    void clearTemperature1() { record(callText("clearTemperature1")); }
    void clearTemperature2() { record(callText("clearTemperature2")); }
    void clearCo2() { record(callText("clearCo2")); }
    void sendAbpWave(std::vector<float>& s) { wave("sendAbpWave", s, 5); }
    void sendCvpWave(std::vector<float>& s) { wave("sendCvpWave", s, 10); }
    void sendPapWave(std::vector<float>& s) { wave("sendPapWave", s, 5); }
    void sendPlethWave(std::vector<float>& s) { wave("sendPlethWave", s, 5); }
    void sendMessage(const std::string& json) { record(callText("sendMessage", json)); }
    std::string sendRequestStoredCalibrationNamesSpO2() { record(callText("sendRequestStoredCalibrationNamesSpO2")); return {}; }
    std::string sendRequestStoredCalibrationNamesCO2() { record(callText("sendRequestStoredCalibrationNamesCO2")); return {}; }
    void printJson(const std::string& json) { record(callText("printJson", json)); }
    bool sendWifiCredentials(const std::string& ssid, const std::string& password) {
        record(callText("sendWifiCredentials", ssid, password));
        return true;
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
