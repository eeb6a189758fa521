#include "adaptor_v22/local_addresses.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/udp.hpp>

#include "adaptor_v22/udp_transport.h"

namespace halvex::adaptor_v22 {

namespace asio = boost::asio;

std::optional<std::vector<std::string>> machineIPv4Addresses() {
    boost::system::error_code error;
    const std::string host = asio::ip::host_name(error);
    if (error)
        return std::nullopt;
    asio::io_context io;
    asio::ip::udp::resolver resolver(io);
    const auto results = resolver.resolve(host, std::to_string(kUnitPort), error);
    if (error)
        return std::nullopt;
    std::vector<std::string> addresses;
    for (const auto& entry : results) {
        const asio::ip::address address = entry.endpoint().address();
        if (address.is_v4())
            addresses.push_back(address.to_string());
    }
    return addresses;
}

LocalAddressSource fixedLocalAddresses(std::vector<std::string> addresses) {
    return [addresses = std::move(addresses)]() -> std::optional<std::vector<std::string>> { return addresses; };
}

std::string broadcastAddressOf(const std::string& localAddress) {
    boost::system::error_code error;
    const asio::ip::address_v4 address = asio::ip::make_address_v4(localAddress, error);
    if (error)
        return {};
    const auto bits = static_cast<asio::ip::address_v4::uint_type>(address.to_uint() | ~kBroadcastMask);
    return asio::ip::address_v4(bits).to_string();
}

}  // namespace halvex::adaptor_v22
