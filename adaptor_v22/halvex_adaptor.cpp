#include "halvex_adaptor.h"

#include <iostream>

bool HalvexAdaptor::initialize(const std::string&, const std::string&, const std::string&, const std::string&, bool) {
    std::cerr << "HX>ERROR>The Halvex v2.2 unit adaptor is not available in this build.\n" << std::flush;
    return false;
}
