#include "adaptor_v22/discovery.h"

#include <boost/asio/ip/address_v4.hpp>

#include <thread>

#include "adaptor_v22/command_text.h"
#include "platform/line_sink.h"

namespace halvex::adaptor_v22 {

using platform::printErr;
using platform::printOut;

std::string serialIdOfReply(const std::string& reply) {
    const std::size_t colon = reply.rfind(':');
    const std::size_t end = reply.rfind('@');
    if (colon == std::string::npos || end == std::string::npos || end <= colon + 1)
        return {};
    return reply.substr(colon + 1, end - colon - 1);
}

UnitFinder::UnitFinder(CommandPath& path, std::shared_ptr<LastAddressStore> lastAddress,
                       LocalAddressSource localAddresses, DiscoveryLimits limits)
    : path_(path), lastAddress_(std::move(lastAddress)), localAddresses_(std::move(localAddresses)), limits_(limits) {}

bool UnitFinder::initialize(const std::string& serialId, const std::string& fixedAddress,
                            const std::string& rangeStart, const std::string& rangeEnd, bool retryForever) {
    printOut("HX>Initialization of the Halvex adapter...");
    if (lastAddress_->address().empty())
        lastAddress_->load();
    found_ = false;
    int attemptsLeft = limits_.attempts;
    while (attemptsLeft > 0 && !interrupted_) {
        if (!retryForever)
            --attemptsLeft;
        bool result;
        // The method is chosen again, and announced, on every attempt.
        if (!fixedAddress.empty()) {
            printOut("Fixed IP configured: " + fixedAddress);
            result = identifyUnit(serialId, fixedAddress, limits_.fixedBudget);
        } else if (!rangeStart.empty() && !rangeEnd.empty()) {
            printOut("Range of IPs configured: " + rangeStart + " to " + rangeEnd);
            result = scanAddressRange(serialId, rangeStart, rangeEnd);
        } else {
            printOut("UDP broadcast detection");
            result = detectByBroadcast(serialId);
        }
        if (result)
            break;
        std::this_thread::sleep_for(limits_.attemptPause);
        if (found_)
            break;
    }
    return found_;
}

void UnitFinder::take(const std::string& serialId, const std::string& sender) {
    serialId_ = serialId;
    unitAddress_ = sender;
    found_ = true;
}

bool UnitFinder::identifyUnit(const std::string& requested, const std::string& address, int budget) {
    path_.openTransport(address);
    disable();
    path_.sendDatagram(kIdentificationRequest);

    bool taken = false;
    int timeouts = 0;
    int ignored = 0;
    while (timeouts < budget && ignored < limits_.ignoredReplies && !interrupted_) {
        std::string reply, sender;
        if (!path_.waitReplyWithSender(reply, sender)) {
            ++timeouts;
            continue;
        }
        // A reply without a serial id (our own request heard back, say) is no unit.
        const std::string serial = serialIdOfReply(reply);
        if (serial.empty()) {
            ++ignored;
            continue;
        }
        printOut("HX>Found Halvex with serial Id: " + serial + " at endpoint: " + sender);
        if (requested.empty()) {
            take(serial, sender);
            printOut("HX>SerialId not provided, connecting to first Halvex: " + serialId_);
            taken = true;
            break;
        }
        if (requested == serial) {
            take(serial, sender);
            printOut("HX>Found Halvex with requested SerialId: " + serialId_);
            taken = true;
            break;
        }
        ++ignored;
    }

    if (taken) {
        // The address the request went to: during broadcast detection, the broadcast
        // address.
        lastAddress_->save(address);
    } else {
        // A search ended by the bridge's stop is no failure to report.
        if (!interrupted_) {
            if (requested.empty())
                printOut("HX>Failed to find any Halvex on IP " + address);
            else
                printOut("HX>Failed to find Halvex on IP " + address + " with SerialId: " + requested);
        }
        path_.releaseTransport();
    }
    return taken;
}

bool UnitFinder::scanAddressRange(const std::string& requested, const std::string& start, const std::string& end) {
    using boost::asio::ip::address_v4;
    const address_v4::uint_type first = boost::asio::ip::make_address_v4(start).to_uint();
    const address_v4::uint_type last = boost::asio::ip::make_address_v4(end).to_uint();
    // Leaves through the entry point, which prints the line and ends with status 1
    // after an orderly unwind (a one-address range is configured as the fixed address).
    if (first >= last)
        throw InvalidRangeError();
    for (address_v4::uint_type current = first; !interrupted_; ++current) {
        // The last address that led to a unit goes before every address of the range.
        const std::string previous = lastAddress_->address();
        if (!previous.empty()) {
            printOut("Trying last successful IP address " + previous);
            if (identifyUnit(requested, previous, limits_.rangeBudget)) {
                found_ = true;
                return true;
            }
        }
        const std::string address = address_v4(current).to_string();
        printOut("Scanning " + address);
        if (identifyUnit(requested, address, limits_.rangeBudget)) {
            found_ = true;
            return true;
        }
        if (current == last)
            return false;
    }
    return false;
}

bool UnitFinder::detectByBroadcast(const std::string& requested) {
    const std::optional<std::vector<std::string>> locals = localAddresses_ ? localAddresses_() : std::nullopt;
    if (!locals) {
        printErr("HX>Unable to find a network interface...");
        return false;
    }
    for (const std::string& local : *locals) {
        if (interrupted_)
            return false;
        const std::string broadcast = broadcastAddressOf(local);
        if (broadcast.empty())
            continue;  // not IPv4
        printOut("HX>Pinging " + broadcast);
        if (identifyUnit(requested, broadcast, limits_.broadcastBudget)) {
            found_ = true;
            // From here on, talk to the unit itself rather than to everyone.
            path_.openTransport(unitAddress_);
            return true;
        }
    }
    return false;
}

void UnitFinder::associate() {
    if (!found_ || path_.enabled())
        return;
    if (path_.queryCommand("ASSOC", serialId_) != "[assoc]@")
        return;
    const std::string reply = path_.queryCommand("ENABLE", "");
    if (reply != "[enabled]@") {
        printErr("HX>ERROR>Unable to associate to the HX unit " + reply);
        return;
    }
    path_.setEnabled(true);
    printOut("HX>Enabled");
    enableWatchdog();
}

void UnitFinder::disable() {
    if (!path_.enabled())
        return;
    if (path_.queryCommand("DISABLE", "") == "[disabled]@")
        printOut("HX>Disabled");
    path_.setEnabled(false);
}

bool UnitFinder::checkAssociation() {
    // An associated unit does not answer the identification request as a free one
    // does; silence is not taken for a lost unit.
    const std::string reply = path_.queryCommand("ID", "Halvex v2.2");
    if (reply.find(kIdentificationMark) != std::string::npos) {
        printErr("HX>ERROR>Halvex unit is not associated anymore. Wrong response to ID request: " + reply);
        return false;
    }
    return true;
}

void UnitFinder::enableWatchdog() {
    const std::string reply = path_.queryCommand("WDT", integerPayload(1));
    if (reply == "[wdt]ok@")
        printOut("HX>Watchdog enabled");
    else
        printErr("HX>ERROR>Failed to enable watchdog " + reply);
    path_.sendCommand("PLETH", "0");
    path_.sendCommand("CO2", "0");
}

}  // namespace halvex::adaptor_v22
