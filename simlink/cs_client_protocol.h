#pragma once

// Simulator link: thread safety
//
// Threads (actors) of one engine:
//   - the user's threads: connect, disconnect, subscribeInputs, unsubscribeInputs,
//     registerCallback, destruction;
//   - the receiving thread (started by connect, joined by disconnect or the
//     destructor): connection attempts, reading, message handling, the handshake and
//     every callback driven by incoming data;
//   - the APP engine's flow-control thread (startFlowControl .. stopFlowControl, or
//     the destructor): periodic flow-control sends only.
//
// Callbacks: parametersUpdated, inputsRegistered, outputsRegistered and the SCE
// callbacks run on the receiving thread with no library lock held, on a snapshot of
// the callback set taken in pointer order. connectionStateChanged runs on whichever
// thread changes the state, with stateLock held. A callback must return quickly: while
// it runs no message is read, and a long wait there delays the reconnection and the
// stop of the client. It may call back into the same client (the locks are
// re-entrant), but must not destroy it. An exception thrown by a callback is caught,
// reported on standard error and the next message is handled.
//
// Lock order: stateLock before registryLock; callbackLock (the CallbackSet's) is
// innermost and never held while calling out. A write failure while registryLock is held defers the
// connection-loss handling (which takes stateLock) until registryLock is released.
// The transport's socketLock and sendLock are independent and never nested.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/wake_signal.h"
#include "simlink/callback_set.h"
#include "simlink/comms.h"
#include "simlink/cs_client.h"
#include "simlink/decode.h"
#include "simlink/frame_receiver.h"
#include "simlink/log.h"
#include "simlink/raw_message.h"
#include "simlink/registry.h"
#include "simlink/types.h"

namespace com_krel {

// The part of the link both protocols share. Its jobs, one file each:
//   cs_client_protocol.cpp       connection state machine and the receiving thread
//   cs_client_subscriptions.cpp  subscriptions, replies and updates (the registry,
//                                under registryLock, and the calls out they make)
// with the registry itself in registry.h, the reading in frame_receiver.h and the
// callback fan-out in callback_set.h.
class CSClientProtocol {
public:
    using Callback = CSClient::CallbackIface;

    // Pause between connection attempts, and after a lost link.
    static constexpr std::chrono::milliseconds kReconnectPause{1000};
    // How long disconnect waits for the receiving thread to end (two pauses).
    static constexpr std::chrono::milliseconds kDisconnectWait{2000};

    // transport: null gives the TCP transport.
    explicit CSClientProtocol(int flags, std::unique_ptr<CSCommsInterface> transport = nullptr);
    virtual ~CSClientProtocol();
    CSClientProtocol(const CSClientProtocol&) = delete;
    CSClientProtocol& operator=(const CSClientProtocol&) = delete;

    // 0: connecting has begun; 2: not Idle, or the receiving thread cannot start.
    int connect(std::uint32_t address, int port, const BufferSizes* sizes);
    void stop();
    // stop, then wait (bounded) for the receiving thread to end.
    void disconnect();
    // stop, wait for the receiving thread to end and join it. Derived engines call
    // it first in their destructors, so the thread never sees a half-destroyed engine.
    void shutdown();

    bool registerCallback(Callback* callback) { return callbacks_.add(callback); }
    int getState() const { return state_.load(); }
    bool hasFlags(int mask) const { return (flags_ & mask) == mask; }

    virtual int subscribeInputs(const std::vector<ParameterRequest>& inputs);
    virtual int unsubscribeInputs(const std::vector<std::string>& ids);
    // Adds output records (fresh ids only) and sends their subscription.
    int subscribeOutputs(const std::vector<OutputRecord>& outputs);

    // Called with each complete incoming payload, on the receiving thread.
    virtual void handleMessage(const RawMessage& payload) = 0;

    // Frames and sends a payload: 0 sent, 1 link not up, 2 write failed, 3 bad kind.
    int sendMessage(const RawMessage& payload);

    int pendingInputs();
    int pendingOutputs();
    std::string serverVersion();
    int protocolVersion() const { return protocolVersion_.load(); }

    // Test seams; set before connect.
    void setLogSink(LogSink sink) { log_ = std::move(sink); }
    void setReconnectPause(std::chrono::milliseconds pause) { reconnectPause_ = pause; }

protected:
    virtual void onStateChange(int oldState, int newState);
    virtual int requestServerInfo() = 0;
    virtual int sendInputSubscription(const std::vector<InputRecord>& records) = 0;
    virtual int sendInputUnsubscription(const std::vector<InputRecord>& records) = 0;
    virtual int sendOutputSubscription(const std::vector<OutputRecord>& records) = 0;
    virtual int sendOutputUnsubscription(const std::vector<OutputRecord>& records) = 0;
    virtual int publishOutputs(const std::vector<OutputRecord>& records, int publishMode) = 0;

