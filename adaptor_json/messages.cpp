#include "adaptor_json/messages.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "adaptor_json/assertion_failure.h"
#include "platform/line_sink.h"

namespace pt = boost::property_tree;

namespace halvex::json {

const char* const kCalSelect =
    "{\"MessageType\":\"CalSelect\",\"Message\":{\"calName\":\"Default Temperature\",\"calType\":\"Temp\"}}";
const char* const kCalListRequestSpO2 = "{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"SpO2\"}}";
const char* const kCalListRequestCO2 = "{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"CO2\"}}";
const char* const kStatusRequest = "{\"MessageType\":\"StatusRequest\",\"Message\":{\"requestNetworkStatus\":true}}";
const char* const kCalRemoveSpO2 =
    "{\"MessageType\":\"CalRemove\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"SpO2\"}}";
const char* const kCalRemoveCO2 =
    "{\"MessageType\":\"CalRemove\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"CO2\"}}";
const char* const kCalibrationName = "SpaceLabs Xprezzon";
const char* const kZeroing = "Zeroing";
const char* const kNotZeroing = "NotZeroing";

namespace {

const char* const kVitalsTemplate =
    "{\"MessageType\":\"VitalsData\",\"Message\":{\"hr\":-1,\"sbp\":-1,\"dbp\":-1,\"mbp\":-1,\"sPAP\":-1,"
    "\"dPAP\":-1,\"mPAP\":-1,\"CVP\":-1,\"t1\":-1,\"t2\":-1,\"rr\":-1,\"etCO2\":-1,\"co2FlowFactor\":-1,"
    "\"spO2\":-1,\"spO2Ratio\":-1,\"spo2Override\":\"None\",\"abpZeroState\":\"Unknown\","
    "\"papZeroState\":\"Unknown\",\"cvpZeroState\":\"Unknown\"}}";
const char* const kWaveformTemplate =
    "{\"MessageType\":\"WaveformData\",\"Message\":{\"pleth\":\"REPLACE\",\"ecg\":\"REPLACE\","
    "\"abp\":\"REPLACE\",\"pap\":\"REPLACE\",\"cvp\":\"REPLACE\",\"aux\":\"REPLACE\",\"co2\":\"REPLACE\"}}";

// Command names the controller uses, and the message key each one writes.
const std::map<std::string, std::string>& translationTable() {
    static const std::map<std::string, std::string> table = {
        {"HR", "hr"},          {"SBP", "sbp"},
        {"DBP", "dbp"},        {"MBP", "mbp"},
        {"SPA", "sPAP"},       {"DPA", "dPAP"},
        {"MPA", "mPAP"},       {"T1", "t1"},
        {"T2", "t2"},          {"RR", "rr"},
        {"etCO2", "etCO2"},    {"co2FlowFactor", "co2FlowFactor"},
        {"SPO2", "spO2"},      {"spO2Ratio", "spO2Ratio"},
        {"SPO2_PROBE", "spo2Override"},
        {"abpZeroState", "abpZeroState"},
        {"papZeroState", "papZeroState"},
        {"cvpZeroState", "cvpZeroState"},
        {"PLETH", "pleth"},    {"ABP", "abp"},
        {"PAP", "pap"},        {"CVP", "cvp"},
        {"CO2", "co2"},
    };
    return table;
}

const std::vector<std::string> kVitalsKeys = {"hr",   "sbp",          "dbp",          "mbp",          "sPAP",
                                              "dPAP", "mPAP",         "CVP",          "t1",           "t2",
                                              "rr",   "etCO2",        "co2FlowFactor", "spO2",        "spO2Ratio",
                                              "spo2Override", "abpZeroState", "papZeroState", "cvpZeroState"};
const std::vector<std::string> kWaveformKeys = {"pleth", "ecg", "abp", "pap", "cvp", "aux", "co2"};

bool contains(const std::vector<std::string>& keys, const std::string& key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

pt::ptree parseJson(const std::string& text) {
    if (jsonNestingDepth(text) > kMaxJsonDepth)
        throw std::runtime_error("JSON text nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    std::istringstream in(text);
    pt::ptree tree;
    pt::read_json(in, tree);
    return tree;
}

std::string compactJson(const pt::ptree& tree) {
    std::ostringstream out;
    pt::write_json(out, tree, false);
    return out.str();
}

std::string vitalsWireText(const pt::ptree& tree) {
    std::string text = compactJson(tree);
    boost::algorithm::trim_right(text);
    return text;
}

// Waves are stored as "[1,2,3]" texts; on the wire they are arrays of numbers, and an
// untouched wave is an empty array.
std::string waveformWireText(const pt::ptree& tree) {
    std::string text = compactJson(tree);
    boost::algorithm::replace_all(text, "\"REPLACE\"", "[]");
    boost::algorithm::replace_all(text, "\"[", "[");
    boost::algorithm::replace_all(text, "]\"", "]");
    boost::algorithm::trim_right(text);
    return text;
}

// Rounded to the nearest integer, halves away from zero. Samples far outside any
// monitor range saturate instead of overflowing the conversion.
long roundSample(float value) {
    if (std::isnan(value)) {
        return 0;
    }
    const float bound = 1.0e9f;
    return std::lround(std::min(std::max(value, -bound), bound));
}

struct WaveShape {
    std::size_t groupSize;
    // Sample index and interpolation factor of the three values of a group.
    std::size_t base[3];
    float factor[3];
};

constexpr float kTwoThirds = 0.6666667f;
constexpr float kOneThird = 0.33333334f;
const WaveShape kFiveGroup = {5, {0, 1, 3}, {0.0f, kTwoThirds, kOneThird}};
const WaveShape kTenGroup = {10, {0, 3, 6}, {0.0f, kOneThird, kTwoThirds}};

template <typename Clamp>
std::string resample(std::vector<float>& samples, const WaveShape& shape, Clamp clamp) {
    std::string text;
    std::size_t used = 0;
    while (samples.size() - used >= shape.groupSize) {
        const float* g = samples.data() + used;
        for (int i = 0; i < 3; ++i) {
            const float earlier = g[shape.base[i]];
            const float value = i == 0 ? earlier : (g[shape.base[i] + 1] - earlier) * shape.factor[i] + earlier;
            if (!text.empty()) {
                text += ',';
            }
            text += std::to_string(clamp(i, roundSample(value)));
        }
        used += shape.groupSize;
    }
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(used));
    return text;
}

}  // namespace

namespace {

// A text as a JSON string literal: a quote, a backslash or a control character in a
// network name or password can neither end the string nor rewrite the message. Bytes
// from 0x80 up (UTF-8) go through as they are.
std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': quoted += "\\\""; break;
        case '\\': quoted += "\\\\"; break;
        case '\b': quoted += "\\b"; break;
        case '\f': quoted += "\\f"; break;
        case '\n': quoted += "\\n"; break;
        case '\r': quoted += "\\r"; break;
        case '\t': quoted += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                quoted += escape;
            } else {
                quoted += c;
            }
        }
    }
    return quoted + "\"";
}

}  // namespace

