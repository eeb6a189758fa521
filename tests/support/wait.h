#pragma once

// Bounded waits for a state that another thread or process reaches and no event
// announces (a connection count, a file's content, a page's state): the test polls it
// and gives up at a named limit instead of sleeping and hoping.

#include <chrono>
#include <thread>

namespace halvex::test {

// The limit of a wait that names none: long enough for a loaded machine under the
// sanitizers, short enough that a test that cannot pass ends well before CTest's own.
constexpr std::chrono::milliseconds kWaitLimit{10000};
// How often the state is looked at.
constexpr std::chrono::milliseconds kWaitPoll{5};

// Polls `done` until it holds (true) or `limit` has passed (false). `done` is called
// at least once, and once more after the limit has passed, so a state reached during
// the last pause still counts.
template <typename Done>
bool eventually(Done&& done, std::chrono::milliseconds limit = kWaitLimit,
                std::chrono::milliseconds poll = kWaitPoll) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const bool last = std::chrono::steady_clock::now() >= deadline;
        if (done()) return true;
        if (last) return false;
        std::this_thread::sleep_for(poll);
    }
}

}  // namespace halvex::test
