#include "controller/edition_v22.h"

#include "controller/curves.h"

using com_krel::ParameterRequest;

namespace {
const char* const kLocalServer = "127.0.0.1";
}

V22Edition::V22Edition(const Configuration& config, std::unique_ptr<V22UnitAdaptor> adaptor)
    : Edition(config), unit_(std::move(adaptor)) {}

const std::vector<ParameterRequest>& V22Edition::appInputs() const {
    using com_krel::TypeFloat;
    using com_krel::TypeInteger;
    static const std::vector<ParameterRequest> inputs = {
        {"ARTERIAL_CATHETER_DEPTH", TypeInteger, 0}, {"CVP_CATHETER_DEPTH", TypeInteger, 0},
        {"PA_CATHETER_DEPTH", TypeInteger, 0},       {"PULSE_SENSOR", TypeInteger, 0},
        {"SPO2_PROBE", TypeInteger, 0},              {"CAPNOGRAPH_SENSOR", TypeInteger, 0},
        {"TEMP_BODY_SENSOR", TypeInteger, 0},        {"TEMP_BLOOD_SENSOR", TypeInteger, 0},
        {"NIBP_SENSOR", TypeInteger, 0},             {"SIMULATOR_XCONNECTED", TypeInteger, 0},
        {"ARTLINE", TypeFloat, 1},                   {"PLINE", TypeFloat, 1},
        {"CVPLINE", TypeFloat, 1},                   {"CAPNOGRAM", TypeFloat, 1},
        {"PLETH", TypeFloat, 1},                     {"SAO2", TypeFloat, 0},
        {"EXT_DABP", TypeInteger, 0},                {"EXT_MAP", TypeInteger, 0},
        {"EXT_SABP", TypeInteger, 0},                {"HRPM", TypeInteger, 0},
        {"RRPM", TypeInteger, 0},                    {"BODY_TEMP", TypeFloat, 0},
        {"bloodTemp", TypeFloat, 0},
    };
    return inputs;
}

std::string V22Edition::simServerAddress() const { return kLocalServer; }

std::string V22Edition::appServerAddress() const { return kLocalServer; }

int V22Edition::spo2FromSaO2(float sao2) const { return halvex::spo2Curve(configuration.SPO2Calibration, sao2); }

void V22Edition::etco2Updated(int) {}

void V22Edition::capnogramSample(float value) {
    co2Samples.push_back(halvex::co2Curve(configuration.CO2Calibration, value));
}

void V22Edition::catheterDepth(const char*, int) {}

void V22Edition::spo2ProbeUpdated(const std::string&, bool) {}

void V22Edition::unitOutputOn() { unit_->associate(); }

void V22Edition::unitOutputOff() { unit_->disable(); }

bool V22Edition::unitReady() const { return true; }

void V22Edition::resetCountdowns() {}

void V22Edition::clearSamples() { co2Samples.clear(); }

void V22Edition::beginCycle(std::size_t arterialSamples) {
    // The CO2 wave is trimmed to the arterial one like the other waves.
    if (co2Samples.size() > arterialSamples)
        co2Samples.erase(co2Samples.begin(),
                         co2Samples.begin() + static_cast<std::ptrdiff_t>(co2Samples.size() - arterialSamples));
    unit_->beginBatch();
}

void V22Edition::sendProbeState(bool attached) { unit_->sendSpO2Probe(attached); }

void V22Edition::sendCo2Group(bool capnographAttached, int& capnoCountdown) {
    if (capnographAttached) {
        unit_->sendCo2Wave(co2Samples);
    } else if (--capnoCountdown < 0) {
        unit_->clearCo2();
        capnoCountdown = kCountdownReload;
    }
    co2Samples.clear();
}

void V22Edition::endCycle() { unit_->flushBatch(); }

// The unit allows one operation at a time, so every call here takes `lock` like the
// batches do; none of them waits for long.
Edition::UnitHealth V22Edition::checkUnit(bool driven, std::mutex& lock) {
    if (!driven)
        return UnitHealth::NotChecked;
    std::lock_guard<std::mutex> guard(lock);
    return unit_->checkAssociation() ? UnitHealth::Reachable : UnitHealth::Unreachable;
}

void V22Edition::recoverUnit(std::mutex& lock) {
    std::lock_guard<std::mutex> guard(lock);
    unit_->disable();
    unit_->associate();
}

void V22Edition::afterCheck(UnitHealth, std::mutex&) {}

void V22Edition::shutdown(std::mutex& lock) {
    std::lock_guard<std::mutex> guard(lock);
    unit_->disable();
}
