#include "platform/safe_file.h"

namespace halvex::platform {

std::FILE* openNewFile(const std::string& path) {
    return std::fopen(path.c_str(), "wbx");  // glibc: O_CREAT | O_EXCL
}

}  // namespace halvex::platform
