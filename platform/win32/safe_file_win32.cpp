#include "platform/safe_file.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace halvex::platform {

// The C runtime's fopen ignores the "x" mode and would truncate a file that exists.
std::FILE* openNewFile(const std::string& path) {
    const int fd = _open(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr) _close(fd);
    return stream;
}

}  // namespace halvex::platform
