#include "adaptor_json/halvex_adaptor.h"

#include <cstdio>
#include <stdexcept>

#include <boost/asio/ip/address.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/system/system_error.hpp>

#include "adaptor_json/answer_reading.h"
#include "adaptor_json/frame_reader.h"
#include "adaptor_json/value_texts.h"
#include "adaptor_json/wire_texts.h"
#include "platform/line_sink.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace halvex::adaptor_json {

namespace {

std::string errorCodeText(const boost::system::error_code& code) {
    return std::string(code.category().name()) + ":" + std::to_string(code.value());
}

}  // namespace

HalvexAdaptor::HalvexAdaptor(std::shared_ptr<LastAddressStore> lastAddress, LinkLimits limits)
    : lastAddress_(std::move(lastAddress)),
      endpoint_(asio::ip::address_v4::any(), 0),
      link_(limits),
      streamer_(
          messages_, pauses_, [this] { return link_.isUp() && streamingEnabled_; },
          [this](const std::string& json) { sendMessage(json); }) {
    if (!lastAddress_) {
        throw std::invalid_argument("HalvexAdaptor needs a last-connected-address store");
    }
}

HalvexAdaptor::~HalvexAdaptor() {
    stopping_ = true;
    link_.shutdown();  // a write in progress returns at once
    streamer_.stop();
}

bool HalvexAdaptor::initialize(const std::string& /*serialId*/, const std::string& ipAddress,
                               const std::string& rangeStart, const std::string& rangeEnd, bool retryForever) {
    platform::printOut("HX>Initialization of the Halvex adapter...");
    if (lastAddress_->address().empty()) {
        lastAddress_->load();
    }
    link_.markDown();
    int cycles = kConnectCycles;
    while (cycles > 0 && !stopping_) {
        if (!retryForever) {
            --cycles;
        }
        if (ipAddress.empty()) {
            if (!rangeStart.empty() && !rangeEnd.empty()) {
                HALVEX_UNREACHABLE("We've got a problem, you reached here.");
            }
            HALVEX_UNREACHABLE("We've got a problem, you reached here.");
        }
        platform::printOut("Fixed IP configured: " + ipAddress);
        if (connectIP(ipAddress, kAttemptsPerCycle)) {
            break;
        }
        if (pauses_.sleepFor(kCyclePause) || link_.isUp()) {
            break;
        }
    }
    const bool connected = link_.isUp();
    if (connected) {
        streamer_.start();  // once per adaptor; a reconnection reuses it
    }
    return connected;
}

bool HalvexAdaptor::connectIP(const std::string& ipAddress, int attempts) {
    const asio::ip::address address = asio::ip::make_address(ipAddress);  // throws system_error
    endpoint_ = tcp::endpoint(address, kUnitPort);
    for (int attempt = 0; attempt < attempts && !stopping_; ++attempt) {
        try {
            openConnection();
            break;
        } catch (const boost::system::system_error& error) {
            if (stopping_) {
                break;
            }
            platform::printOut("HalvexAdaptor::connectIP: Error occured! Error code = " +
                               errorCodeText(error.code()) + ". Message: " + error.what());
        }
    }
    if (link_.isUp()) {
        lastAddress_->save(ipAddress);
        return true;
    }
    if (stopping_) {
        return false;
    }
    platform::printOut("HX>Failed to find or could not connect to Halvex on IP " + ipAddress);
    return false;
}

void HalvexAdaptor::openConnection() {
    platform::printOut("Connecting to " + endpoint_.address().to_string() + ":" + std::to_string(endpoint_.port()) +
                       "...");
    link_.connect(endpoint_);
    platform::printOut("Connected.");
}

void HalvexAdaptor::setVerbose() { verbose_ = true; }

void HalvexAdaptor::interrupt() {
    stopping_ = true;
    link_.shutdown();
    pauses_.interrupt();
}

bool HalvexAdaptor::isConnected() const { return link_.isUp(); }

void HalvexAdaptor::setStreamingEnabled(bool enabled) { streamingEnabled_ = enabled; }

void HalvexAdaptor::writeToWire(const std::string& frame) {
    const boost::system::error_code code = link_.write(frame);
    if (code && !stopping_) {
        platform::printOut("HalvexAdaptor::writeToWire: Error occured! Error code = " + errorCodeText(code) +
                           ". Message: " + boost::system::system_error(code, "write").what());
    }
}

void HalvexAdaptor::sendMessage(const std::string& json) {
    if (verbose_) {
        const boost::posix_time::time_duration now = boost::posix_time::microsec_clock::local_time().time_of_day();
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%02ld:%02ld:%02ld.%03ld", static_cast<long>(now.hours()),
                      static_cast<long>(now.minutes()), static_cast<long>(now.seconds()),
                      static_cast<long>(now.total_milliseconds() % 1000));
        platform::printOut(std::string(stamp) + ": [" + json + "]");
    }
    writeToWire(buildFrame(json));
}

std::string HalvexAdaptor::sendAndReceive(const std::string& json) {
    writeToWire(buildFrame(json));
    return receiveHXResponse();
}

std::string HalvexAdaptor::receiveHXResponse() {
    try {
        return link_.readFrame();
    } catch (const std::exception& error) {
        platform::printOut(std::string("ERROR: Exception thrown within receiveHXResponse!\n") + error.what());
        throw;
    }
}

std::string HalvexAdaptor::checkResponseLength(const std::string& response) {
    return adaptor_json::checkResponseLength(response);
}

void HalvexAdaptor::storeCommand(const std::string& name, const std::string& vitalsText,
                                 const std::string& waveformText) {
    if (!link_.isUp()) {
        return;
    }
    const PendingMessages::Stored stored = messages_.store(name, vitalsText, waveformText);
    if (!stored.known) {
        platform::printOut("iCommandName: [" + name + "] is not in the map!");
    } else if (!stored.warning.empty()) {
        platform::printOut(stored.warning);
    }
}

