#include "simlink/app_protocol.h"

#include "simlink/encode.h"

// The APP engine's second thread: one flow-control message per period while Ready.

namespace com_krel {

int AppProtocol::startFlowControl() {
    std::lock_guard<std::mutex> g(flowControlMutex_);
    if (flowControlThread_.isRunning()) return ResultFailed;
    flowControlStop_ = false;
    if (!flowControlThread_.start(&AppProtocol::flowControlEntry, this)) return ResultFailed;
    return ResultOk;
}

void AppProtocol::stopFlowControl() {
    std::lock_guard<std::mutex> g(flowControlMutex_);
    if (!flowControlThread_.isRunning()) return;
    flowControlStop_ = true;
    flowControlSignal_.notifyAll();
    flowControlThread_.join();
}

void AppProtocol::flowControlEntry(void* self) {
    auto* e = static_cast<AppProtocol*>(self);
    while (!e->flowControlStop_) {
        if (e->getState() == Ready) {
            try {
                e->sendMessage(app::buildFlowControlPeriodic());
            } catch (const std::exception& ex) {
                e->error(std::string("Flow control send failed: ") + ex.what());
            } catch (...) {
                e->error("Flow control send failed: unknown error");
            }
        }
        e->flowControlSignal_.waitFor(e->flowControlPeriod_, [e] { return e->flowControlStop_.load(); });
    }
}

}  // namespace com_krel
