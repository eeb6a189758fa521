#pragma once

// Unit adaptors that record every call instead of reaching a unit, one per edition's
// interface. The wave operations record the number of samples and keep a copy of
// them; like the real adaptors they consume the whole groups of 5 (10 for CVP and CO2).

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "controller/edition_json_adaptor.h"
#include "controller/edition_v22_adaptor.h"
#include "tests/controller/call_log.h"

using namespace halvex::controller;

// What the tests look at, whichever edition records.
class Recorder {
public:
    // Mutable: the const health check of the JSON interface records too.
    mutable CallLog log;
    mutable AdaptorScript script;
    std::map<std::string, std::vector<float>> lastWave;

    // Every wave handed to the adaptor, by operation, from any thread.
    std::vector<std::vector<float>> wavesOf(const std::string& name) const {
        std::lock_guard<std::mutex> guard(wavesLock_);
        auto found = waves_.find(name);
        return found == waves_.end() ? std::vector<std::vector<float>>{} : found->second;
    }

protected:
    void record(const std::string& call) const {
        log.add(call);
        script.maybeThrow(call.substr(0, call.find('(')));
    }
    void wave(const std::string& name, std::vector<float>& samples, std::size_t group) {
        {
            std::lock_guard<std::mutex> guard(wavesLock_);
            waves_[name].push_back(samples);
        }
        lastWave[name] = samples;
        record(callText(name, samples.size()));
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / group * group));
    }

private:
    mutable std::mutex wavesLock_;
    std::map<std::string, std::vector<std::vector<float>>> waves_;
};

// The operations both editions share.
template <class Interface>
class RecordingAdaptor : public Interface, public Recorder {
public:
    bool initialize(const std::string& serialId, const std::string& ipAddress, const std::string& rangeStart,
                    const std::string& rangeEnd, bool retryForever) override {
        record(callText("initialize", serialId, ipAddress, rangeStart, rangeEnd, retryForever));
        if (auto hook = std::exchange(script.duringInitialize, nullptr))
            hook();
        return script.initializeResult;
    }
    void setVerbose() override { record(callText("setVerbose")); }
    void interrupt() override { record(callText("interrupt")); }
    void sendHeartRate(int v) override { record(callText("sendHeartRate", v)); }
    void sendRespirationRate(int v) override { record(callText("sendRespirationRate", v)); }
    void sendBloodPressure(int s, int d, int m) override { record(callText("sendBloodPressure", s, d, m)); }
    void clearBloodPressure() override { record(callText("clearBloodPressure")); }
    void sendSpO2(int v) override { record(callText("sendSpO2", v)); }
    void sendTemperature1(float v) override { record(callText("sendTemperature1", v)); }
    void sendTemperature2(float v) override { record(callText("sendTemperature2", v)); }
    void clearTemperature1() override { record(callText("clearTemperature1")); }
    void clearTemperature2() override { record(callText("clearTemperature2")); }
    void clearCo2() override { record(callText("clearCo2")); }
    void sendAbpWave(std::vector<float>& s) override { wave("sendAbpWave", s, 5); }
    void sendCvpWave(std::vector<float>& s) override { wave("sendCvpWave", s, 10); }
    void sendPapWave(std::vector<float>& s) override { wave("sendPapWave", s, 5); }
    void sendPlethWave(std::vector<float>& s) override { wave("sendPlethWave", s, 5); }
};

class RecordingJsonAdaptor : public RecordingAdaptor<JsonUnitAdaptor> {
public:
    bool isConnected() const override {
        record(callText("isConnected"));
        return script.nextHealth();
    }
    void sendCalSelect() override { record(callText("sendCalSelect")); }
    void setStreamingEnabled(bool enabled) override { record(callText("setStreamingEnabled", enabled)); }
    void sendCommand(const std::string& name, int value) override { record(callText("sendCommand", name, value)); }
    void sendCommand(const std::string& name, const std::string& value) override {
        record(callText("sendCommand", name, value));
    }
    void sendSpO2Ratio(int v) override { record(callText("sendSpO2Ratio", v)); }
    void sendCo2FlowFactor(int v) override { record(callText("sendCo2FlowFactor", v)); }
    void sendMessage(const std::string& json) override { record(callText("sendMessage", json)); }
    std::string sendRequestStoredCalibrationNamesSpO2() override {
        record(callText("sendRequestStoredCalibrationNamesSpO2"));
        return {};
    }
    std::string sendRequestStoredCalibrationNamesCO2() override {
        record(callText("sendRequestStoredCalibrationNamesCO2"));
        return {};
    }
    void printJson(const std::string& json) override { record(callText("printJson", json)); }
    void uploadCalibration(CalibrationType type, const CalibrationPoints& points) override {
        std::string table;
        for (const auto& [counter, point] : points)
            table += (table.empty() ? "" : " ") + std::to_string(counter) + ">" + std::to_string(point);
        record(callText("uploadCalibration", type == CalibrationType::SpO2 ? "SpO2" : "CO2", table));
    }
    bool sendWifiCredentials(const std::string& ssid, const std::string& password) override {
        record(callText("sendWifiCredentials", ssid, password));
        return script.wifiResult;
    }
};

class RecordingV22Adaptor : public RecordingAdaptor<V22UnitAdaptor> {
public:
    bool checkAssociation() override {
        record(callText("checkAssociation"));
        return script.nextHealth();
    }
    void associate() override { record(callText("associate")); }
    void disable() override { record(callText("disable")); }
    void beginBatch() override { record(callText("beginBatch")); }
    void flushBatch() override { record(callText("flushBatch")); }
    void sendSpO2Probe(bool attached) override { record(callText("sendSpO2Probe", attached)); }
    void sendSpO2Scale(int v) override { record(callText("sendSpO2Scale", v)); }
    void sendCo2Wave(std::vector<float>& s) override { wave("sendCo2Wave", s, 10); }
    void enterConfigMode() override { record(callText("enterConfigMode")); }
    bool resetWifiToFactory() override {
        record(callText("resetWifiToFactory"));
        return script.wifiResult;
    }
    bool configureWifi(const std::string& ssid, const std::string& password) override {
        record(callText("configureWifi", ssid, password));
        return script.wifiResult;
    }
};
