#include "adaptor_json/halvex_adaptor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/system/system_error.hpp>

#include "adaptor_json/frame_reader.h"

namespace asio = boost::asio;
namespace pt = boost::property_tree;
using asio::ip::tcp;

namespace {

const char* const kVitalsTemplate =
    "{\"MessageType\":\"VitalsData\",\"Message\":{\"hr\":-1,\"sbp\":-1,\"dbp\":-1,\"mbp\":-1,\"sPAP\":-1,"
    "\"dPAP\":-1,\"mPAP\":-1,\"CVP\":-1,\"t1\":-1,\"t2\":-1,\"rr\":-1,\"etCO2\":-1,\"co2FlowFactor\":-1,"
    "\"spO2\":-1,\"spO2Ratio\":-1,\"spo2Override\":\"None\",\"abpZeroState\":\"Unknown\","
    "\"papZeroState\":\"Unknown\",\"cvpZeroState\":\"Unknown\"}}";
const char* const kWaveformTemplate =
    "{\"MessageType\":\"WaveformData\",\"Message\":{\"pleth\":\"REPLACE\",\"ecg\":\"REPLACE\","
    "\"abp\":\"REPLACE\",\"pap\":\"REPLACE\",\"cvp\":\"REPLACE\",\"aux\":\"REPLACE\",\"co2\":\"REPLACE\"}}";

const char* const kCalSelect =
    "{\"MessageType\":\"CalSelect\",\"Message\":{\"calName\":\"Default Temperature\",\"calType\":\"Temp\"}}";
const char* const kCalListRequestSpO2 = "{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"SpO2\"}}";
const char* const kCalListRequestCO2 = "{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"CO2\"}}";
const char* const kStatusRequest = "{\"MessageType\":\"StatusRequest\",\"Message\":{\"requestNetworkStatus\":true}}";

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

// One line on the operator's log, written whole so lines of different threads do not mix.
void printLine(const std::string& text) { std::cout << (text + "\n") << std::flush; }

std::string errorCodeText(const boost::system::error_code& code) {
    return std::string(code.category().name()) + ":" + std::to_string(code.value());
}

std::string fileName(const char* path) {
    std::string text(path);
    const std::size_t slash = text.find_last_of("/\\");
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

#define HALVEX_UNREACHABLE(message) throw AssertionFailureException("false", fileName(__FILE__), __LINE__, (message))

pt::ptree parseTemplate(const char* text) {
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

std::string floatText(float value, int digits) {
    std::ostringstream out;
    out.precision(digits);
    out << value;
    return out.str();
}

int clampInt(int value, int low, int high) { return std::min(std::max(value, low), high); }

// Rounded to the nearest integer, halves away from zero. Samples far outside any
// monitor range saturate instead of overflowing the conversion.
long roundSample(float value) {
    if (std::isnan(value)) {
        return 0;
    }
    const float bound = 1.0e9f;
    return std::lround(std::min(std::max(value, -bound), bound));
}

std::mutex& lastAddressLock() {
    static std::mutex lock;
    return lock;
}
std::string& lastAddressText() {
    static std::string text;
    return text;
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

// Resamples whole groups from the front of samples into "v,v,v,..." and removes them.
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

AssertionFailureException::AssertionFailureException(const std::string& condition, const std::string& file,
                                                     int line, const std::string& message)
    : condition_(condition), file_(file), line_(line), message_(message) {
    std::string report;
    if (!message.empty()) {
        report += message + ": ";
    }
    if (condition == "false" || condition == "0" || condition == "FALSE") {
        report += "Unreachable code assertion";
    } else {
        report += "Assertion '" + condition + "'";
    }
    report += " failed in file '" + file + ":" + std::to_string(line) + "'";
    report_ = report;
    std::cerr << (report_ + "\n") << std::flush;
}

// One connection to the unit: its socket and the reader of the bytes it delivered, so
// every connection starts with an empty receive buffer.
struct UnitConnection {
    explicit UnitConnection(asio::io_context& io) : socket(io) {}
    tcp::socket socket;
    halvex_frame::FrameReader reader;
};

struct HalvexAdaptor::Impl {
    asio::io_context ioService;
    // Guarded by dataLock.
    pt::ptree vitalsTree;
    pt::ptree waveformTree;
    bool vitalsSent = true;
    bool waveformsSent = true;
    // Serialises whole frames on the wire and guards `socket` replacement.
    std::mutex writeLock;
    mutable std::mutex dataLock;
    tcp::endpoint endpoint{asio::ip::address_v4::any(), 0};
    std::shared_ptr<UnitConnection> socket;  // guarded by writeLock
};

HalvexAdaptor::HalvexAdaptor() : impl(std::make_unique<Impl>()) {}

HalvexAdaptor::~HalvexAdaptor() {
    {
        std::lock_guard<std::mutex> lock(stopLock);
        stopRequested = true;
    }
    stopSignal.notify_all();
    if (streamingThread.joinable()) {
        streamingThread.join();
    }
}

bool HalvexAdaptor::initialize(const std::string& /*serialId*/, const std::string& ipAddress,
                               const std::string& rangeStart, const std::string& rangeEnd, bool retryForever) {
    printLine("HX>Initialization of the Halvex adapter...");
    if (lastConnectedAddress().empty()) {
        loadLastConnectedAddress();
    }
    connected = false;
    int cycles = kConnectCycles;
    while (cycles > 0) {
        if (!retryForever) {
            --cycles;
        }
        if (ipAddress.empty()) {
            if (!rangeStart.empty() && !rangeEnd.empty()) {
                HALVEX_UNREACHABLE("We've got a problem, you reached here.");
            }
            HALVEX_UNREACHABLE("We've got a problem, you reached here.");
        }
        printLine("Fixed IP configured: " + ipAddress);
        if (connectIP(ipAddress, kAttemptsPerCycle)) {
            break;
        }
        if (waitForStop(kCyclePauseMs)) {
            break;
        }
        if (connected) {
            break;
        }
    }
    if (connected && !streamingStarted) {
        streamingThread = std::thread([this] { sendVitalWaveDataThread(); });
        streamingStarted = true;
    }
    return connected;
}

bool HalvexAdaptor::connectIP(const std::string& ipAddress, int attempts) {
    const asio::ip::address address = asio::ip::make_address(ipAddress);  // throws system_error
    impl->endpoint = tcp::endpoint(address, kUnitPort);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        try {
            openConnection();
            break;
        } catch (const boost::system::system_error& error) {
            printLine("HalvexAdaptor::connectIP: Error occured! Error code = " + errorCodeText(error.code()) +
                      ". Message: " + error.what());
        }
    }
    if (connected) {
        setLastConnectedAddress(ipAddress);
        saveLastConnectedAddress();
    } else {
        printLine("HX>Failed to find or could not connect to Halvex on IP " + ipAddress);
    }
    return connected;
}

void HalvexAdaptor::openConnection() {
    std::cout << "Connecting to " << impl->endpoint.address().to_string() << ":" << impl->endpoint.port()
              << "...\n"
              << std::flush;
    // The old socket is closed before the new attempt (a unit may take one client at a
    // time), and never while another thread writes to it.
    {
        std::lock_guard<std::mutex> lock(impl->writeLock);
        impl->socket.reset();
    }
    auto fresh = std::make_shared<UnitConnection>(impl->ioService);
    try {
        fresh->socket.open(impl->endpoint.protocol());
        fresh->socket.connect(impl->endpoint);
    } catch (...) {
        std::lock_guard<std::mutex> lock(impl->writeLock);
        impl->socket = fresh;
        throw;
    }
    // The streaming pass writes two small frames back to back: without this the second
    // one can wait for the unit's delayed acknowledgement of the first.
    boost::system::error_code ignored;
    fresh->socket.set_option(tcp::no_delay(true), ignored);
    {
        std::lock_guard<std::mutex> lock(impl->writeLock);
        impl->socket = fresh;
        connected = true;
    }
    printLine("Connected.");
}

void HalvexAdaptor::setVerbose() { verbose = true; }

bool HalvexAdaptor::isConnected() const { return connected; }

void HalvexAdaptor::setStreamingEnabled(bool enabled) { streamingEnabled = enabled; }

void HalvexAdaptor::writeToWire(const std::string& frame) {
    std::lock_guard<std::mutex> lock(impl->writeLock);
    try {
        if (!impl->socket) {
            throw boost::system::system_error(asio::error::not_connected, "write");
        }
        asio::write(impl->socket->socket, asio::buffer(frame));
    } catch (const boost::system::system_error& error) {
        printLine("HalvexAdaptor::writeToWire: Error occured! Error code = " + errorCodeText(error.code()) +
                  ". Message: " + error.what());
        connected = false;
    }
}

void HalvexAdaptor::sendMessage(const std::string& json) {
    if (verbose) {
        const boost::posix_time::time_duration now =
            boost::posix_time::microsec_clock::local_time().time_of_day();
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%02ld:%02ld:%02ld.%03ld", static_cast<long>(now.hours()),
                      static_cast<long>(now.minutes()), static_cast<long>(now.seconds()),
                      static_cast<long>(now.total_milliseconds() % 1000));
        printLine(std::string(stamp) + ": [" + json + "]");
    }
    writeToWire(halvex_frame::buildFrame(json));
}

std::string HalvexAdaptor::sendAndReceive(const std::string& json) {
    writeToWire(halvex_frame::buildFrame(json));
    return receiveHXResponse();
}

std::string HalvexAdaptor::receiveHXResponse() {
    try {
        std::shared_ptr<UnitConnection> connection;
        {
            std::lock_guard<std::mutex> lock(impl->writeLock);
            connection = impl->socket;
        }
        if (!connection) {
            throw boost::system::system_error(asio::error::not_connected, "read_until");
        }
        std::string response;
        char chunk[4096];
        while (!connection->reader.next(response)) {
            boost::system::error_code code;
            const std::size_t got = connection->socket.read_some(asio::buffer(chunk), code);
            if (code) {
                throw boost::system::system_error(code, "read_until");
            }
            connection->reader.feed(chunk, got);
        }
        return response;
    } catch (const std::exception& error) {
        printLine(std::string("ERROR: Exception thrown within receiveHXResponse!\n") + error.what());
        throw;
    }
}

std::string HalvexAdaptor::checkResponseLength(const std::string& response) {
    return halvex_frame::checkResponseLength(response);
}

void HalvexAdaptor::storeCommand(const std::string& name, const std::string& vitalsText,
                                 const std::string& waveformText) {
    if (!connected) {
        return;
    }
    const auto& table = translationTable();
    const auto entry = table.find(name);
    if (entry == table.end()) {
        printLine("iCommandName: [" + name + "] is not in the map!");
        return;
    }
    const std::string& key = entry->second;
    if (contains(kVitalsKeys, key)) {
        updateVitals(key, vitalsText);
    } else if (contains(kWaveformKeys, key)) {
        updateWaveform(key, "[" + waveformText + "]");
    } else {
        HALVEX_UNREACHABLE("Couldn't find translatedParam [" + key + "] iCommandMessage: [" + vitalsText + "]");
    }
}

void HalvexAdaptor::updateVitals(const std::string& key, const std::string& text) {
    std::lock_guard<std::mutex> lock(impl->dataLock);
    if (impl->vitalsSent) {
        impl->vitalsTree = parseTemplate(kVitalsTemplate);
        impl->vitalsSent = false;
    }
    const std::string path = "Message." + key;
    const std::string old = impl->vitalsTree.get<std::string>(path, "");
    if (old != "REPLACE" && old != "-1" && old != "Unknown" && old != "None") {
        printLine("WARNING: Overwriting << " + path + ": " + old);
    }
    impl->vitalsTree.put(path, text);
}

void HalvexAdaptor::updateWaveform(const std::string& key, const std::string& text) {
    std::lock_guard<std::mutex> lock(impl->dataLock);
    if (impl->waveformsSent) {
        impl->waveformTree = parseTemplate(kWaveformTemplate);
        impl->waveformsSent = false;
    }
    const std::string path = "Message." + key;
    const std::string old = impl->waveformTree.get<std::string>(path, "");
    if (old != "REPLACE") {
        printLine("WARNING: Overwriting << " + path + ": " + old);
    }
    impl->waveformTree.put(path, text);
}

void HalvexAdaptor::sendCommand(const std::string& name, int value) {
    const std::string text = std::to_string(value);
    storeCommand(name, text, text);
}

void HalvexAdaptor::sendCommand(const std::string& name, float value) {
    storeCommand(name, floatText(value, 9), floatText(value, 6));
}

void HalvexAdaptor::sendCommand(const std::string& name, const std::string& value) {
    storeCommand(name, value, value);
}

void HalvexAdaptor::sendHeartRate(int value) { sendCommand("HR", clampInt(value, 20, 300)); }

void HalvexAdaptor::sendRespirationRate(int value) { sendCommand("RR", clampInt(value, 0, 100)); }

void HalvexAdaptor::sendBloodPressure(int systolic, int diastolic, int mean) {
    sendCommand("SBP", clampInt(systolic, 0, 300));
    sendCommand("DBP", clampInt(diastolic, 0, 300));
    sendCommand("MBP", clampInt(mean, 0, 300));
}

void HalvexAdaptor::clearBloodPressure() {
    sendCommand("SBP", 0);
    sendCommand("MBP", 0);
    sendCommand("DBP", 0);
}

void HalvexAdaptor::sendSpO2(int value) { sendCommand("SPO2", clampInt(value, 1, 100)); }

void HalvexAdaptor::sendSpO2Ratio(int value) { sendCommand("spO2Ratio", clampInt(value, 1, 400)); }

void HalvexAdaptor::sendCo2FlowFactor(int value) { sendCommand("co2FlowFactor", clampInt(value, -1, 1000)); }

namespace {
std::string temperatureText(float value) {
    // A NaN counts as below the range.
    const float clamped = !(value >= 21.0f) ? 21.0f : std::min(value, 47.0f);
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(clamped));
    return text;
}
}  // namespace

void HalvexAdaptor::sendTemperature1(float value) { sendCommand("T1", temperatureText(value)); }

void HalvexAdaptor::sendTemperature2(float value) { sendCommand("T2", temperatureText(value)); }

void HalvexAdaptor::clearTemperature1() { sendCommand("T1", 0.0f); }

void HalvexAdaptor::clearTemperature2() { sendCommand("T2", 0.0f); }

void HalvexAdaptor::clearCo2() { sendCommand("CO2", 0); }

void HalvexAdaptor::sendPlethWave(std::vector<float>& samples) {
    const std::string text =
        resample(samples, kFiveGroup, [](int, long v) { return std::min(std::max(v, 4L), 100L); });
    if (!text.empty()) {
        sendCommand("PLETH", text);
    }
}

void HalvexAdaptor::sendAbpWave(std::vector<float>& samples) {
    const std::string text = resample(samples, kFiveGroup, [](int index, long v) {
        return std::min(std::max(v, index == 2 ? 4L : 0L), 300L);
    });
    if (!text.empty()) {
        sendCommand("ABP", text);
    }
}

void HalvexAdaptor::sendPapWave(std::vector<float>& samples) {
    const std::string text = resample(samples, kFiveGroup, [](int, long v) { return v; });
    if (!text.empty()) {
        sendCommand("PAP", text);
    }
}

void HalvexAdaptor::sendCvpWave(std::vector<float>& samples) {
    const std::string text = resample(samples, kTenGroup, [](int, long v) { return std::max(v, 0L); });
    if (!text.empty()) {
        sendCommand("CVP", text);
    }
}

namespace {
std::string vitalsWireText(const pt::ptree& tree) {
    std::string text = compactJson(tree);
    boost::algorithm::trim_right(text);
    return text;
}

std::string waveformWireText(const pt::ptree& tree) {
    std::string text = compactJson(tree);
    boost::algorithm::replace_all(text, "\"REPLACE\"", "[]");
    boost::algorithm::replace_all(text, "\"[", "[");
    boost::algorithm::replace_all(text, "]\"", "]");
    boost::algorithm::trim_right(text);
    return text;
}
}  // namespace

std::string HalvexAdaptor::pendingVitalsMessage() const {
    std::lock_guard<std::mutex> lock(impl->dataLock);
    return impl->vitalsSent ? std::string() : vitalsWireText(impl->vitalsTree);
}

std::string HalvexAdaptor::pendingWaveformMessage() const {
    std::lock_guard<std::mutex> lock(impl->dataLock);
    return impl->waveformsSent ? std::string() : waveformWireText(impl->waveformTree);
}

bool HalvexAdaptor::waitForStop(int milliseconds) {
    std::unique_lock<std::mutex> lock(stopLock);
    return stopSignal.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return stopRequested; });
}

