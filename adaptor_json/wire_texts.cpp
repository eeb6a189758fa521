#include "adaptor_json/wire_texts.h"

#include <cstdio>

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/property_tree/ptree.hpp>

#include "adaptor_json/json_tree.h"
#include "adaptor_json/value_texts.h"

namespace pt = boost::property_tree;

namespace halvex::adaptor_json {

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

}  // namespace halvex::adaptor_json
