#pragma once

// The bridge controller: owns the two simulator-server clients and the edition (which
// owns the unit adaptor), subscribes the simulated patient's parameters and turns
// their updates into the edition's send cycles. Its jobs, one file each:
//   simulator_sample.cpp    construction, init(), stop(), teardown
//   parameter_handling.cpp  a batch of updates: the values, the events, the send cycle
//   supervision.cpp         run(): the unit's health checks and its recovery
//   calibration.cpp         the monitor calibration procedure and its thread
// The patient's values and countdowns are a PatientValues (patient_values.h); what the
// editions do differently is the Edition (edition.h).
//
// Threads:
//   - the entry thread: construction, init(), run() (the supervision loop), destruction;
//   - the SIM and APP clients' receiving threads: connection state lines and the
//     parameter batches (parametersUpdated), which may drive the unit;
//   - the calibration thread, owned here and joined by the destructor;
//   - stop() may come from any thread.
//
// Locks. Only the controller takes `lock`; the edition and the adaptor are called
// with it held or from a moment when nothing else uses them, and never receive it.
// `lock` is held
//   - by init() from start to end (it also waits there for the unit);
//   - by each whole batch, with every edition call made from it: its events, its send
//     cycle, the calibration actions (including the JSON edition's save and upload);
//   - by the calibration thread for each round's check of `calibrating` and the
//     edition's Round phase, and, in an edition that drives the rounds, for the
//     Refresh phase before each round's pause;
//   - by the supervision loop around each single edition call that reaches the unit
//     (checkUnit, UnitStep::Restore, UnitStep::KeepIdle), and around setting and
//     clearing `unitAway`;
//   - by the teardown while it marks `closing` and for UnitStep::Release.
// It is not held while the supervision loop waits between checks, while a lost unit
// is reached again (Edition::Rules::reachesLostUnit: initialize with retry-for-ever,
// which returns only once the unit answers or stop() interrupts it), nor for the
// calibration thread's Started and Ended phases. While the unit is being reached
// (`unitAway`), batches go on reading: their send cycles are skipped and the edition
// keeps what the unit must hear until UnitStep::Restore.
// `stopLock` guards `stopRequested` only; it may be taken under `lock`, never the
// other way round. The adaptor's interrupt() is called without either.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "configuration/configuration.h"
#include "controller/edition.h"
#include "controller/patient_values.h"
#include "simlink/app_client.h"
#include "simlink/sim_client.h"

namespace halvex::controller {

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
    static constexpr int kCountdownReload = PatientValues::kCountdownReload;
    // The calibration thread's round length and its fixed-rate schedule.
    static constexpr std::chrono::milliseconds kCalibrationRound{120};

    // How the controller reaches its peers. The defaults are the programs' values;
    // tests shorten the supervision interval and point the clients at their own server.
    struct Options {
        std::chrono::milliseconds supervisionInterval = kSupervisionInterval;
        std::string simAddress;  // empty: the edition's SIM server address
        std::string appAddress;  // empty: the edition's APP server address
        int simPort = kSimPort;
        int appPort = kAppPort;
        // Called by run() at every check, with whether something drives the unit, so
        // a test can wait for a number of checks instead of sleeping.
        std::function<void(bool driven)> onCheck;
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
    // supervision loop's reaching of a lost unit), so init then returns false without its error
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
    void catheterDepth(Catheter catheter, int depth);
    void sendCycle();
    // Brings a lost unit back the edition's way (supervision.cpp).
    void recoverUnit();
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
    // Under `lock`: the supervision loop is reaching the unit again, without the lock.
    bool unitAway = false;
    // Under `lock`.
    PatientValues patient;

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

    // Declared last so that they are destroyed first: their threads call back into
    // the fields above.
    std::unique_ptr<SimClientCallback> simCallback;
    std::unique_ptr<AppClientCallback> appCallback;
    com_krel::SimClient simClient{kSimulatorId, kClientFlags};
    com_krel::AppClient appClient{kClientFlags};
};

}  // namespace halvex::controller
