#pragma once

#include <string>
#include <vector>

namespace halvex::controller {

// The unit adaptor interface: the only way the controller and the WiFi set-up mode
// reach a Halvex unit. `UnitAdaptor` holds what both generations of the unit do;
// each edition's interface adds its own operations beside that edition
// (edition_json_adaptor.h, edition_v22_adaptor.h), and each program links the one
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

}  // namespace halvex::controller