void HalvexAdaptor::sendCommand(const std::string& name, int value) {
    const std::string text = integerText(value);
    storeCommand(name, text, text);
}

void HalvexAdaptor::sendCommand(const std::string& name, float value) {
    storeCommand(name, floatText(value, 9), floatText(value, 6));
}

void HalvexAdaptor::sendCommand(const std::string& name, const std::string& value) { storeCommand(name, value, value); }

void HalvexAdaptor::sendHeartRate(int value) { sendCommand("HR", clamped(value, unit_values::kHeartRateBounds)); }

void HalvexAdaptor::sendRespirationRate(int value) {
    sendCommand("RR", clamped(value, unit_values::kRespirationRateBounds));
}

void HalvexAdaptor::sendBloodPressure(int systolic, int diastolic, int mean) {
    sendCommand("SBP", clamped(systolic, unit_values::kBloodPressureBounds));
    sendCommand("DBP", clamped(diastolic, unit_values::kBloodPressureBounds));
    sendCommand("MBP", clamped(mean, unit_values::kBloodPressureBounds));
}

void HalvexAdaptor::clearBloodPressure() {
    sendCommand("SBP", 0);
    sendCommand("MBP", 0);
    sendCommand("DBP", 0);
}

void HalvexAdaptor::sendSpO2(int value) { sendCommand("SPO2", clamped(value, kSpO2Bounds)); }

void HalvexAdaptor::sendSpO2Ratio(int value) { sendCommand("spO2Ratio", clamped(value, kSpO2RatioBounds)); }

void HalvexAdaptor::sendCo2FlowFactor(int value) {
    sendCommand("co2FlowFactor", clamped(value, kCo2FlowFactorBounds));
}

void HalvexAdaptor::sendTemperature1(float value) { sendCommand("T1", temperatureText(value)); }

void HalvexAdaptor::sendTemperature2(float value) { sendCommand("T2", temperatureText(value)); }

void HalvexAdaptor::clearTemperature1() { sendCommand("T1", 0.0f); }

void HalvexAdaptor::clearTemperature2() { sendCommand("T2", 0.0f); }

void HalvexAdaptor::clearCo2() { sendCommand("CO2", 0); }

namespace {
template <typename Send>
void sendWave(const std::string& text, Send send) {
    if (!text.empty()) {
        send(text);
    }
}
}  // namespace

void HalvexAdaptor::sendPlethWave(std::vector<float>& samples) {
    sendWave(resamplePleth(samples), [this](const std::string& t) { sendCommand("PLETH", t); });
}

void HalvexAdaptor::sendAbpWave(std::vector<float>& samples) {
    sendWave(resampleAbp(samples), [this](const std::string& t) { sendCommand("ABP", t); });
}

void HalvexAdaptor::sendPapWave(std::vector<float>& samples) {
    sendWave(resamplePap(samples), [this](const std::string& t) { sendCommand("PAP", t); });
}

void HalvexAdaptor::sendCvpWave(std::vector<float>& samples) {
    sendWave(resampleCvp(samples), [this](const std::string& t) { sendCommand("CVP", t); });
}

std::string HalvexAdaptor::pendingVitalsMessage() const { return messages_.vitalsText(); }

std::string HalvexAdaptor::pendingWaveformMessage() const { return messages_.waveformText(); }

// ---- One-off messages and exchanges ----

AnswerPort HalvexAdaptor::answerPort() {
    return {[this](const std::string& request) { return sendAndReceive(request); },
            [this] { return receiveHXResponse(); }};
}

void HalvexAdaptor::sendCalSelect() { sendMessage(kCalSelect); }

std::string HalvexAdaptor::getJsonValue(const std::string& json, const std::string& path) {
    return adaptor_json::getJsonValue(json, path);
}

void HalvexAdaptor::printJson(const std::string& json) { platform::printOut(indentedJson(json)); }

std::string HalvexAdaptor::sendRequestStoredCalibrationNamesSpO2() { return requestCalListSpO2(answerPort()); }

std::string HalvexAdaptor::sendRequestStoredCalibrationNamesCO2() { return requestCalListCO2(answerPort()); }

std::string HalvexAdaptor::sendRequestNetworkStatus() { return requestNetworkStatus(answerPort()); }

bool HalvexAdaptor::sendWifiCredentials(const std::string& ssid, const std::string& password) {
    sendMessage(wifiCredentialsText(ssid, password));
    pauses_.sleepFor(kWifiSettle);
    return reportWifiJoined(sendRequestNetworkStatus());
}

// Lists what the unit holds, removes the bridge's previous calibration of the type,
// sends the new one and lists again. The lists are only printed; a request that gets
// no fitting answer raises, and the upload ends there.
void HalvexAdaptor::uploadCalibration(CalibrationType type, const CalibrationPoints& points) {
    const bool spo2 = type == CalibrationType::SpO2;
    auto list = [&] {
        printJson(spo2 ? sendRequestStoredCalibrationNamesSpO2() : sendRequestStoredCalibrationNamesCO2());
    };
    platform::printOut(spo2 ? "Removing previous calibration:" : "Removing previous calibration");
    list();
    sendMessage(spo2 ? kCalRemoveSpO2 : kCalRemoveCO2);
    pauses_.sleepFor(calibrationReplacePause_);
    platform::printOut("New calibration list:");
    list();
    sendMessage(calDataText(spo2 ? "SpO2" : "CO2", points));
    platform::printOut(spo2 ? "After SpO2:" : "After CO2:");
    list();
}

}  // namespace halvex::adaptor_json
