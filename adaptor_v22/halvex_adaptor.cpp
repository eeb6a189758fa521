#include "adaptor_v22/halvex_adaptor.h"

#include <stdexcept>

#include "adaptor_v22/command_text.h"
#include "adaptor_v22/run_values.h"
#include "platform/line_sink.h"
#include "unit_values/value_bounds.h"

namespace halvex::adaptor_v22 {

using unit_values::clamped;
using unit_values::clampedTemperature;
using unit_values::kBloodPressureBounds;
using unit_values::kHeartRateBounds;
using unit_values::kRespirationRateBounds;

// Marks one public operation as running; reports one that starts while another runs.
class HalvexAdaptor::OperationScope {
public:
    OperationScope(HalvexAdaptor& adaptor, const char* operation) : adaptor_(adaptor) {
        if (adaptor_.active_.fetch_add(1) != 0) {
            adaptor_.overlaps_.fetch_add(1);
            platform::printErr(std::string("HX>ERROR>Halvex v2.2 adaptor: ") + operation +
                               " started while another operation was running");
        }
    }
    ~OperationScope() { adaptor_.active_.fetch_sub(1); }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

private:
    HalvexAdaptor& adaptor_;
};

namespace {

std::shared_ptr<LastAddressStore> required(std::shared_ptr<LastAddressStore> store) {
    if (!store)
        throw std::invalid_argument("HalvexAdaptor needs a last-connected-address store");
    return store;
}

}  // namespace

HalvexAdaptor::HalvexAdaptor(std::shared_ptr<LastAddressStore> lastAddress, AdaptorOptions options)
    : path_(options.transport),
      finder_(path_, required(std::move(lastAddress)), std::move(options.localAddresses), options.discovery),
      wifi_(path_, options.wifi) {}

HalvexAdaptor::~HalvexAdaptor() = default;  // path_ releases the transport, then the I/O service

bool HalvexAdaptor::initialize(const std::string& serialId, const std::string& ipAddress,
                               const std::string& rangeStart, const std::string& rangeEnd, bool retryForever) {
    OperationScope scope(*this, "initialize");
    return finder_.initialize(serialId, ipAddress, rangeStart, rangeEnd, retryForever);
}

void HalvexAdaptor::setVerbose() {
    OperationScope scope(*this, "setVerbose");
    path_.setVerbose();
}

void HalvexAdaptor::interrupt() { finder_.interrupt(); }

bool HalvexAdaptor::checkAssociation() {
    OperationScope scope(*this, "checkAssociation");
    return finder_.checkAssociation();
}

void HalvexAdaptor::associate() {
    OperationScope scope(*this, "associate");
    finder_.associate();
}

void HalvexAdaptor::disable() {
    OperationScope scope(*this, "disable");
    finder_.disable();
}

void HalvexAdaptor::beginBatch() {
    OperationScope scope(*this, "beginBatch");
    path_.beginBatch();
}

void HalvexAdaptor::flushBatch() {
    OperationScope scope(*this, "flushBatch");
    path_.flushBatch();
}

void HalvexAdaptor::sendHeartRate(int value) {
    OperationScope scope(*this, "sendHeartRate");
    path_.sendCommand("HR", integerPayload(clamped(value, kHeartRateBounds)));
}

void HalvexAdaptor::sendRespirationRate(int value) {
    OperationScope scope(*this, "sendRespirationRate");
    path_.sendCommand("RR", integerPayload(clamped(value, kRespirationRateBounds)));
}

void HalvexAdaptor::sendBloodPressure(int systolic, int diastolic, int mean) {
    OperationScope scope(*this, "sendBloodPressure");
    path_.sendCommand("SBP", integerPayload(clamped(systolic, kBloodPressureBounds)));
    path_.sendCommand("DBP", integerPayload(clamped(diastolic, kBloodPressureBounds)));
    path_.sendCommand("MBP", integerPayload(clamped(mean, kBloodPressureBounds)));
}

void HalvexAdaptor::clearBloodPressure() {
    OperationScope scope(*this, "clearBloodPressure");
    // The unit clears in this order, unlike the order values are sent in.
    path_.sendCommand("SBP", integerPayload(0));
    path_.sendCommand("MBP", integerPayload(0));
    path_.sendCommand("DBP", integerPayload(0));
}

void HalvexAdaptor::sendSpO2(int value) {
    OperationScope scope(*this, "sendSpO2");
    path_.sendCommand("SPO2", integerPayload(clamped(value, kSpO2Bounds)));
}

void HalvexAdaptor::sendSpO2Probe(bool attached) {
    OperationScope scope(*this, "sendSpO2Probe");
    path_.sendCommand("SPO2_PROBE", integerPayload(attached ? 1 : 0));
}

void HalvexAdaptor::sendSpO2Scale(int value) {
    OperationScope scope(*this, "sendSpO2Scale");
    path_.sendCommand("SPO2_SCALE", integerPayload(clamped(value, kSpO2ScaleBounds)));
}

void HalvexAdaptor::sendTemperature1(float value) {
    OperationScope scope(*this, "sendTemperature1");
    path_.sendCommand("T1", temperaturePayload(clampedTemperature(value)));
}

void HalvexAdaptor::sendTemperature2(float value) {
    OperationScope scope(*this, "sendTemperature2");
    path_.sendCommand("T2", temperaturePayload(clampedTemperature(value)));
}

void HalvexAdaptor::clearTemperature1() {
    OperationScope scope(*this, "clearTemperature1");
    path_.sendCommand("T1", realPayload(0.0f));
}

void HalvexAdaptor::clearTemperature2() {
    OperationScope scope(*this, "clearTemperature2");
    path_.sendCommand("T2", realPayload(0.0f));
}

void HalvexAdaptor::clearCo2() {
    OperationScope scope(*this, "clearCo2");
    path_.sendCommand("CO2", integerPayload(0));
}

void HalvexAdaptor::sendWave(Wave wave, std::vector<float>& samples) {
    const std::string list = resampleWave(wave, samples);
    if (!list.empty())
        path_.sendCommand(waveWord(wave), list);
}

void HalvexAdaptor::sendAbpWave(std::vector<float>& samples) {
    OperationScope scope(*this, "sendAbpWave");
    sendWave(Wave::Abp, samples);
}

void HalvexAdaptor::sendCvpWave(std::vector<float>& samples) {
    OperationScope scope(*this, "sendCvpWave");
    sendWave(Wave::Cvp, samples);
}

void HalvexAdaptor::sendPapWave(std::vector<float>& samples) {
    OperationScope scope(*this, "sendPapWave");
    sendWave(Wave::Pap, samples);
}

void HalvexAdaptor::sendPlethWave(std::vector<float>& samples) {
    OperationScope scope(*this, "sendPlethWave");
    sendWave(Wave::Pleth, samples);
}

void HalvexAdaptor::sendCo2Wave(std::vector<float>& samples) {
    OperationScope scope(*this, "sendCo2Wave");
    sendWave(Wave::Co2, samples);
}

void HalvexAdaptor::enterConfigMode() {
    OperationScope scope(*this, "enterConfigMode");
    wifi_.enterConfigMode();
}

bool HalvexAdaptor::resetWifiToFactory() {
    OperationScope scope(*this, "resetWifiToFactory");
    return wifi_.resetWifiToFactory();
}

bool HalvexAdaptor::configureWifi(const std::string& ssid, const std::string& password) {
    OperationScope scope(*this, "configureWifi");
    return wifi_.configureWifi(ssid, password);
}

}  // namespace halvex::adaptor_v22
