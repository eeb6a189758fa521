#include "adaptor_v22/halvex_adaptor.h"

#include "platform/line_sink.h"

namespace halvex::v22 {

bool HalvexAdaptor::initialize(const std::string&, const std::string&, const std::string&, const std::string&, bool) {
    halvex::platform::printErr("HX>ERROR>The Halvex v2.2 unit adaptor is not available in this build.");
    return false;
}

}  // namespace halvex::v22