std::string wifiCredentialsText(const std::string& ssid, const std::string& password) {
    return "{\"MessageType\":\"WifiCredentials\",\"Message\":{\"ssid\":" + jsonString(ssid) +
           ",\"password\":" + jsonString(password) + "}}";
}

std::string integerText(int value) { return std::to_string(value); }

std::string floatText(float value, int digits) {
    std::ostringstream out;
    out.precision(digits);
    out << value;
    return out.str();
}

std::string temperatureText(float value) {
    const float clamped = !(value >= 21.0f) ? 21.0f : std::min(value, 47.0f);
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(clamped));
    return text;
}

int clampInt(int value, int low, int high) { return std::min(std::max(value, low), high); }

std::string resamplePleth(std::vector<float>& samples) {
    return resample(samples, kFiveGroup, [](int, long v) { return std::min(std::max(v, 4L), 100L); });
}

std::string resampleAbp(std::vector<float>& samples) {
    return resample(samples, kFiveGroup,
                    [](int index, long v) { return std::min(std::max(v, index == 2 ? 4L : 0L), 300L); });
}

std::string resamplePap(std::vector<float>& samples) {
    return resample(samples, kFiveGroup, [](int, long v) { return v; });
}

std::string resampleCvp(std::vector<float>& samples) {
    return resample(samples, kTenGroup, [](int, long v) { return std::max(v, 0L); });
}

