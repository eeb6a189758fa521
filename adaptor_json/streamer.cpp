#include "adaptor_json/streamer.h"

#include "platform/line_sink.h"

namespace halvex::json {

Streamer::Streamer(PendingMessages& messages, std::function<bool()> mayStream, Send send)
    : messages_(messages), mayStream_(std::move(mayStream)), send_(std::move(send)) {}

Streamer::~Streamer() { stop(); }

void Streamer::start() {
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { run(); });
    }
}

bool Streamer::started() const { return thread_.joinable(); }

void Streamer::requestStop() {
    {
        std::lock_guard<std::mutex> guard(stopLock_);
        stopRequested_ = true;
    }
    stopSignal_.notify_all();
}

void Streamer::stop() {
    requestStop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool Streamer::waitForStop(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> guard(stopLock_);
    return stopSignal_.wait_for(guard, pause, [this] { return stopRequested_; });
}

void Streamer::pass() {
    const PendingMessages::Snapshot snapshot = messages_.take();
    if (!snapshot.vitals.empty()) {
        send_(snapshot.vitals);
    }
    if (!snapshot.waveform.empty()) {
        send_(snapshot.waveform);
    }
}

void Streamer::run() {
    try {
        using Clock = std::chrono::steady_clock;
        Clock::time_point slotStart = Clock::now();
        for (;;) {
            if (!mayStream_()) {
                if (waitForStop(kIdlePause)) {
                    return;
                }
                continue;
            }
            const Clock::time_point slotEnd = slotStart + kSlot;
            {
                std::unique_lock<std::mutex> guard(stopLock_);
                if (stopSignal_.wait_until(guard, slotEnd, [this] { return stopRequested_; })) {
                    return;
                }
            }
            slotStart = slotEnd;
            try {
                pass();
            } catch (const std::exception& error) {
                platform::printErr(std::string("HX>ERROR>sendVitalWaveDataThread: ") + error.what());
            } catch (...) {
                platform::printErr("HX>ERROR>sendVitalWaveDataThread: unknown exception");
            }
        }
    } catch (const std::exception& error) {
        platform::printOut(std::string("exiting sendVitalWaveDataThread loop...\n") + error.what());
        platform::printErr(std::string("HX>ERROR>sendVitalWaveDataThread: ") + error.what());
    } catch (...) {
        platform::printOut("exiting sendVitalWaveDataThread loop...\nunknown exception");
        platform::printErr("HX>ERROR>sendVitalWaveDataThread: unknown exception");
    }
}

}  // namespace halvex::json
