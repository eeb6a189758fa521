#include "adaptor_v22/command_batch.h"

#include <utility>

namespace halvex::adaptor_v22 {

std::string CommandBatch::take() {
    std::string text = std::move(text_);
    text_.clear();
    return text;
}

}  // namespace halvex::adaptor_v22