void HalvexAdaptor::sendVitalWaveDataThread() {
    try {
        // The schedule runs on the steady clock so that setting the wall clock neither
        // stalls nor bursts the stream.
        using Clock = std::chrono::steady_clock;
        Clock::time_point slotStart = Clock::now();
        for (;;) {
            if (connected && streamingEnabled) {
                const Clock::time_point slotEnd = slotStart + std::chrono::milliseconds(kSlotMs);
                {
                    std::unique_lock<std::mutex> lock(stopLock);
                    if (stopSignal.wait_until(lock, slotEnd, [this] { return stopRequested; })) {
                        return;
                    }
                }
                slotStart = slotEnd;
                std::lock_guard<std::mutex> lock(impl->dataLock);
                if (!impl->vitalsSent) {
                    sendMessage(vitalsWireText(impl->vitalsTree));
                    impl->vitalsSent = true;
                }
                if (!impl->waveformsSent) {
                    sendMessage(waveformWireText(impl->waveformTree));
                    impl->waveformsSent = true;
                }
            } else if (waitForStop(kIdlePauseMs)) {
                return;
            }
        }
    } catch (const std::exception& error) {
        printLine(std::string("exiting sendVitalWaveDataThread loop...\n") + error.what());
    }
}

// ---- One-off messages and exchanges ----

