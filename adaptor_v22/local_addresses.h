#pragma once

// Where broadcast detection gets this machine's IPv4 addresses from. The source is
// given to the adaptor: the programs use the machine's own addresses, tests give a
// list of 127.x addresses so that nothing is ever sent to a real network.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace halvex::adaptor_v22 {

// The local addresses as dotted texts, or none when they cannot be found out.
using LocalAddressSource = std::function<std::optional<std::vector<std::string>>()>;

// The machine's IPv4 addresses, found by resolving its host name for datagram
// sockets (address-configured), in the resolver's order. None when that fails.
std::optional<std::vector<std::string>> machineIPv4Addresses();

// A source that always gives `addresses`.
LocalAddressSource fixedLocalAddresses(std::vector<std::string> addresses);

// Every bit outside this mask is set to make a local address's broadcast address,
// whatever the interface's real mask: 192.168.1.20 gives 192.168.255.255.
inline constexpr unsigned long kBroadcastMask = 0xFFFF0000UL;  // 255.255.0.0

// The broadcast address of a dotted IPv4 address; empty text when it is not one.
std::string broadcastAddressOf(const std::string& localAddress);

}  // namespace halvex::adaptor_v22
