#include "adaptor_json/frame_reader.h"

#include "platform/line_sink.h"
#include <sstream>
#include <stdexcept>

namespace halvex::adaptor_json {

std::string buildFrame(const std::string& json) {
    std::string length = std::to_string(json.size());
    if (length.size() < kMinLengthDigits) {
        length.insert(0, kMinLengthDigits - length.size(), '0');
    }
    std::string frame;
    frame.reserve(json.size() + length.size() + 2);
    frame += kFrameStart;
    frame += length;
    frame += json;
    frame += kFrameEnd;
    return frame;
}

void FrameReader::feed(const char* data, std::size_t size) {
    buffer_.append(data, size);
    if (buffer_.size() >= kMaxBufferedBytes && buffer_.find(kFrameEnd) == std::string::npos) {
        buffer_.clear();
        throw std::length_error("no frame end within " + std::to_string(kMaxBufferedBytes) + " bytes");
    }
}

bool FrameReader::next(std::string& response) {
    const std::size_t end = buffer_.find(kFrameEnd);
    if (end == std::string::npos) {
        return false;
    }
    const std::size_t start = buffer_.rfind(kFrameStart, end);
    if (start == std::string::npos) {
        buffer_.erase(0, end + 1);
        throw std::out_of_range("response frame without a frame start");
    }
    response.assign(buffer_, start + 1, end - start - 1);
    buffer_.erase(0, end + 1);
    return true;
}

std::string checkResponseLength(const std::string& response) {
    if (response.size() < kMinLengthDigits) {
        throw std::out_of_range("response of " + std::to_string(response.size()) +
                                " characters has no length field");
    }
    std::size_t fieldSize = kMinLengthDigits;
    bool allDigits = true;
    for (std::size_t i = 0; i < kMinLengthDigits; ++i) {
        allDigits = allDigits && response[i] >= '0' && response[i] <= '9';
    }
    if (allDigits) {
        while (fieldSize < response.size() && response[fieldSize] >= '0' && response[fieldSize] <= '9') {
            ++fieldSize;
        }
    }
    std::string field = response.substr(0, fieldSize);
    field.erase(0, field.find_first_not_of('0') == std::string::npos ? field.size()
                                                                       : field.find_first_not_of('0'));
    const int expected = std::stoi(field);  // invalid_argument / out_of_range
    std::string json = response.substr(fieldSize);
    if (static_cast<long long>(expected) != static_cast<long long>(json.size())) {
        std::ostringstream line;
        line << "Warning: Some stuff didn't get transmitted correctly. Expected length: " << expected
             << " actual length: " << json.size();
        halvex::platform::printOut(line.str());
        throw std::runtime_error("expectedResponseLength does not match actual message length");
    }
    return json;
}

}  // namespace halvex::adaptor_json