void HalvexAdaptor::sendCalSelect() { sendMessage(kCalSelect); }

std::string HalvexAdaptor::getJsonValue(const std::string& json, const std::string& path) {
    try {
        std::istringstream in(json);
        pt::ptree tree;
        pt::read_json(in, tree);
        return tree.get<std::string>(path);
    } catch (const std::exception& error) {
        std::cerr << (std::string("HX>ERROR>") + error.what() + "\n" +
                      "Error while trying to locate value for key: " + path + "\n")
                  << std::flush;
        return std::string();
    }
}

void HalvexAdaptor::printJson(const std::string& json) {
    std::istringstream in(json);
    pt::ptree tree;
    pt::read_json(in, tree);
    std::ostringstream out;
    pt::write_json(out, tree, true);
    printLine(out.str());
}

std::string HalvexAdaptor::exchange(const std::string& request, const std::string& /*name*/,
                                    bool (HalvexAdaptor::*accept)(const std::string&, std::string&)) {
    std::string body = checkResponseLength(sendAndReceive(request));
    for (;;) {
        std::string rejection;
        if ((this->*accept)(body, rejection)) {
            return body;
        }
        printLine(rejection + "\n" + body + "\nre-reading incoming messages");
        body = checkResponseLength(receiveHXResponse());
    }
}

