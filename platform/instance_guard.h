#pragma once

#include <string>

namespace halvex::platform {

// A named, system-wide guard that at most one process holds at a time.
//
// tryAcquire() is called once; the guard is then held until the process ends. The
// operating system releases it when the process dies in any way (SIGKILL included),
// so a crashed bridge never blocks the next start.
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
    int handle_ = -1;
};

}  // namespace halvex::platform
