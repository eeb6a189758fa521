// The stand-in's own framing, independent of the bridge's adaptor on purpose (see
// frame.h).
#include "emulators/unit_json/frame.h"

#include <cctype>

namespace halvex::emulators::unit_json {

std::string encodeFrameWithLength(const std::string& json, std::size_t announced) {
    std::string digits = std::to_string(announced);
    if (digits.size() < kMinLengthDigits) {
        digits.insert(0, kMinLengthDigits - digits.size(), '0');
    }
    std::string out;
    out.reserve(json.size() + digits.size() + 2);
    out += kFrameStart;
    out += digits;
    out += json;
    out += kFrameEnd;
    return out;
}

std::string encodeFrame(const std::string& json) {
    return encodeFrameWithLength(json, json.size());
}

void FrameReader::feed(const char* data, std::size_t size) {
    input_.append(data, size);
}

namespace {

// Splits a closed frame's body into its length field and JSON text. The JSON
// text of every message is an object, so the digits end where '{' begins.
Frame splitBody(const std::string& body) {
    Frame f;
    std::size_t digits = 0;
    while (digits < body.size() && std::isdigit(static_cast<unsigned char>(body[digits]))) {
        ++digits;
    }
    f.json = body.substr(digits);
    // Twenty digits would overflow; no real length has them.
    if (digits >= kMinLengthDigits && digits < 20) {
        f.lengthFieldValid = true;
        f.announced = std::stoull(body.substr(0, digits));
    }
    return f;
}

} // namespace

std::optional<Frame> FrameReader::next() {
    while (scanned_ < input_.size()) {
        const char c = input_[scanned_++];
        if (!open_) {
            if (c == kFrameStart) {
                open_ = true;
                body_.clear();
            } else {
                ++counters_.strayBytes;
            }
            continue;
        }
        if (c == kFrameStart) {
            ++counters_.truncatedFrames;
            body_.clear();
            continue;
        }
        if (c == kFrameEnd) {
            open_ = false;
            Frame f = splitBody(body_);
            body_.clear();
            input_.erase(0, scanned_);
            scanned_ = 0;
            return f;
        }
        body_ += c;
        if (body_.size() + 1 >= kMaxFrameBytes) {
            ++counters_.oversizedFrames;
            open_ = false;
            body_.clear();
        }
    }
    input_.clear();
    scanned_ = 0;
    return std::nullopt;
}

} // namespace halvex::emulators::unit_json
