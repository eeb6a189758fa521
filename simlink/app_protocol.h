#pragma once

#include <atomic>
#include <mutex>

#include "simlink/app_client.h"
#include "simlink/cs_client_protocol.h"

namespace com_krel {

// Engine of the APP protocol: subscriptions are bound to the active SCE; the
// handshake runs flow control, subscribe-to-all-events and a patient list before
// Ready. Owns a second thread that sends the periodic flow-control message.
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
    int runState() const { return runState_.load(); }

    // Payload builders (no I/O).
    static RawMessage buildFlowControlRequest();
    static RawMessage buildFlowControlPeriodic();
    static RawMessage buildSubscribeAllEvents();
    static RawMessage buildPatientListRequest();
    static RawMessage buildServerVersionRequest();
    static RawMessage buildInputSubscription(int sceId, const std::vector<InputRecord>& records);
    static RawMessage buildOutputSubscription(int sceId, const std::vector<OutputRecord>& records);
    static RawMessage buildServerIds(std::uint16_t type, int sceId, const std::vector<std::uint32_t>& ids);
    static RawMessage buildPublish(std::uint16_t type, int sceId, int publishMode,
                                   const std::vector<OutputRecord>& records);

protected:
    void onStateChange(int oldState, int newState) override;
    int requestServerInfo() override;
    int sendInputSubscription(const std::vector<InputRecord>& records) override;
    int sendInputUnsubscription(const std::vector<InputRecord>& records) override;
    int sendOutputSubscription(const std::vector<OutputRecord>& records) override;
    int sendOutputUnsubscription(const std::vector<OutputRecord>& records) override;
    int publishOutputs(const std::vector<OutputRecord>& records, int publishMode) override;

private:
    template <class F>
    void forAppCallbacks(const char* name, F&& f) {
        for (Callback* cb : copyCallbacks()) {
            if (auto* app = dynamic_cast<AppClient::Callback*>(cb)) {
                callOut(cb, name, [&](Callback*) { f(app); });
            }
        }
    }
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
    halvex::platform::net::Signal flowControlSignal_;
    std::chrono::milliseconds flowControlPeriod_ = kFlowControlPeriod;
    std::atomic<int> patientId_{0};
    std::atomic<int> sceId_{0};
    std::atomic<int> sceDetail_{0};
    std::atomic<int> runState_{0};
};

}  // namespace com_krel
