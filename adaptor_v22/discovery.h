#pragma once

// Finding the unit, taking it and watching it: discovery by fixed address, address
// range or broadcast; identification by serial id; association, enabling, disabling,
// the watchdog and the association check. Works through a CommandPath; remembers the
// address that last led to a unit in the process-wide LastAddressStore.
//
// Not thread-safe: one operation at a time (see halvex_adaptor.h). Waiting is done by
// the transport's bounded waits, on the caller's thread.

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "adaptor_v22/command_path.h"
#include "adaptor_v22/local_addresses.h"
#include "controller/last_address_store.h"

namespace halvex::adaptor_v22 {

using controller::LastAddressStore;

// How hard discovery tries. Budgets count silent waits for an identification reply
// (ReplyWaits: about 600 ms each).
struct DiscoveryLimits {
    static constexpr int kAttempts = 10;
    static constexpr std::chrono::milliseconds kAttemptPause{100};
    static constexpr int kFixedBudget = 10;
    static constexpr int kRangeBudget = 3;  // each range address and the last address
    static constexpr int kBroadcastBudget = 10;
    // Replies that carry no serial id or another unit's do not count against the
    // budget; this many of them end the identification, so a chattering peer cannot
    // hold it for ever.
    static constexpr int kIgnoredReplies = 64;

    int attempts = kAttempts;
    std::chrono::milliseconds attemptPause = kAttemptPause;
    int fixedBudget = kFixedBudget;
    int rangeBudget = kRangeBudget;
    int broadcastBudget = kBroadcastBudget;
    int ignoredReplies = kIgnoredReplies;
};

// A range whose start is not below its end. The entry point prints "HX>ERROR>" and the
// text, and ends the process with status 1.
class InvalidRangeError : public std::runtime_error {
public:
    InvalidRangeError() : std::runtime_error("IP Range incorrect, end address > start address") {}
};

// The serial id in an identification reply: the text between its last ':' and its
// last '@'; empty when there is none.
std::string serialIdOfReply(const std::string& reply);

class UnitFinder {
public:
    static constexpr const char* kIdentificationRequest = "[ID]Halvex v2.2@";
    static constexpr const char* kIdentificationMark = "Halvex v2.2:";

    UnitFinder(CommandPath& path, std::shared_ptr<LastAddressStore> lastAddress, LocalAddressSource localAddresses,
               DiscoveryLimits limits);

    bool initialize(const std::string& serialId, const std::string& fixedAddress, const std::string& rangeStart,
                    const std::string& rangeEnd, bool retryForever);
    bool identifyUnit(const std::string& serialId, const std::string& address, int budget);
    // Raises InvalidRangeError, or boost::system::system_error for a text that is no
    // dotted IPv4 address.
    bool scanAddressRange(const std::string& serialId, const std::string& start, const std::string& end);
    bool detectByBroadcast(const std::string& serialId);

    void associate();
    void disable();
    bool checkAssociation();
    void enableWatchdog();

    // Any thread: discovery gives up at its next wait for a reply (within about
    // ReplyWaits' 600 ms) and every later search fails at once, without its lines.
    void interrupt() { interrupted_ = true; }

    const std::string& serialId() const { return serialId_; }
    const std::string& unitAddress() const { return unitAddress_; }
    bool found() const { return found_; }

private:
    void take(const std::string& serialId, const std::string& sender);

    CommandPath& path_;
    const std::shared_ptr<LastAddressStore> lastAddress_;
    const LocalAddressSource localAddresses_;
    const DiscoveryLimits limits_;
    std::string serialId_;
    std::string unitAddress_;
    bool found_ = false;
    std::atomic<bool> interrupted_{false};
};

}  // namespace halvex::adaptor_v22
