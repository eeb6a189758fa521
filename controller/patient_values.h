#pragma once

// The simulated patient's values as the bridge last heard them, the countdowns that
// pace them to the unit, and the waveform samples gathered since the last send cycle.
// No I/O and no lock: the controller applies updates and takes send cycles under its
// own lock (simulator_sample.h).
//
// Every numeric group has a countdown. A changed value restarts its group's countdown,
// so it goes out in the next send cycle; an unchanged group goes out every 21st cycle.

#include <cstddef>
#include <optional>
#include <vector>

namespace halvex::controller {

using Samples = std::vector<float>;

enum class Catheter { Arterial, CentralVenous, PulmonaryArtery };
enum class Wave { Arterial, CentralVenous, PulmonaryArtery, Pleth, Capnogram };

// One send cycle as a plain value: the numeric groups whose countdown ran out, and
// the waves that go out, each trimmed to the arterial samples' count. An edition turns
// it into adaptor calls in its own order (Edition::sendCycle).
struct SendCycle {
    struct Oximetry {
        bool attached;  // the pulse oximeter reads the patient
        int spo2;
    };
    struct BloodPressure {
        bool measured;  // the NIBP cuff is on; else the value is cleared
        int systolic, diastolic, mean;
    };
    struct Temperature {
        bool measured;  // its sensor is on; else the value is cleared
        float value;
    };
    struct Temperatures {
        Temperature body, blood;
    };

    // The numeric groups due in this cycle.
    std::optional<Oximetry> oximetry;
    std::optional<BloodPressure> bloodPressure;
    std::optional<int> heartRate;
    std::optional<int> respirationRate;
    std::optional<Temperatures> temperatures;
    std::optional<int> etco2;
    // No capnograph is attached and its countdown ran out.
    bool clearCo2 = false;

    // The waves that go out: pleth while the oximeter is attached, the capnogram while
    // the capnograph is, each pressure wave while its catheter is inserted. Not
    // present: not sent (its samples are dropped).
    std::optional<Samples> pleth;
    std::optional<Samples> capnogram;
    std::optional<Samples> arterial;
    std::optional<Samples> centralVenous;
    std::optional<Samples> pulmonaryArtery;
};

class PatientValues {
public:
    // A group goes out when its countdown drops below 0: every 21st cycle.
    static constexpr int kCountdownReload = 20;

    void setHeartRate(int value) { storeIfChanged(heartRate_, value, hrCountdown_); }
    void setRespirationRate(int value) { storeIfChanged(respRate_, value, rrCountdown_); }
    void setSpO2(int value) { storeIfChanged(spo2_, value, spo2Countdown_); }
    void setEtco2(int value) { storeIfChanged(etco2_, value, etco2Countdown_); }
    void setSystolic(int value) { storeIfChanged(systolic_, value, nibpCountdown_); }
    void setDiastolic(int value) { storeIfChanged(diastolic_, value, nibpCountdown_); }
    void setMean(int value) { storeIfChanged(mean_, value, nibpCountdown_); }
    // Temperatures go out on their own rhythm only: a change restarts no countdown.
    void setBodyTemperature(float value) { bodyTemperature_ = value; }
    void setBloodTemperature(float value) { bloodTemperature_ = value; }

    void setPulseSensor(int value) { storeIfChanged(pulseSensor_, value, spo2Countdown_); }
    void setSpO2Probe(bool attached) { storeIfChanged(spo2Probe_, attached, spo2Countdown_); }
    void setCrossConnected(bool on) { storeIfChanged(crossConnected_, on, spo2Countdown_); }
    void setCapnograph(bool attached) { storeIfChanged(capnograph_, attached, capnoCountdown_); }
    void setNibpSensor(bool on) { storeIfChanged(nibpSensor_, on, nibpCountdown_); }
    void setBodyTemperatureSensor(bool on) { bodyTempSensor_ = on; }
    void setBloodTemperatureSensor(bool on) { bloodTempSensor_ = on; }
    // A catheter at a depth of 0 or more is inserted: its wave goes out.
    void setCatheterDepth(Catheter catheter, int depth);

    void addSample(Wave wave, float sample) { samples(wave).push_back(sample); }
    std::size_t arterialSamples() const { return arterial_.size(); }
    void clearWaves();
    // Every group goes out in the next cycle.
    void restartCountdowns();

    // Whether the pulse oximeter reads the patient: a finger sensor always, a
    // cross-connected sensor only with the probe on.
    bool oximeterAttached() const;

    // Counts every countdown down, collects the due groups and hands out the waves
    // trimmed to the arterial count; the waves are empty afterwards.
    SendCycle takeCycle();

private:
    template <typename T>
    static void storeIfChanged(T& field, T value, int& countdown) {
        if (field != value) {
            field = value;
            countdown = 0;
        }
    }
    // True when the countdown ran out; it then starts again.
    static bool due(int& countdown);
    Samples& samples(Wave wave);

    int spo2Countdown_ = 0, spo2_ = 0;
    int etco2Countdown_ = 0, etco2_ = 0;
    int nibpCountdown_ = 0, diastolic_ = 0, mean_ = 0, systolic_ = 0;
    int hrCountdown_ = 0, heartRate_ = 0;
    int rrCountdown_ = 0, respRate_ = 0;
    int tempCountdown_ = 0;
    float bodyTemperature_ = 0, bloodTemperature_ = 0;
    int capnoCountdown_ = 0;
    bool abpInserted_ = false, cvpInserted_ = false, papInserted_ = false;
    int pulseSensor_ = 0;
    bool spo2Probe_ = true;
    bool crossConnected_ = false;
    bool capnograph_ = false, bodyTempSensor_ = false, bloodTempSensor_ = false, nibpSensor_ = false;
    Samples arterial_, pulmonaryArtery_, centralVenous_, pleth_, capnogram_;
};

}  // namespace halvex::controller
