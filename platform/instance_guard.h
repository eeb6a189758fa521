#pragma once

#include <cstdint>
#include <string>

namespace halvex::platform {

// A named, system-wide guard that at most one process holds at a time, whichever
// user started it.
//
// tryAcquire() is called once; the guard is then held until the process ends. The
// operating system releases it when the process ends in any way (SIGKILL included),
// and it leaves nothing behind, so neither a crashed bridge nor a file of another
// user can block the next start.
class InstanceGuard {
public:
    explicit InstanceGuard(std::string name);
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // True when this process now holds the guard; false when another process holds
    // it or the guard could not be created.
    bool tryAcquire();

    // Where the guard lives on this platform (for messages and documentation).
    std::string location() const;

private:
    std::string name_;
    // The system object that holds the name; kNone while not held.
    static constexpr std::uintptr_t kNone = ~std::uintptr_t{0};
    std::uintptr_t handle_ = kNone;
};

}  // namespace halvex::platform
