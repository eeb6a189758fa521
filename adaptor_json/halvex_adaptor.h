#pragma once

// The unit adaptor of the JSON edition: one TCP connection to the unit (port 14997),
// the two streamed messages VitalsData and WaveformData, and the one-off exchanges
// (calibration lists, status, WiFi credentials). It composes:
//   UnitLink         connect, frame write and read, each within a time limit
//   PendingMessages  the two pending messages, under dataLock (no I/O)
//   Streamer         the streaming thread
//   exchanges        request/answer loops on the caller's thread
//   InterruptibleSleep  every pause of the adaptor and the streamer, ended by interrupt()
//
// Threads:
//
//   controller threads, main      value updates ----> PendingMessages (dataLock,
//   (calls are not concurrent,                        held only for the update)
//    see UnitAdaptor)             sendMessage, exchanges --+
//                                                          |  write / readFrame:
//   streaming thread (Streamer)   take() under dataLock,   +-> UnitLink: posted to its
//                                 lock released, then -----+   I/O thread, waited for
//                                 the writes                   at most the limit
//   link I/O thread (UnitLink)    the socket, nothing else
//
// Lock order: no lock of the adaptor is held while another is taken, and none is
// held across a socket operation: dataLock (PendingMessages) covers one update or one
// snapshot; the link's lock only its bookkeeping; the line sink's lock is innermost
// and is never taken under dataLock. isConnected() reads an atomic.
//
// A write that does not end within LinkLimits::write (kWriteTimeout) ends the
// connection as a reset does: the writeToWire error line, isConnected() false, and the
// controller's supervision reconnects through initialize(). The destructor shuts the
// socket down first, so a blocked write or read returns, then interrupts the pauses
// and joins the streaming thread and the link's I/O thread.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "adaptor_json/assertion_failure.h"
#include "controller/last_address_store.h"
#include "controller/edition_json_adaptor.h"
#include "adaptor_json/exchanges.h"
#include "adaptor_json/interruptible_sleep.h"
#include "adaptor_json/pending_messages.h"
#include "adaptor_json/streamer.h"
#include "adaptor_json/unit_link.h"

namespace halvex::adaptor_json {

using controller::LastAddressStore;

class HalvexAdaptor : public controller::JsonUnitAdaptor {
public:
    static constexpr int kConnectCycles = 10;
    static constexpr int kAttemptsPerCycle = 10;
    static constexpr std::chrono::milliseconds kCyclePause{100};
    // The unit needs this long to join a network before its status means anything.
    static constexpr std::chrono::milliseconds kWifiSettle{7000};
    // The pause between removing the unit's stored calibration and sending the new one.
    static constexpr std::chrono::milliseconds kCalibrationReplacePause{2000};

    // `lastAddress` remembers the address of the unit reached (one store per process,
    // shared by every adaptor); must not be null. `limits` are the link's time limits.
    explicit HalvexAdaptor(std::shared_ptr<LastAddressStore> lastAddress, LinkLimits limits = {});
    ~HalvexAdaptor() override;
    HalvexAdaptor(const HalvexAdaptor&) = delete;
    HalvexAdaptor& operator=(const HalvexAdaptor&) = delete;

    // Connection procedure: up to 10 cycles of 10 attempts (for ever when retryForever),
    // to ipAddress:14997. The serial id is unused by this edition; the range texts only
    // select which check rejects an empty address. Raises AssertionFailureException for
    // an empty address and boost::system::system_error for a text that is no address.
    bool initialize(const std::string& serialId, const std::string& ipAddress, const std::string& rangeStart,
                    const std::string& rangeEnd, bool retryForever) override;
    // One address, up to `attempts` connection attempts; remembers the address on success.
    bool connectIP(const std::string& ipAddress, int attempts);
    // One attempt; raises boost::system::system_error on failure.
    void openConnection();

    void setVerbose() override;
    // Closes the connection and ends every wait of the adaptor (connection attempts,
    // their pauses, answers); the adaptor stays usable only for its destruction.
    void interrupt() override;
    bool isConnected() const override;
    void setStreamingEnabled(bool enabled) override;

    // Value updates (dropped without a message while not connected).
    void sendCommand(const std::string& name, int value) override;
    void sendCommand(const std::string& name, float value);
    void sendCommand(const std::string& name, const std::string& value) override;
    void sendHeartRate(int value) override;
    void sendRespirationRate(int value) override;
    void sendBloodPressure(int systolic, int diastolic, int mean) override;
    void clearBloodPressure() override;
    void sendSpO2(int value) override;
    void sendSpO2Ratio(int value) override;
    void sendCo2FlowFactor(int value) override;
    void sendTemperature1(float value) override;
    void sendTemperature2(float value) override;
    void clearTemperature1() override;
    void clearTemperature2() override;
    void clearCo2() override;
    void sendAbpWave(std::vector<float>& samples) override;
    void sendCvpWave(std::vector<float>& samples) override;
    void sendPapWave(std::vector<float>& samples) override;
    void sendPlethWave(std::vector<float>& samples) override;

    // What the streaming thread's next pass would send: the message text, or empty text
    // when that message has nothing pending.
    std::string pendingVitalsMessage() const;
    std::string pendingWaveformMessage() const;

    // Framing and the wire. Write errors (time limit included) are printed and clear
    // the connection; read errors (time limit included) are printed and raised.
    void writeToWire(const std::string& frame);
    void sendMessage(const std::string& json) override;
    std::string sendAndReceive(const std::string& json);
    std::string receiveHXResponse();
    std::string checkResponseLength(const std::string& response);

    // One-off messages and exchanges.
    void sendCalSelect() override;
    std::string sendRequestStoredCalibrationNamesSpO2() override;
    std::string sendRequestStoredCalibrationNamesCO2() override;
    std::string sendRequestNetworkStatus();
    bool sendWifiCredentials(const std::string& ssid, const std::string& password) override;
    std::string getJsonValue(const std::string& json, const std::string& path);
    void printJson(const std::string& json) override;
    void uploadCalibration(CalibrationType type, const CalibrationPoints& points) override;
    // Tests shorten the pause of the calibration upload.
    void setCalibrationReplacePause(std::chrono::milliseconds pause) { calibrationReplacePause_ = pause; }

    const LastAddressStore& lastAddress() const { return *lastAddress_; }

private:
    void storeCommand(const std::string& name, const std::string& vitalsText, const std::string& waveformText);
    AnswerPort answerPort();

    const std::shared_ptr<LastAddressStore> lastAddress_;
    std::atomic<bool> streamingEnabled_{false};
    std::atomic<bool> verbose_{false};
    // interrupt() or the destructor ran: the errors of the connection it ends are not reported.
    std::atomic<bool> stopping_{false};
    boost::asio::ip::tcp::endpoint endpoint_;  // the caller's thread only (initialize)
    std::chrono::milliseconds calibrationReplacePause_ = kCalibrationReplacePause;
    PendingMessages messages_;
    InterruptibleSleep pauses_;
    // Declared after what they use and destroyed before it; the destructor stops both
    // explicitly, link first.
    UnitLink link_;
    Streamer streamer_;
};

}  // namespace halvex::adaptor_json
