#pragma once

#include <atomic>
#include <mutex>

#include "simlink/app_client.h"
#include "simlink/cs_client_protocol.h"
#include "simlink/encode.h"

namespace com_krel {

// Engine of the APP protocol: subscriptions are bound to the active SCE; the
// handshake runs flow control, subscribe-to-all-events and a patient list before
// Ready. Owns a second thread that sends the periodic flow-control message.
//
// Its jobs, one file each (the messages themselves are built in encode.cpp):
//   app_requests.cpp      construction, and the requests (subscriptions, publishing)
//   app_flow_control.cpp  the flow-control thread
//   app_handshake.cpp     the steps from Connected to Ready
//   app_handlers.cpp      what each incoming message does to the SCE state
class AppProtocol : public CSClientProtocol {
public:
    // Period of the flow-control message while Ready.
    static constexpr std::chrono::milliseconds kFlowControlPeriod{3000};
    // Larger subscriptions are sent in halves.
    static constexpr std::size_t kMaxRecordsPerSubscription = 120;

    explicit AppProtocol(int flags, std::unique_ptr<CSCommsInterface> transport = nullptr);
    ~AppProtocol() override;

    void handleMessage(const RawMessage& payload) override;

    int startFlowControl();
    void stopFlowControl();
    void setFlowControlPeriod(std::chrono::milliseconds p) { flowControlPeriod_ = p; }  // test seam

    int sceId() const { return sceId_.load(); }
    int patientId() const { return patientId_.load(); }
    int sceDetail() const { return sceDetail_.load(); }
    // An AppRunState, as its int value.
    int runState() const { return static_cast<int>(runState_.load()); }

protected:
    void onStateChange(int oldState, int newState) override;
    int requestServerInfo() override;
    int sendInputSubscription(const std::vector<InputRecord>& records) override;
    int sendInputUnsubscription(const std::vector<InputRecord>& records) override;
    int sendOutputSubscription(const std::vector<OutputRecord>& records) override;
    int sendOutputUnsubscription(const std::vector<OutputRecord>& records) override;
    int publishOutputs(const std::vector<OutputRecord>& records, int publishMode) override;

private:
    // Calls f on each registered callback that takes the SCE notifications.
    template <class F>
    void forAppCallbacks(const char* name, F&& f) {
        for (Callback* cb : callbacks().snapshot()) {
            if (auto* app = dynamic_cast<AppClient::Callback*>(cb)) {
                callbacks().call(cb, name, [&](Callback*) { f(app); });
            }
        }
    }
    void sceStatusReport(int sceId, int patientId, int detail, int status);
    // Sends a subscription for the active SCE; one larger than
    // kMaxRecordsPerSubscription goes in halves, each split again while too large,
    // and the first half that fails ends it.
    template <class Record>
    int sendSubscription(const std::vector<Record>& records, const char* what,
                         RawMessage (*build)(int, const std::vector<Record>&));
    void continueHandshake();
    void goReady();
    void registerWithSce();
    void handle(const std::monostate&) {}
    void handle(const app::FlowControlReply& m);
    void handle(const app::PatientList& m);
    void handle(const app::ParameterUpdate& m);
    void handle(const app::SceAnnouncement& m);
    void handle(const app::SceEndNotice& m);
    void handle(const app::InputReply& m);
    void handle(const app::OutputReply& m);
    void handle(const app::SceDetailNotice& m);
    void handle(const app::ServerVersionReply& m);
    void handle(const app::SceEvent& m);
    static void flowControlEntry(void* self);

    CSThread flowControlThread_;
    std::mutex flowControlMutex_;  // start and stop of the flow-control thread
    std::atomic<bool> flowControlStop_{false};
    halvex::platform::Signal flowControlSignal_;
    std::chrono::milliseconds flowControlPeriod_ = kFlowControlPeriod;
    std::atomic<int> patientId_{0};
    std::atomic<int> sceId_{0};
    std::atomic<int> sceDetail_{0};
    std::atomic<AppRunState> runState_{AppRunState::NotStarted};
};

}  // namespace com_krel
