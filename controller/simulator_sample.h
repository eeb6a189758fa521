#pragma once

// The bridge controller: owns the two simulator-server clients and the unit adaptor,
// subscribes the simulated patient's parameters and turns their updates into unit
// commands.
//
// Threads that enter a controller:
//   - the entry thread: construction, init(), run() (the supervision loop), destruction;
//   - the SIM and APP clients' receiving threads: connection state lines and the
//     parameter batches (parametersUpdated), which may drive the unit;
//   - the calibration thread, owned here and joined by the destructor.
//
// `lock` serialises init(), each whole parameter batch, each calibration round and
// every adaptor call that run() makes, so the adaptor sees one operation at a time.
// The one call that may block for a long time (the JSON edition's re-initialisation
// with retry-for-ever) is made without `lock`; while it runs the batches keep reading
// but leave the unit alone (see edition_json.h).
//
// What the two editions do differently is the controller's Edition (edition.h),
// which also owns the unit adaptor.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "configuration/configuration.h"
#include "controller/edition.h"
#include "simlink/app_client.h"
#include "simlink/sim_client.h"

class SimulatorSample {
public:
    static constexpr int kSimulatorId = 1;
    static constexpr int kClientFlags = com_krel::AutoReconnect | com_krel::HighPriority;
    static constexpr int kSimPort = 55580;
    static constexpr int kAppPort = 55557;
    static constexpr std::chrono::milliseconds kSupervisionInterval{2000};
    // run() gives the unit up on the failed check after this many.
    static constexpr int kMaxFailedChecks = 10;
    // A send cycle runs once this many arterial samples have gathered.
    static constexpr std::size_t kSendCycleThreshold = 10;
    static constexpr int kCountdownReload = Edition::kCountdownReload;

    // How the controller reaches its peers. The defaults are the programs' values;
    // tests shorten the supervision interval and point the clients at their own server.
    struct Options {
        std::chrono::milliseconds supervisionInterval = kSupervisionInterval;
        std::string simAddress;  // empty: the edition's SIM server address
        std::string appAddress;  // empty: the edition's APP server address
        int simPort = kSimPort;
        int appPort = kAppPort;
    };

    class SimClientCallback : public com_krel::SimClient::Callback {
    public:
        explicit SimClientCallback(SimulatorSample* owner) : owner_(owner) {}
        void connectionStateChanged(int oldState, int newState) override;
        void parametersUpdated(const std::vector<com_krel::ParameterValue>& values) override;

    private:
        SimulatorSample* owner_;
    };

    class AppClientCallback : public com_krel::AppClient::Callback {
    public:
        explicit AppClientCallback(SimulatorSample* owner) : owner_(owner) {}
        void connectionStateChanged(int oldState, int newState) override;
        void parametersUpdated(const std::vector<com_krel::ParameterValue>& values) override;

    private:
        SimulatorSample* owner_;
    };

    SimulatorSample(Configuration* configuration, std::unique_ptr<Edition> edition);
    SimulatorSample(Configuration* configuration, std::unique_ptr<Edition> edition, Options options);
    virtual ~SimulatorSample();
    SimulatorSample(const SimulatorSample&) = delete;
    SimulatorSample& operator=(const SimulatorSample&) = delete;

    // Reads the configuration, waits for the unit, connects and subscribes. False
    // (with its error line printed) when a step fails.
    bool init(bool debug);
    // Supervises the unit; returns true once it has been given up, false after stop().
    bool run();
    // The bridge is stopping: ends run() at once if it waits between checks, else
    // after the check under way, and interrupts the waits for the unit (init's, the
    // JSON edition's reconnection), so init then returns false without its error
    // line. The destructor still releases the unit. Any thread may call it, at any
    // time before the destructor.
    void stop();
    bool stopping() const;

    // One batch of parameter updates from either client. Never throws: an error of
    // the unit adaptor is printed and the bridge carries on.
    void parametersUpdated(const std::vector<com_krel::ParameterValue>& values);

    // The inputs subscribed on the SIM client, in subscription order (the APP inputs
    // are the edition's).
    static const std::vector<com_krel::ParameterRequest>& simInputs();

private:
    void handleBatch(const std::vector<com_krel::ParameterValue>& values);
    void applyUpdate(const com_krel::ParameterValue& update, bool& calChanged);
    void speedChanged(int value);
    void resetCountdowns();
    void clearSamples();
    void sendCycle();
    void performCalibration(int action, int argument);
    void stopCalibrationThread();

    Options options;
    bool debug = false;
    // The supervision loop's pause between checks, cut short by stop().
    mutable std::mutex stopLock;
    std::condition_variable stopSignal;
    bool stopRequested = false;
    Configuration* configuration;
    std::mutex lock;
    std::unique_ptr<Edition> edition;
    UnitAdaptor& adaptor;
    std::atomic<bool> running{false};
    bool featureEnabled = false;
    // Set (under `lock`) when teardown begins: later batches leave the unit alone.
    bool closing = false;

    std::vector<float> artSamples, papSamples, cvpSamples, plethSamples;
    int spo2Countdown = 0, spo2Value = 0;
    int nibpCountdown = 0, diastolic = 0, mean = 0, systolic = 0;
    int hrCountdown = 0, heartRate = 0;
    int rrCountdown = 0, respRate = 0;
    int tempCountdown = 0;
    float bodyTemperature = 0, bloodTemperature = 0;
    int capnoCountdown = 0;
    bool abpInserted = false, cvpInserted = false, papInserted = false;
    int pulseSensor = 0;
    bool spo2Probe = true;
    bool crossConnected = false;
    bool capnograph = false, bodyTempSensor = false, bloodTempSensor = false, nibpSensor = false;

    // The monitor calibration procedure (calibration.cpp), under `lock`; `calibrating`
    // is also read by the supervision loop without it.
    int calAction = 0, calArg = 0;
    std::atomic<bool> calibrating{false};
    CalibrationState calibration;
    // The calibration thread: started by action 1, ended by `calibrating` turning
    // false, joined before a new one starts and by the destructor. `calibrationRounds`
    // is true until the thread has left its rounds (it takes `lock` no more then).
    std::thread calibrationThread;
    std::atomic<bool> calibrationRounds{false};
    void startCalibrationThread();
    void calibrationThreadMain();


    // The calibration thread's round length and its fixed-rate schedule.
public:
    static constexpr std::chrono::milliseconds kCalibrationRound{120};

private:
    // Declared last so that they are destroyed first: their threads call back into
    // the fields above.
    std::unique_ptr<SimClientCallback> simCallback;
    std::unique_ptr<AppClientCallback> appCallback;
    com_krel::SimClient simClient{kSimulatorId, kClientFlags};
    com_krel::AppClient appClient{kClientFlags};
};
