#pragma once

#include <cstdio>
#include <string>

namespace halvex::platform {

// Creates `path` and opens it for binary writing, only if no file of that name exists:
// an existing file is never truncated. Returns nullptr with errno set on failure
// (EEXIST when the name is taken).
std::FILE* openNewFile(const std::string& path);

}  // namespace halvex::platform