struct PendingMessages::Trees {
    pt::ptree vitalsTree;
    pt::ptree waveformTree;
    bool vitalsSent = true;
    bool waveformsSent = true;
};

PendingMessages::PendingMessages() : trees(std::make_unique<Trees>()) {}
PendingMessages::~PendingMessages() = default;

PendingMessages::Stored PendingMessages::store(const std::string& name, const std::string& vitalsText,
                                               const std::string& waveformText) {
    Stored result;
    const auto& table = translationTable();
    const auto entry = table.find(name);
    if (entry == table.end()) {
        result.known = false;
        return result;
    }
    const std::string& key = entry->second;
    const bool vitals = contains(kVitalsKeys, key);
    if (!vitals && !contains(kWaveformKeys, key)) {
        HALVEX_UNREACHABLE("Couldn't find translatedParam [" + key + "] iCommandMessage: [" + vitalsText + "]");
    }
    static const pt::ptree vitalsTemplate = parseJson(kVitalsTemplate);
    static const pt::ptree waveformTemplate = parseJson(kWaveformTemplate);
    const std::string path = "Message." + key;
    std::lock_guard<std::mutex> guard(dataLock);
    pt::ptree& tree = vitals ? trees->vitalsTree : trees->waveformTree;
    bool& sent = vitals ? trees->vitalsSent : trees->waveformsSent;
    if (sent) {
        tree = vitals ? vitalsTemplate : waveformTemplate;
        sent = false;
    }
    const std::string old = tree.get<std::string>(path, "");
    const bool untouched = vitals ? (old == "REPLACE" || old == "-1" || old == "Unknown" || old == "None")
                                  : old == "REPLACE";
    if (!untouched) {
        result.warning = "WARNING: Overwriting << " + path + ": " + old;
    }
    tree.put(path, vitals ? vitalsText : "[" + waveformText + "]");
    return result;
}

std::string PendingMessages::vitalsText() const {
    std::lock_guard<std::mutex> guard(dataLock);
    return trees->vitalsSent ? std::string() : vitalsWireText(trees->vitalsTree);
}

std::string PendingMessages::waveformText() const {
    std::lock_guard<std::mutex> guard(dataLock);
    return trees->waveformsSent ? std::string() : waveformWireText(trees->waveformTree);
}

PendingMessages::Snapshot PendingMessages::take() {
    Snapshot snapshot;
    std::lock_guard<std::mutex> guard(dataLock);
    if (!trees->vitalsSent) {
        snapshot.vitals = vitalsWireText(trees->vitalsTree);
        trees->vitalsSent = true;
    }
    if (!trees->waveformsSent) {
        snapshot.waveform = waveformWireText(trees->waveformTree);
        trees->waveformsSent = true;
    }
    return snapshot;
}

std::string getJsonValue(const std::string& json, const std::string& path) {
    try {
        return parseJson(json).get<std::string>(path);
    } catch (const std::exception& error) {
        platform::printErr(std::string("HX>ERROR>") + error.what() + "\n" +
                           "Error while trying to locate value for key: " + path);
        return std::string();
    }
}

std::string indentedJson(const std::string& json) {
    std::ostringstream out;
    pt::write_json(out, parseJson(json), true);
    return out.str();
}

std::size_t jsonNestingDepth(const std::string& text) {
    std::size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

std::string calDataText(const std::string& calType, const std::map<int, int>& points) {
    pt::ptree tree;
    tree.put("MessageType", "CalData");
    tree.put("Message.calName", kCalibrationName);
    tree.put("Message.calType", calType);
    pt::ptree list;
    for (const auto& [counter, point] : points) {
        pt::ptree element;
        element.put("Item1", floatText(static_cast<float>(counter), 9));
        element.put("Item2", floatText(static_cast<float>(point), 9));
        list.push_back({"", element});
    }
    tree.add_child("Message.calPts", list);
    std::string text = compactJson(tree);
    boost::algorithm::replace_all(text, "        ", "");
    boost::algorithm::trim_right(text);
    return text;
}

}  // namespace halvex::json
