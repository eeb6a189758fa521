#include "adaptor_json/pending_messages.h"

#include <algorithm>
#include <map>
#include <vector>

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/property_tree/ptree.hpp>

#include "adaptor_json/assertion_failure.h"
#include "adaptor_json/json_tree.h"

namespace pt = boost::property_tree;

namespace halvex::adaptor_json {

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

}  // namespace

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
    static const pt::ptree vitalsTemplate = readJsonTree(kVitalsTemplate);
    static const pt::ptree waveformTemplate = readJsonTree(kWaveformTemplate);
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

}  // namespace halvex::adaptor_json
