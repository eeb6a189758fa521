#pragma once

#include <cstdio>
#include <string>

// Files rewritten so that a crash, a full disk or a name already taken never loses
// what was there: copies go to names that did not exist, and a file is replaced in
// one rename from a complete temporary file beside it. Errors are std::runtime_error
// (std::filesystem::filesystem_error for a failed rename) whose text names the file
// and the system's reason: "Unable to create|open|read|write <path>: <reason>".
namespace halvex::platform {

// A copy or temporary file whose name is taken gets ".1", ".2", ... up to this
// before its suffix; past it the operation fails rather than overwrite anything.
constexpr int kMaxNameCounter = 999;

// Copies the file at `from` byte for byte into a file that did not exist: stem +
// suffix, or stem + ".1" + suffix, stem + ".2" + suffix, ... when that name is taken.
// Returns the copy's path once every byte is there; on failure no part of a copy is
// left. Existing files are never overwritten.
std::string copyToNewFile(const std::string& from, const std::string& stem, const std::string& suffix);

// Replaces the file at `path` with `text` in one rename, from a temporary file
// "<path>.tmp" (numbered like copyToNewFile's when taken) in the same folder, so the
// same file system. The file keeps its permissions. On failure the temporary file is
// removed and the file at `path` is as it was. `path` must not be a link: the link
// itself would be replaced.
void replaceFile(const std::string& path, const std::string& text);

// Creates `path` and opens it for binary writing, only if no file of that name exists:
// an existing file is never truncated. Returns nullptr with errno set on failure
// (EEXIST when the name is taken). The platform's own (posix/, win32/).
std::FILE* openNewFile(const std::string& path);

}  // namespace halvex::platform
