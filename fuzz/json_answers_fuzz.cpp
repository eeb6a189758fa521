// The JSON unit's receive path: the frame reader, the length check of each answer,
// reading its members, and the exchanges that wait for an answer of one kind.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>

#include "adaptor_json/answer_reading.h"
#include "adaptor_json/exchanges.h"
#include "adaptor_json/frame_reader.h"
#include "fuzz/fuzz_support.h"

namespace {

using Answers = std::deque<std::string>;

// The answers, one per read, as the unit link hands them to an exchange.
halvex::adaptor_json::AnswerPort portOver(Answers& answers) {
    auto next = [&answers]() {
        if (answers.empty()) throw std::runtime_error("no more answers");
        std::string a = std::move(answers.front());
        answers.pop_front();
        return a;
    };
    return {[next](const std::string&) { return next(); }, next};
}

template <class F>
void tolerated(F&& f) {
    // The reader's and the parser's errors end an exchange, as they do in the bridge.
    try {
        f();
    } catch (const std::exception&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    halvex::fuzz::SilentConsole silent;
    const std::size_t chunk = data[0] != 0 ? data[0] : size;
    const char* bytes = reinterpret_cast<const char*>(data) + 1;
    const std::size_t length = size - 1;

    halvex::adaptor_json::FrameReader reader;
    Answers answers;
    const auto drain = [&] {
        std::string response;
        while (reader.next(response)) answers.push_back(response);
    };
    for (std::size_t at = 0; at < length; at += chunk) {
        tolerated([&] {
            reader.feed(bytes + at, std::min(chunk, length - at));
            drain();
        });
    }
    for (std::size_t tries = 0; tries < answers.size() + 2; ++tries) tolerated(drain);
    halvex::fuzz::require(reader.buffered() <= halvex::adaptor_json::kMaxBufferedBytes + chunk, "reader holds too much");

    for (const std::string& response : answers) {
        tolerated([&] {
            const std::string body = halvex::adaptor_json::checkResponseLength(response);
            halvex::adaptor_json::getJsonValue(body, "MessageType");
            halvex::adaptor_json::getJsonValue(body, "Message.calType");
            halvex::adaptor_json::reportWifiJoined(body);
            halvex::adaptor_json::indentedJson(body);
        });
    }
    Answers forStatus = answers, forCalList = answers;
    tolerated([&] { halvex::adaptor_json::requestNetworkStatus(portOver(forStatus)); });
    tolerated([&] { halvex::adaptor_json::requestCalListSpO2(portOver(forCalList)); });
    return 0;
}
