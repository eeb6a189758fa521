#pragma once

// The monitor page's static files, compiled into the program (generated from
// emulators/monitor/web by cmake/embed_assets.cmake): nothing is read from disk or
// fetched from elsewhere at run time.

#include <string>
#include <vector>

namespace halvex::emulators::monitor {

struct Asset {
    std::string path;         // "/index.html"
    std::string contentType;  // "text/html; charset=utf-8"
    std::string body;
};

const std::vector<Asset>& assets();

}  // namespace halvex::emulators::monitor
