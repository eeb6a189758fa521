#include "simlink/app_protocol.h"

#include "simlink/encode.h"

// Construction of the APP engine, and its requests: subscriptions bound to the active
// SCE, unsubscriptions, publishing and the server version request.

namespace com_krel {

AppProtocol::AppProtocol(int flags, std::unique_ptr<CSCommsInterface> transport)
    : CSClientProtocol(flags, std::move(transport)) {}

AppProtocol::~AppProtocol() {
    stopFlowControl();
    shutdown();
}

int AppProtocol::requestServerInfo() {
    info("Sending server version request...");
    return sendMessage(app::buildServerVersionRequest());
}

template <class Record>
int AppProtocol::sendSubscription(const std::vector<Record>& records, const char* what,
                                  RawMessage (*build)(int, const std::vector<Record>&)) {
    // Without an active SCE the records are held, to be sent when one starts.
    const int sce = sceId_;
    if (records.empty() || sce == 0) return ResultOk;
    if (records.size() > kMaxRecordsPerSubscription) {
        info(std::string("Splitting large ") + what + " subscription: " + std::to_string(records.size()) +
             " parameters requested");
        const auto half = records.begin() + static_cast<std::ptrdiff_t>(records.size() / 2);
        int r = sendSubscription(std::vector<Record>(records.begin(), half), what, build);
        if (r == ResultOk) r = sendSubscription(std::vector<Record>(half, records.end()), what, build);
        return r;
    }
    return asSubscriptionResult(sendMessage(build(sce, records)));
}

int AppProtocol::sendInputSubscription(const std::vector<InputRecord>& records) {
    return sendSubscription(records, "input", &app::buildInputSubscription);
}

int AppProtocol::sendOutputSubscription(const std::vector<OutputRecord>& records) {
    return sendSubscription(records, "output", &app::buildOutputSubscription);
}

int AppProtocol::sendInputUnsubscription(const std::vector<InputRecord>& records) {
    if (records.empty()) return ResultOk;
    const int sce = sceId_;
    if (sce == 0) return ResultNoActiveSce;
    info("Unsubscribing from " + std::to_string(records.size()) + " inputs for SIM ID: " + std::to_string(sce));
    return asSubscriptionResult(sendMessage(app::buildInputUnsubscription(sce, serverIdsOf(records))));
}

int AppProtocol::sendOutputUnsubscription(const std::vector<OutputRecord>& records) {
    if (records.empty()) return ResultOk;
    const int sce = sceId_;
    if (sce == 0) return ResultOk;
    info("Unsubscribing from " + std::to_string(records.size()) + " outputs for SCE ID: " + std::to_string(sce));
    return asSubscriptionResult(sendMessage(app::buildOutputUnsubscription(sce, serverIdsOf(records))));
}

int AppProtocol::publishOutputs(const std::vector<OutputRecord>& records, int publishMode) {
    if (records.empty()) return ResultOk;
    const int sce = sceId_;
    if (sce == 0) return ResultNoActiveSce;
    const std::uint16_t type = hasFlags(AltPublish) ? app::kPublishOutputsAlt : app::kPublishOutputs;
    return asSubscriptionResult(sendMessage(app::buildPublish(type, sce, publishMode, records)));
}

}  // namespace com_krel
