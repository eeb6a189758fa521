#include "adaptor_v22/reply_reader.h"

#include <algorithm>
#include <cstring>

namespace halvex::adaptor_v22 {

std::optional<std::string> ReplyReader::feed(const char* data, std::size_t size) {
    const std::size_t looked = std::min(size, kDatagramBytes);
    const void* nul = looked == 0 ? nullptr : std::memchr(data, '\0', looked);
    const std::size_t text = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - data) : looked;

    const std::size_t searchFrom = accumulator_.size();  // the text before had no terminator
    accumulator_.append(data, text);
    const std::size_t end = accumulator_.find(kTerminator, searchFrom);
    if (end != std::string::npos) {
        std::string reply = accumulator_.substr(0, end + 1);
        accumulator_.clear();
        return reply;
    }
    if (accumulator_.size() >= kAccumulatorLimit) {
        accumulator_.clear();
        ++discarded_;
    }
    return std::nullopt;
}

}  // namespace halvex::adaptor_v22
