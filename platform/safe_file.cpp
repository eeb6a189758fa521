#include "platform/safe_file.h"

#include <cerrno>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

// What the file operations do the same way everywhere; openNewFile is the
// platform's own (posix/, win32/).
namespace halvex::platform {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kCopyBufferSize = 64 * 1024;

// "<what> <path>: <reason>", the reason taken from errno when the C library set one.
std::runtime_error fileError(const std::string& what, const std::string& path, int error) {
    std::string text = what + " " + path;
    if (error != 0)
        text += ": " + std::error_code(error, std::generic_category()).message();
    return std::runtime_error(text);
}

// An open C stream that is closed (and, unless kept, its file removed) when it goes
// out of scope; close() reports whether the last buffered bytes reached the file.
class OutputFile {
public:
    OutputFile(std::FILE* stream, std::string path) : stream_(stream), path_(std::move(path)) {}
    ~OutputFile() {
        if (stream_ != nullptr)
            std::fclose(stream_);
        if (!kept_) {
            std::error_code ignored;
            fs::remove(path_, ignored);
        }
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const char* bytes, std::size_t size) {
        errno = 0;
        if (size != 0 && std::fwrite(bytes, 1, size, stream_) != size)
            throw fileError("Unable to write", path_, errno);
    }
    // Every byte written reaches the file, or this throws.
    void close() {
        errno = 0;
        const bool flushed = std::fflush(stream_) == 0;
        const int flushError = errno;
        std::FILE* stream = stream_;
        stream_ = nullptr;
        if (std::fclose(stream) != 0 || !flushed)
            throw fileError("Unable to write", path_, flushed ? errno : flushError);
    }
    // The file stays after destruction.
    void keep() { kept_ = true; }
    const std::string& path() const { return path_; }

private:
    std::FILE* stream_;
    std::string path_;
    bool kept_ = false;
};

// Creates a file that did not exist: stem + suffix, or stem + ".1" + suffix,
// stem + ".2" + suffix, ... when that name is taken. Creation is exclusive, so an
// existing file (an earlier copy, one made at the same time) is never overwritten.
OutputFile createNewFile(const std::string& stem, const std::string& suffix) {
    for (int counter = 0; counter <= kMaxNameCounter; ++counter) {
        const std::string path = counter == 0 ? stem + suffix : stem + "." + std::to_string(counter) + suffix;
        errno = 0;
        if (std::FILE* stream = openNewFile(path))
            return OutputFile(stream, path);
        const int error = errno;
        std::error_code ignored;
        // Only a taken name moves on to the next one; any other failure is the answer.
        if (error != EEXIST && !(error == 0 && fs::exists(fs::symlink_status(path, ignored))))
            throw fileError("Unable to create", path, error);
    }
    throw std::runtime_error("Unable to create " + stem + suffix + ": every name up to counter " +
                             std::to_string(kMaxNameCounter) + " is taken");
}

}  // namespace

std::string copyToNewFile(const std::string& from, const std::string& stem, const std::string& suffix) {
    errno = 0;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> input(std::fopen(from.c_str(), "rb"), &std::fclose);
    if (!input)
        throw fileError("Unable to open", from, errno);
    OutputFile output = createNewFile(stem, suffix);
    std::vector<char> buffer(kCopyBufferSize);
    for (;;) {
        errno = 0;
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), input.get());
        if (got == 0) {
            if (std::ferror(input.get()))
                throw fileError("Unable to read", from, errno);
            break;
        }
        output.write(buffer.data(), got);
    }
    output.close();
    output.keep();
    return output.path();
}

void replaceFile(const std::string& path, const std::string& text) {
    OutputFile temporary = createNewFile(path, ".tmp");
    temporary.write(text.data(), text.size());
    temporary.close();
    std::error_code error;
    const fs::perms permissions = fs::status(path, error).permissions();
    if (!error)
        fs::permissions(temporary.path(), permissions, error);  // best effort: the text is what matters
    fs::rename(temporary.path(), path);
    temporary.keep();
}

}  // namespace halvex::platform