bool HalvexAdaptor::acceptNetworkStatus(const std::string& body, std::string& rejection) {
    const std::string type = getJsonValue(body, "MessageType");
    if (type == "NetworkStatusData") {
        return true;
    }
    rejection = "sendRequestNetworkStatus Re-request: Received " + type + ", looking for NetworkStatusData..";
    return false;
}

namespace {
bool acceptCalList(HalvexAdaptor& adaptor, const std::string& body, const std::string& wanted,
                   const std::string& operation, const std::string& other, std::string& rejection) {
    if (adaptor.getJsonValue(body, "MessageType") != "CalList") {
        rejection = operation + " Re-request: something other than cal message received; something else..";
        return false;
    }
    if (adaptor.getJsonValue(body, "Message.calType") != wanted) {
        rejection = operation + " Re-request: " + other + " cal result received by mistake...";
        return false;
    }
    return true;
}
}  // namespace

bool HalvexAdaptor::acceptCalListSpO2(const std::string& body, std::string& rejection) {
    return acceptCalList(*this, body, "SpO2", "sendRequestStoredCalibrationNamesSpO2", "CO2", rejection);
}

bool HalvexAdaptor::acceptCalListCO2(const std::string& body, std::string& rejection) {
    return acceptCalList(*this, body, "CO2", "sendRequestStoredCalibrationNamesCO2", "SpO2", rejection);
}

