#pragma once

// The unit adaptor of the JSON edition: one TCP connection to the unit (port 14997),
// the two streamed messages VitalsData and WaveformData, and the one-off exchanges
// (calibration lists, status, WiFi credentials).
//
// Threads that use an adaptor:
//   - callers (the controller's simulator callback threads, its calibration thread, the
//     main thread): value updates only touch the pending messages under dataLock;
//     one-off messages are written directly; exchanges read answers on the caller's
//     thread (one exchanging thread at a time).
//   - the streaming thread, started by the first successful initialize(): every 60 ms
//     it sends each pending message that changed. It is stopped and joined by the
//     destructor.
// Lock order: dataLock before writeLock; nothing takes dataLock while holding writeLock.

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "controller/unit_adaptor.h"

// Raised when the adaptor reaches a state it must never reach. The report is built
// and written to standard error when the exception is constructed.
class AssertionFailureException : public std::exception {
public:
    AssertionFailureException(const std::string& condition, const std::string& file, int line,
                              const std::string& message);
    const char* what() const noexcept override { return report_.c_str(); }

    const std::string& condition() const { return condition_; }
    const std::string& file() const { return file_; }
    int line() const { return line_; }
    const std::string& message() const { return message_; }
    const std::string& report() const { return report_; }

private:
    std::string condition_;
    std::string file_;
    int line_;
    std::string message_;
    std::string report_;
};

class HalvexAdaptor : public JsonUnitAdaptor {
public:
    static constexpr unsigned short kUnitPort = 14997;
    static constexpr int kConnectCycles = 10;
    static constexpr int kAttemptsPerCycle = 10;
    static constexpr int kCyclePauseMs = 100;
    static constexpr int kSlotMs = 60;
    static constexpr int kIdlePauseMs = 50;
    static constexpr int kWifiSettleMs = 7000;
    static constexpr const char* kLastAddressFile = "_lastconnectedIPAddress.txt";

    HalvexAdaptor();
    ~HalvexAdaptor() override;
    HalvexAdaptor(const HalvexAdaptor&) = delete;
    HalvexAdaptor& operator=(const HalvexAdaptor&) = delete;

    // Connection procedure: up to 10 cycles of 10 attempts (for ever when retryForever),
    // to ipAddress:14997. The serial id is unused by this edition; the range texts only
    // select which check rejects an empty address. Raises AssertionFailureException for
    // an empty address and boost::system::system_error for a text that is no address.
    bool initialize(const std::string& serialId, const std::string& ipAddress, const std::string& rangeStart,
                    const std::string& rangeEnd, bool retryForever);
    // One address, up to `attempts` connection attempts; remembers the address on success.
    bool connectIP(const std::string& ipAddress, int attempts);
    // One attempt; raises boost::system::system_error on failure.
    void openConnection();

    void setVerbose();
    bool isConnected() const;
    void setStreamingEnabled(bool enabled);

    // Value updates (dropped without a message while not connected).
    void sendCommand(const std::string& name, int value);
    void sendCommand(const std::string& name, float value);
    void sendCommand(const std::string& name, const std::string& value);
    void sendHeartRate(int value);
    void sendRespirationRate(int value);
    void sendBloodPressure(int systolic, int diastolic, int mean);
    void clearBloodPressure();
    void sendSpO2(int value);
    void sendSpO2Ratio(int value);
    void sendCo2FlowFactor(int value);
    void sendTemperature1(float value);
    void sendTemperature2(float value);
    void clearTemperature1();
    void clearTemperature2();
    void clearCo2();
    // Consume whole groups of samples from the front; an incomplete group stays.
    void sendAbpWave(std::vector<float>& samples);
    void sendCvpWave(std::vector<float>& samples);
    void sendPapWave(std::vector<float>& samples);
    void sendPlethWave(std::vector<float>& samples);

    // What the streaming thread's next pass would send: the message text, or empty text
    // when that message has nothing pending.
    std::string pendingVitalsMessage() const;
    std::string pendingWaveformMessage() const;

    // Framing and the wire. Write errors are printed and clear the connection; read
    // errors are printed and raised to the caller.
    void writeToWire(const std::string& frame);
    void sendMessage(const std::string& json);
    std::string sendAndReceive(const std::string& json);
    std::string receiveHXResponse();
    std::string checkResponseLength(const std::string& response);

    // One-off messages and exchanges.
    void sendCalSelect();
    std::string sendRequestStoredCalibrationNamesSpO2();
    std::string sendRequestStoredCalibrationNamesCO2();
    std::string sendRequestNetworkStatus();
    bool sendWifiCredentials(const std::string& ssid, const std::string& password);
    std::string getJsonValue(const std::string& json, const std::string& path);
    void printJson(const std::string& json);

    // The process-wide address of the last unit reached, kept in kLastAddressFile in
    // the current directory.
    static std::string lastConnectedAddress();
    static void setLastConnectedAddress(const std::string& address);
    static void loadLastConnectedAddress();
    static void saveLastConnectedAddress();

private:
    struct Impl;

    void updateVitals(const std::string& key, const std::string& text);
    void updateWaveform(const std::string& key, const std::string& text);
    void storeCommand(const std::string& name, const std::string& vitalsText, const std::string& waveformText);
    std::string exchange(const std::string& request, const std::string& name,
                         bool (HalvexAdaptor::*accept)(const std::string& body, std::string& rejection));
    bool acceptNetworkStatus(const std::string& body, std::string& rejection);
    bool acceptCalListSpO2(const std::string& body, std::string& rejection);
    bool acceptCalListCO2(const std::string& body, std::string& rejection);
    void sendVitalWaveDataThread();
    bool waitForStop(int milliseconds);

    std::atomic<bool> connected{false};
    bool streamingStarted = false;
    std::atomic<bool> streamingEnabled{false};
    std::atomic<bool> verbose{false};
    std::unique_ptr<Impl> impl;

    // Stops the streaming thread: set under stopLock, announced on stopSignal.
    std::mutex stopLock;
    std::condition_variable stopSignal;
    bool stopRequested = false;
    std::thread streamingThread;
};
