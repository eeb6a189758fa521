#include "controller/patient_values.h"

#include <iterator>
#include <utility>

namespace halvex::controller {

namespace {

// Drops the oldest samples of a waveform that ran ahead of the arterial one.
void trimTo(Samples& samples, std::size_t size) {
    if (samples.size() > size)
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() - size));
}

// The wave for the cycle when it goes out; its samples are dropped either way.
std::optional<Samples> handOut(Samples& samples, bool sent) {
    std::optional<Samples> wave;
    if (sent)
        wave = std::move(samples);
    samples.clear();
    return wave;
}

}  // namespace

void PatientValues::setCatheterDepth(Catheter catheter, int depth) {
    const bool inserted = depth >= 0;
    switch (catheter) {
    case Catheter::Arterial: abpInserted_ = inserted; break;
    case Catheter::CentralVenous: cvpInserted_ = inserted; break;
    case Catheter::PulmonaryArtery: papInserted_ = inserted; break;
    }
}

Samples& PatientValues::samples(Wave wave) {
    switch (wave) {
    case Wave::Arterial: return arterial_;
    case Wave::CentralVenous: return centralVenous_;
    case Wave::PulmonaryArtery: return pulmonaryArtery_;
    case Wave::Pleth: return pleth_;
    case Wave::Capnogram: break;
    }
    return capnogram_;
}

void PatientValues::clearWaves() {
    for (Samples* wave : {&arterial_, &pulmonaryArtery_, &centralVenous_, &pleth_, &capnogram_})
        wave->clear();
}

void PatientValues::restartCountdowns() {
    spo2Countdown_ = etco2Countdown_ = nibpCountdown_ = hrCountdown_ = rrCountdown_ = tempCountdown_ =
        capnoCountdown_ = 0;
}

bool PatientValues::oximeterAttached() const {
    return pulseSensor_ == 1 || (pulseSensor_ == 2 && (spo2Probe_ || !crossConnected_));
}

bool PatientValues::due(int& countdown) {
    if (--countdown >= 0)
        return false;
    countdown = kCountdownReload;
    return true;
}

SendCycle PatientValues::takeCycle() {
    SendCycle cycle;
    const bool oximeter = oximeterAttached();
    if (due(spo2Countdown_))
        cycle.oximetry = SendCycle::Oximetry{oximeter, spo2_};
    if (due(nibpCountdown_))
        cycle.bloodPressure = SendCycle::BloodPressure{nibpSensor_, systolic_, diastolic_, mean_};
    if (due(hrCountdown_))
        cycle.heartRate = heartRate_;
    if (due(rrCountdown_))
        cycle.respirationRate = respRate_;
    if (due(tempCountdown_))
        cycle.temperatures =
            SendCycle::Temperatures{{bodyTempSensor_, bodyTemperature_}, {bloodTempSensor_, bloodTemperature_}};
    if (due(etco2Countdown_))
        cycle.etco2 = etco2_;
    // The capnograph's countdown runs only while none is attached: it paces the clearing.
    cycle.clearCo2 = !capnograph_ && due(capnoCountdown_);

    const std::size_t count = arterial_.size();
    for (Samples* wave : {&centralVenous_, &pulmonaryArtery_, &pleth_, &capnogram_})
        trimTo(*wave, count);
    cycle.pleth = handOut(pleth_, oximeter);
    cycle.capnogram = handOut(capnogram_, capnograph_);
    cycle.arterial = handOut(arterial_, abpInserted_);
    cycle.centralVenous = handOut(centralVenous_, cvpInserted_);
    cycle.pulmonaryArtery = handOut(pulmonaryArtery_, papInserted_);
    return cycle;
}

}  // namespace halvex::controller
