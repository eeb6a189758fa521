#include "adaptor_json/exchanges.h"

#include "adaptor_json/frame_reader.h"
#include "adaptor_json/answer_reading.h"
#include "adaptor_json/wire_texts.h"
#include "platform/line_sink.h"

#include <stdexcept>

namespace halvex::adaptor_json {

namespace {

// Accepts an answer, or sets the line that reports why it was skipped.
using Acceptance = std::function<bool(const std::string& body, std::string& rejection)>;

std::string exchange(const AnswerPort& port, const std::string& request, const Acceptance& accept) {
    std::string body = checkResponseLength(port.sendAndReceive(request));
    for (int skipped = 0;; ++skipped) {
        std::string rejection;
        if (accept(body, rejection)) {
            return body;
        }
        platform::printOut(rejection + "\n" + body + "\nre-reading incoming messages");
        if (skipped == kMaxSkippedAnswers)
            throw std::runtime_error("no expected answer from the Halvex unit among " +
                                     std::to_string(kMaxSkippedAnswers + 1) + " answers");
        body = checkResponseLength(port.receive());
    }
}

Acceptance calList(const std::string& wanted, const std::string& operation, const std::string& other) {
    return [=](const std::string& body, std::string& rejection) {
        if (getJsonValue(body, "MessageType") != "CalList") {
            rejection = operation + " Re-request: something other than cal message received; something else..";
            return false;
        }
        if (getJsonValue(body, "Message.calType") != wanted) {
            rejection = operation + " Re-request: " + other + " cal result received by mistake...";
            return false;
        }
        return true;
    };
}

}  // namespace

std::string requestNetworkStatus(const AnswerPort& port) {
    return exchange(port, kStatusRequest, [](const std::string& body, std::string& rejection) {
        const std::string type = getJsonValue(body, "MessageType");
        if (type == "NetworkStatusData") {
            return true;
        }
        rejection = "sendRequestNetworkStatus Re-request: Received " + type + ", looking for NetworkStatusData..";
        return false;
    });
}

std::string requestCalListSpO2(const AnswerPort& port) {
    return exchange(port, kCalListRequestSpO2, calList("SpO2", "sendRequestStoredCalibrationNamesSpO2", "CO2"));
}

std::string requestCalListCO2(const AnswerPort& port) {
    return exchange(port, kCalListRequestCO2, calList("CO2", "sendRequestStoredCalibrationNamesCO2", "SpO2"));
}

bool reportWifiJoined(const std::string& networkStatus) {
    const std::string name = getJsonValue(networkStatus, "Message.ssid");
    const std::string address = getJsonValue(networkStatus, "Message.ipAddress");
    const std::string joined = getJsonValue(networkStatus, "Message.wifiConnected");
    const std::string status = getJsonValue(networkStatus, "Message.wifiStatus");
    if (status == "Success" && joined == "true") {
        platform::printOut("Successful connection!\nssid: " + name + "\nipAddress: " + address +
                           "\nwifiConnected: " + joined + "\nwifiStatus: " + status);
        return true;
    }
    return false;
}

}  // namespace halvex::adaptor_json