std::string HalvexAdaptor::sendRequestStoredCalibrationNamesSpO2() {
    return exchange(kCalListRequestSpO2, "SpO2", &HalvexAdaptor::acceptCalListSpO2);
}

std::string HalvexAdaptor::sendRequestStoredCalibrationNamesCO2() {
    return exchange(kCalListRequestCO2, "CO2", &HalvexAdaptor::acceptCalListCO2);
}

std::string HalvexAdaptor::sendRequestNetworkStatus() {
    return exchange(kStatusRequest, "NetworkStatusData", &HalvexAdaptor::acceptNetworkStatus);
}

bool HalvexAdaptor::sendWifiCredentials(const std::string& ssid, const std::string& password) {
    sendMessage("{\"MessageType\":\"WifiCredentials\",\"Message\":{\"ssid\":\"" + ssid + "\",\"password\":\"" +
                password + "\"}}");
    // The unit needs this long to join the network before its status means anything.
    waitForStop(kWifiSettleMs);
    const std::string body = sendRequestNetworkStatus();
    const std::string name = getJsonValue(body, "Message.ssid");
    const std::string address = getJsonValue(body, "Message.ipAddress");
    const std::string wifiConnected = getJsonValue(body, "Message.wifiConnected");
    const std::string status = getJsonValue(body, "Message.wifiStatus");
    if (status == "Success" && wifiConnected == "true") {
        printLine("Successful connection!\nssid: " + name + "\nipAddress: " + address +
                  "\nwifiConnected: " + wifiConnected + "\nwifiStatus: " + status);
        return true;
    }
    return false;
}

// ---- Last connected address ----

std::string HalvexAdaptor::lastConnectedAddress() {
    std::lock_guard<std::mutex> lock(lastAddressLock());
    return lastAddressText();
}

void HalvexAdaptor::setLastConnectedAddress(const std::string& address) {
    std::lock_guard<std::mutex> lock(lastAddressLock());
    lastAddressText() = address;
}

void HalvexAdaptor::loadLastConnectedAddress() {
    std::string loaded;
    std::ifstream file(kLastAddressFile, std::ios::binary);
    if (file) {
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        boost::system::error_code code;
        const asio::ip::address_v4 address = asio::ip::make_address_v4(text, code);
        if (!code) {
            loaded = address.to_string();
        }
    }
    setLastConnectedAddress(loaded);
    if (!loaded.empty()) {
        printLine("Loaded last connected IP " + loaded);
    }
}

void HalvexAdaptor::saveLastConnectedAddress() {
    std::ofstream file(kLastAddressFile, std::ios::binary | std::ios::trunc);
    if (file) {
        file << lastConnectedAddress();
    }
}
