// The v2.2 unit's receive path: datagrams assembled into '@'-terminated replies, and
// the serial id read from an identification reply. The input is a row of datagrams,
// each a length byte and that many bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "adaptor_v22/discovery.h"
#include "adaptor_v22/reply_reader.h"
#include "fuzz/fuzz_support.h"

using halvex::adaptor_v22::ReplyReader;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ReplyReader reader;
    for (std::size_t at = 0; at < size;) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        const char* datagram = reinterpret_cast<const char*>(data) + at + 1;
        at += 1 + length;
        if (auto reply = reader.feed(datagram, length)) {
            halvex::fuzz::require(!reply->empty() && reply->back() == ReplyReader::kTerminator, "reply without '@'");
            const std::string serial = halvex::adaptor_v22::serialIdOfReply(*reply);
            halvex::fuzz::require(serial.size() < reply->size(), "serial id longer than its reply");
        }
        halvex::fuzz::require(reader.pending() < ReplyReader::kAccumulatorLimit, "reader holds too much");
    }
    return 0;
}
