#include "platform/instance_guard.h"

#include <windows.h>

namespace halvex::platform {

// The guard is a named kernel mutex. A "Global\" name is one per machine, across
// every user's session; Windows frees the name when the last handle to it closes,
// which happens however the process ended. Nobody ever waits on it: holding a handle
// is what holds the guard.

InstanceGuard::InstanceGuard(std::string name) : name_(std::move(name)) {}

InstanceGuard::~InstanceGuard() {
    if (handle_ != kNone) {
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
    }
}

bool InstanceGuard::tryAcquire() {
    if (handle_ != kNone) {
        return true;
    }
    const HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name_.c_str());
    if (mutex == nullptr) {
        // Access denied included: the name exists and belongs to a process we may
        // not open, which is another bridge all the same.
        return false;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return false;
    }
    handle_ = reinterpret_cast<std::uintptr_t>(mutex);
    return true;
}

std::string InstanceGuard::location() const { return "named mutex " + name_; }

}  // namespace halvex::platform
