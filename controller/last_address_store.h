#pragma once

#include <mutex>
#include <string>

namespace halvex::controller {

// The address of the last unit the bridge reached, kept in a file of a folder given
// at construction: "_lastconnectedIPAddress.txt", holding the address alone without
// a line end. One store per process is shared by every adaptor the program builds
// (both editions read and write it the same way); its operations are thread-safe.
class LastAddressStore {
public:
    static constexpr const char* kFileName = "_lastconnectedIPAddress.txt";

    explicit LastAddressStore(std::string folder);
    LastAddressStore(const LastAddressStore&) = delete;
    LastAddressStore& operator=(const LastAddressStore&) = delete;

    // The remembered address; empty when none.
    std::string address() const;
    void setAddress(const std::string& address);

    // Reads the file and keeps its text only when it is exactly one dotted IPv4
    // address (a trailing line end makes it unreadable), in canonical form; then
    // prints "Loaded last connected IP <address>". Anything else empties the address
    // and prints nothing.
    void load();
    // Remembers `address` and writes it to the file, truncating it. False when the
    // file could not be written (the address is still remembered).
    bool save(const std::string& address);

    std::string filePath() const;

private:
    const std::string folder_;
    mutable std::mutex lock_;  // guards address_; never held while printing
    std::string address_;
};

}  // namespace halvex::controller
