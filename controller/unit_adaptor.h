#pragma once

#include <map>
#include <string>
#include <vector>

// The unit adaptor interfaces: the only way the controller and the WiFi set-up mode
// reach a Halvex unit. `UnitAdaptor` holds what both generations of the unit do;
// each edition's interface adds its own operations, and each program links the one
// adaptor that implements its edition's interface.
//
// What every caller relies on:
//   - the send and clear operations never report failure: a value that cannot go out
//     (unit not connected, or not enabled) is dropped without a message;
//   - the wave operations consume whole groups of samples (5, or 10 for CVP and CO2)
//     from the front of the sequence and leave an incomplete group in it;
//   - two operations never overlap: the controller calls under its lock (see
//     simulator_sample.h), the WiFi mode from its one thread. interrupt() alone may
//     be called from any thread at any time.
class UnitAdaptor {
public:
    virtual ~UnitAdaptor() = default;

    // Finds and reaches the unit. With retryForever it returns only once the unit has
    // been reached (or by an exception); without, it gives up after a bounded number
    // of attempts and returns false.
    virtual bool initialize(const std::string& serialId, const std::string& ipAddress,
                            const std::string& rangeStart, const std::string& rangeEnd, bool retryForever) = 0;
    // Trace every message sent to the unit.
    virtual void setVerbose() = 0;
    // The bridge is stopping: a running initialize (retry-for-ever included) gives up
    // within about a second and returns false, and later ones fail at once, without
    // their failure lines. Releasing the unit (disable, the destructor) still works.
    virtual void interrupt() = 0;

    virtual void sendHeartRate(int value) = 0;
    virtual void sendRespirationRate(int value) = 0;
    virtual void sendBloodPressure(int systolic, int diastolic, int mean) = 0;
    virtual void clearBloodPressure() = 0;
    virtual void sendSpO2(int value) = 0;
    virtual void sendTemperature1(float value) = 0;
    virtual void sendTemperature2(float value) = 0;
    virtual void clearTemperature1() = 0;
    virtual void clearTemperature2() = 0;
    virtual void clearCo2() = 0;
    virtual void sendAbpWave(std::vector<float>& samples) = 0;
    virtual void sendCvpWave(std::vector<float>& samples) = 0;
    virtual void sendPapWave(std::vector<float>& samples) = 0;
    virtual void sendPlethWave(std::vector<float>& samples) = 0;
};

// The unit of halvex-relay-json: one TCP connection; values go into two pending
// messages that a streaming thread sends on its own schedule.
class JsonUnitAdaptor : public UnitAdaptor {
public:
    // The calibrations the unit stores, by type.
    enum class CalibrationType { SpO2, CO2 };
    // A calibration table: the counter the unit was driven with -> the monitor's
    // reading saved for it, in ascending counter order.
    using CalibrationPoints = std::map<int, int>;

    // The supervision loop's view of the unit's health.
    virtual bool isConnected() const = 0;
    virtual void setStreamingEnabled(bool enabled) = 0;
    // Selects the unit's default calibration while nothing drives it.
    virtual void sendCalSelect() = 0;
    // A named value of the pending messages: "etCO2" with a number, the zero states
    // ("abpZeroState", ...) with a text.
    virtual void sendCommand(const std::string& name, int value) = 0;
    virtual void sendCommand(const std::string& name, const std::string& value) = 0;
    virtual void sendSpO2Ratio(int value) = 0;
    virtual void sendCo2FlowFactor(int value) = 0;
    // The calibration upload: a framed JSON text, the stored calibration lists, and a
    // readable print of a JSON text.
    virtual void sendMessage(const std::string& json) = 0;
    virtual std::string sendRequestStoredCalibrationNamesSpO2() = 0;
    virtual std::string sendRequestStoredCalibrationNamesCO2() = 0;
    virtual void printJson(const std::string& json) = 0;
    // Replaces the unit's stored calibration of one type by `points`: lists what it
    // holds, removes the bridge's previous calibration, sends the new one and lists
    // again. An unanswered request or a bad answer raises an exception.
    virtual void uploadCalibration(CalibrationType type, const CalibrationPoints& points) = 0;
    // WiFi set-up: true when the unit reports that it joined the network.
    virtual bool sendWifiCredentials(const std::string& ssid, const std::string& password) = 0;
};

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
