#pragma once

// The request/answer exchanges with the unit: a request goes out, and answers are
// read until one of the expected kind arrives (answers of another kind are printed
// and skipped). They run on the calling thread; one thread exchanges at a time.

#include <functional>
#include <string>

namespace halvex::adaptor_json {

// Answers of another kind an exchange skips before it gives up: a unit that keeps
// answering something else cannot hold the caller (and the controller's lock) for ever.
constexpr int kMaxSkippedAnswers = 16;

// How an exchange reaches the unit: send a request and read the response frame it
// brings, and read one more response frame. Responses are length field + JSON text;
// errors (socket, time limit, bad frame) are raised and pass to the exchange's caller.
struct AnswerPort {
    std::function<std::string(const std::string& request)> sendAndReceive;
    std::function<std::string()> receive;
};

// Each request waits at most the link's answer limit for every answer it reads and
// skips at most kMaxSkippedAnswers; past either it raises std::runtime_error.

// The NetworkStatusData answer to a StatusRequest (its JSON text).
std::string requestNetworkStatus(const AnswerPort& port);
// The CalList answer for SpO2 / CO2 to a CalListRequest.
std::string requestCalListSpO2(const AnswerPort& port);
std::string requestCalListCO2(const AnswerPort& port);

// Reads a NetworkStatusData text: true, after printing "Successful connection!" and
// the four members, when the unit reports wifiStatus "Success" and wifiConnected true.
bool reportWifiJoined(const std::string& networkStatus);

}  // namespace halvex::adaptor_json
