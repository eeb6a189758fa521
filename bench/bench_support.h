#pragma once

// What the whole-program benchmarks share: the bridge's CPU time, percentiles, and the
// simulated patient fed to the simulator stand-in at the full load, each batch tagged so
// that the unit's side can tell which batch completed a send cycle.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "emulators/sim_server/patient.h"
#include "emulators/sim_server/sim_server_emulator.h"

namespace bench {

using Clock = std::chrono::steady_clock;

// The bridge's CPU time so far (user + system), in seconds; nothing when unreadable.
inline std::optional<double> cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return std::nullopt;
    // The command name is in parentheses and may hold spaces: count fields after it.
    const auto close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Field 3 (state) is the first after the name; utime and stime are fields 14, 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14) utime = std::stoull(field);
        if (n == 15) stime = std::stoull(field);
    }
    if (!fields) return std::nullopt;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return std::nan("");
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
    return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

inline double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The simulated patient at the full load: one batch of five waveforms every 60 ms
// (ARTLINE samples all equal to the batch's tag, kTagBase + n % kTagCount) and the
// numerics re-sent once a second with their current values, as a running simulation
// refreshes them.
class PatientFeed {
public:
    static constexpr int kTagBase = 50;
    static constexpr int kTagCount = 200;
    static constexpr std::chrono::milliseconds kBatchInterval{60};
    static constexpr std::chrono::seconds kNumericsInterval{1};

    PatientFeed(halvex::emulators::sim_server::SimServerEmulator& server, std::vector<std::string> numerics)
        : server_(server), numerics_(std::move(numerics)) {}

    // Feeds until `until`, or until `done` says so when given.
    void run(Clock::time_point until, const std::function<bool()>& done) {
        for (;;) {
            const auto now = Clock::now();
            if (now >= until || (done && done())) return;
            if (now >= nextNumerics_) {
                std::vector<std::pair<std::string, double>> values;
                for (const std::string& id : numerics_)
                    if (const auto v = server_.value(id)) values.emplace_back(id, *v);
                server_.setValues(values);
                nextNumerics_ += kNumericsInterval;
            }
            if (now >= nextBatch_) {
                auto batch = waves_.nextBatch(server_);
                const double tag = kTagBase + static_cast<double>(batchSent_.size() % kTagCount);
                for (auto& entry : batch)
                    if (entry.first == "ARTLINE") entry.second = tag;
                batchSent_.push_back(Clock::now());
                server_.setValues(batch);
                nextBatch_ += kBatchInterval;
                if (nextBatch_ < now) nextBatch_ = now + kBatchInterval;  // fell behind: do not burst
            }
            std::this_thread::sleep_until(std::min({nextBatch_, nextNumerics_, until}));
        }
    }

    std::size_t batches() const { return batchSent_.size(); }

    // When the batch named by `tag` that reached the unit at `arrival` was sent: the
    // latest batch with that tag sent before the arrival; nothing for a foreign tag.
    std::optional<Clock::time_point> sentBefore(long tag, Clock::time_point arrival) const {
        if (tag < kTagBase || tag >= kTagBase + kTagCount) return std::nullopt;
        std::optional<Clock::time_point> sent;
        for (std::size_t n = static_cast<std::size_t>(tag - kTagBase); n < batchSent_.size(); n += kTagCount) {
            if (batchSent_[n] > arrival) break;
            sent = batchSent_[n];
        }
        return sent;
    }

private:
    halvex::emulators::sim_server::SimServerEmulator& server_;
    const std::vector<std::string> numerics_;
    halvex::emulators::sim_server::WaveformGenerator waves_;
    std::vector<Clock::time_point> batchSent_;  // index = batch number
    Clock::time_point nextBatch_ = Clock::now();
    Clock::time_point nextNumerics_ = nextBatch_;
};

// The machine's timer floor, measured beside a run: a thread of its own sleeps to a
// fixed 60 ms schedule on the steady clock and records how late it wakes. A stream's
// deviation from its slots reads against these figures.
class TimerFloor {
public:
    static constexpr std::chrono::milliseconds kPeriod{60};

    TimerFloor()
        : thread_([this] {
              auto next = Clock::now() + kPeriod;
              while (!stop_.load()) {
                  std::this_thread::sleep_until(next);
                  lateness_.push_back(ms(Clock::now() - next));
                  next += kPeriod;
              }
          }) {}
    ~TimerFloor() { finish(); }
    TimerFloor(const TimerFloor&) = delete;
    TimerFloor& operator=(const TimerFloor&) = delete;

    // Ends the measurement; the figures are read after it.
    void finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // "p50 0.06 / p99 0.21 / max 1.30 ms late over 500 wake-ups"
    std::string summary() {
        finish();
        if (lateness_.empty()) return "no wake-ups";
        char text[160];
        std::snprintf(text, sizeof text, "p50 %.3f / p99 %.3f / max %.3f ms late over %zu wake-ups",
                      percentile(lateness_, 50), percentile(lateness_, 99),
                      *std::max_element(lateness_.begin(), lateness_.end()), lateness_.size());
        return text;
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<double> lateness_;  // the thread's own until finish() joined it
    std::thread thread_;
};

}  // namespace bench
