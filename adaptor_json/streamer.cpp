#include "adaptor_json/streamer.h"

#include "platform/line_sink.h"

namespace halvex::adaptor_json {

Streamer::Streamer(PendingMessages& messages, InterruptibleSleep& pauses, std::function<bool()> mayStream, Send send)
    : messages_(messages), pauses_(pauses), mayStream_(std::move(mayStream)), send_(std::move(send)) {}

Streamer::~Streamer() { stop(); }

void Streamer::start() {
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { run(); });
    }
}

bool Streamer::started() const { return thread_.joinable(); }

void Streamer::stop() {
    pauses_.interrupt();
    if (thread_.joinable()) {
        thread_.join();
    }
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
                if (pauses_.sleepFor(kIdlePause)) {
                    return;
                }
                continue;
            }
            const Clock::time_point slotEnd = slotStart + kSlot;
            if (pauses_.sleepUntil(slotEnd)) {
                return;
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

}  // namespace halvex::adaptor_json
