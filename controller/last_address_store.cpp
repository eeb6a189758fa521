#include "controller/last_address_store.h"

#include <fstream>
#include <iterator>

#include <boost/asio/ip/address_v4.hpp>

#include "platform/line_sink.h"

namespace halvex::controller {

LastAddressStore::LastAddressStore(std::string folder) : folder_(std::move(folder)) {}

std::string LastAddressStore::filePath() const {
    if (folder_.empty()) {
        return kFileName;
    }
    const char last = folder_.back();
    return folder_ + (last == '/' || last == '\\' ? "" : "/") + kFileName;
}

std::string LastAddressStore::address() const {
    std::lock_guard<std::mutex> guard(lock_);
    return address_;
}

void LastAddressStore::setAddress(const std::string& address) {
    std::lock_guard<std::mutex> guard(lock_);
    address_ = address;
}

void LastAddressStore::load() {
    std::string loaded;
    std::ifstream file(filePath(), std::ios::binary);
    if (file) {
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        boost::system::error_code code;
        const boost::asio::ip::address_v4 parsed = boost::asio::ip::make_address_v4(text, code);
        if (!code) {
            loaded = parsed.to_string();
        }
    }
    setAddress(loaded);
    if (!loaded.empty()) {
        platform::printOut("Loaded last connected IP " + loaded);
    }
}

bool LastAddressStore::save(const std::string& address) {
    setAddress(address);
    std::ofstream file(filePath(), std::ios::binary | std::ios::trunc);
    if (!file) {
        return false;
    }
    file << address;
    file.flush();
    return static_cast<bool>(file);
}

}  // namespace halvex::controller