    // Changes the state and tells the callbacks; returns the old state. Callers
    // hold stateLock.
    int setState(int newState);
    void handleConnectionLoss();
    void reRegisterInputs();
    void reRegisterOutputs();
    void clearRegistry();
    // Every subscription becomes pending: the server ids the server gave are dropped.
    void forgetServerIds();
    const CallbackSet& callbacks() const { return callbacks_; }
    // Connected or Ready: a message can be sent.
    bool linkUp() const {
        const int s = state_.load();
        return s == Connected || s == Ready;
    }

    // Subscription and unsubscription sends report "link not up" as success: the
    // records stay held and go out with the next re-registration.
    static int asSubscriptionResult(int r) { return r == ResultNotConnected ? ResultOk : r; }

    // The current value an input reply entry carries for its record; none when the
    // record's type has no value.
    using ReplyValue = std::function<std::optional<ParameterValue>(const InputReplyEntry&, const InputRecord&)>;
    // The value an update entry carries for the id registered under its server id;
    // record is null when that id is no longer subscribed.
    using UpdateValue = std::function<std::optional<ParameterValue>(const UpdateEntry&, const std::string& id,
                                                                    const InputRecord* record)>;

    // Binds the server ids of a decoded input reply to the subscribed ids (others are
    // skipped silently), then calls inputsRegistered and parametersUpdated with the
    // current values on every callback, even with empty lists. `what` names the
    // parameters in the registration lines ("SE input", "APP input").
    void acceptInputReply(const std::vector<InputReplyEntry>& entries, const char* what, const ReplyValue& valueOf);
    // Binds the server ids of a decoded output reply (an id not held is reported),
    // calls outputsRegistered on every callback and returns the records to publish on
    // registration.
    std::vector<OutputRecord> acceptOutputReply(const std::vector<OutputReplyEntry>& entries, const char* what);
    // Turns the entries of a decoded parameter update into values for the registered
    // ids and calls parametersUpdated when there is any.
    void deliverUpdate(const std::vector<UpdateEntry>& entries, const UpdateValue& valueOf);

    void info(const std::string& line) {
        if (!hasFlags(Quiet)) log_(false, line);
    }
    void error(const std::string& line) { log_(true, line); }
    void quietError(const std::string& line) {
        if (!hasFlags(Quiet)) log_(true, line);
    }

    // Holds registryLock; on the outermost release runs a connection-loss handling
    // that a failed write deferred while the lock was held.
    class RegistryHold {
    public:
        explicit RegistryHold(CSClientProtocol& e);
        ~RegistryHold();
        RegistryHold(const RegistryHold&) = delete;
        RegistryHold& operator=(const RegistryHold&) = delete;

    private:
        CSClientProtocol& e_;
    };

    void setServerVersion(const std::string& v);
    void setProtocolVersion(int v) { protocolVersion_ = v; }

    CSMutex stateLock_;
    CSMutex registryLock_;
    Registry registry_;  // under registryLock_

    LogSink log_ = printLine;
    // What reading reports: nothing once a stop has begun, when the connection's end
    // is the stop's own doing (disconnect wakes the read by shutting the socket down).
    const LogSink readLog_ = [this](bool isError, const std::string& line) {
        if (!stoppingOrIdle()) log_(isError, line);
    };

private:
    // The checks every id of a new subscription passes; prints why one fails.
    bool newIdAccepted(const std::string& id, bool alreadyHeld);
    static void receiveThreadEntry(void* self);
    void receiveLoop();
    void connectionAttempt();
    void readMessage();
    void pause();
    bool stoppingOrIdle() const {
        const int s = state_.load();
        return s == Idle || s == Stopping;
    }
    bool onReceivingThread() const { return receiveThread_.isCurrent(); }

    CallbackSet callbacks_{log_};
    std::atomic<std::uint32_t> address_{0};
    std::atomic<int> port_{0};
    const int flags_;
    BufferSizes bufferSizes_;  // under stateLock_
    std::string serverVersion_ = "UNKNOWN";
    std::mutex versionMutex_;
    std::atomic<int> protocolVersion_{0};
    std::atomic<int> state_{Idle};
    std::unique_ptr<CSCommsInterface> transport_;
    FrameReceiver receiver_;  // the receiving thread's alone
    CSThread receiveThread_;
    // True from connect until the receiving thread has left its loop.
    std::atomic<bool> threadActive_{false};
    // A failed attempt or lost link asks the receiving thread for a pause before
    // the next attempt, so no other thread ever sleeps in the loss handling.
    std::atomic<bool> pausePending_{false};
    std::chrono::milliseconds reconnectPause_ = kReconnectPause;
    halvex::platform::Signal stateSignal_;

    std::atomic<std::thread::id> registryOwner_{};
    int registryDepth_ = 0;      // written by the holder of registryLock_ only
    bool lossDeferred_ = false;  // under registryLock_
};

}  // namespace com_krel
