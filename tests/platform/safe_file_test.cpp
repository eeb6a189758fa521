// Crash-safe files: copies only ever go to names that were free and are whole or
// absent; a replaced file is the new text or still the old one, never a mix.
#include "platform/safe_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef _WIN32
#include "tests/support/file_size_limit.h"
#endif
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;
using halvex::platform::copyToNewFile;
using halvex::platform::kMaxNameCounter;
using halvex::platform::replaceFile;
using halvex::test::TempDir;

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::set<std::string> filesIn(const TempDir& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) names.insert(entry.path().filename().string());
    return names;
}

// Bytes a text-mode or partial copy would change: CR LF, NUL, a byte that is not
// UTF-8, no final line end, and more than one buffer of the copy loop.
std::string awkwardBytes() {
    std::string bytes = "<?xml?>\r\n<a>\xff</a>\r\n";
    bytes.push_back('\0');
    for (int i = 0; bytes.size() < 200 * 1024; ++i) bytes.push_back(static_cast<char>(i * 7919 % 251));
    return bytes + "end";
}

// The message of what `action` threw, or "" when it did not throw. With a `sizeLimit`
// (bytes, POSIX only; 0 for none) the action runs as on a disk that fills up there.
std::string errorOf(const std::function<void()>& action, std::size_t sizeLimit = 0) {
#ifndef _WIN32
    std::optional<halvex::test::FileSizeLimit> limit;
    if (sizeLimit != 0) limit.emplace(sizeLimit);
#else
    (void)sizeLimit;
#endif
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

TEST(SafeFileCopy, CopiesEveryByteToNamesThatWereFree) {
    TempDir dir;
    const std::string bytes = awkwardBytes();
    dir.write("settings.xml", bytes);
    dir.write("settings.xml.stamp.bak", "earlier copy");
    const std::string stem = dir.file("settings.xml.stamp");

    EXPECT_EQ(copyToNewFile(dir.file("settings.xml"), stem, ".bak"), stem + ".1.bak");
    EXPECT_EQ(copyToNewFile(dir.file("settings.xml"), stem, ".bak"), stem + ".2.bak");
    EXPECT_EQ(copyToNewFile(dir.file("settings.xml"), dir.file("other"), ".bak"), dir.file("other.bak"));

    EXPECT_EQ(readBytes(dir.file("settings.xml.stamp.bak")), "earlier copy");
    for (const char* copy : {"settings.xml.stamp.1.bak", "settings.xml.stamp.2.bak", "other.bak"})
        EXPECT_EQ(readBytes(dir.file(copy)), bytes) << copy;
    EXPECT_EQ(readBytes(dir.file("settings.xml")), bytes);
}

// Whatever stops a copy, it throws naming the file and the reason, leaves no part of
// a copy and touches no other file.
TEST(SafeFileCopy, FailureLeavesNoCopy) {
    struct Case {
        const char* name;
        std::function<void(const TempDir&)> prepare;
        std::string from;          // in the folder
        std::string stem;          // in the folder
        std::size_t sizeLimit;     // 0: none (POSIX only)
        std::string error;         // the message starts with it; a "%" stands for the folder
    };
    const std::string longStem = std::string(300, 'c');
    const std::vector<Case> cases = {
        {"source missing", {}, "missing.xml", "copy", 0, "Unable to open %/missing.xml: "},
        {"name too long for the file system", {}, "settings.xml", longStem, 0, "Unable to create %/" + longStem},
        {"every name taken",
         [](const TempDir& dir) {
             dir.write("copy.bak", "taken");
             for (int n = 1; n <= kMaxNameCounter; ++n) dir.write("copy." + std::to_string(n) + ".bak", "taken");
         },
         "settings.xml", "copy", 0, "Unable to create %/copy.bak: every name up to counter 999 is taken"},
#ifndef _WIN32
        {"disk full while copying", {}, "settings.xml", "copy", 16, "Unable to write %/copy.bak: "},
#endif
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        dir.write("settings.xml", awkwardBytes());
        if (test.prepare) test.prepare(dir);
        const std::set<std::string> before = filesIn(dir);

        const std::string error =
            errorOf([&] { copyToNewFile(dir.file(test.from), dir.file(test.stem), ".bak"); }, test.sizeLimit);
        std::string expected = test.error;
        expected.replace(expected.find('%'), 1, dir.path());
        EXPECT_TRUE(startsWith(error, expected)) << error;
        EXPECT_EQ(filesIn(dir), before);
        EXPECT_EQ(readBytes(dir.file("settings.xml")), awkwardBytes());
    }
}

TEST(SafeFileReplace, WritesTheWholeTextAndKeepsTheFileMode) {
    TempDir dir;
    const std::string path = dir.file("settings.xml");
    dir.write("settings.xml", "old text");
    dir.write("settings.xml.tmp", "someone else's temporary file");
#ifndef _WIN32  // Windows keeps only a read-only attribute
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(path, mode);
#endif
    const std::string text = awkwardBytes();
    replaceFile(path, text);
    EXPECT_EQ(readBytes(path), text);
    EXPECT_EQ(readBytes(dir.file("settings.xml.tmp")), "someone else's temporary file");
    EXPECT_EQ(filesIn(dir), (std::set<std::string>{"settings.xml", "settings.xml.tmp"}));
#ifndef _WIN32
    EXPECT_EQ(fs::status(path).permissions(), mode);
#endif

    // A file that is not there yet is written all the same.
    replaceFile(dir.file("new.xml"), "new text");
    EXPECT_EQ(readBytes(dir.file("new.xml")), "new text");
    EXPECT_EQ(filesIn(dir), (std::set<std::string>{"new.xml", "settings.xml", "settings.xml.tmp"}));
}

// Whatever stops a replacement, it throws naming the file, and the old file is whole
// with no temporary file left beside it.
TEST(SafeFileReplace, FailureLeavesTheOldFileWhole) {
    struct Case {
        const char* name;
        std::string target;     // in the folder
        std::size_t sizeLimit;  // 0: none (POSIX only)
        std::string error;      // the message starts with it (or holds it, for a failed rename); "%" is the folder
    };
    const std::vector<Case> cases = {
        {"folder missing", "gone/settings.xml", 0, "Unable to create %/gone/settings.xml.tmp: "},
        {"the name is a folder with files", "folder", 0, "%/folder"},
#ifndef _WIN32
        {"disk full while writing", "settings.xml", 64, "Unable to write %/settings.xml.tmp: "},
#endif
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        dir.write("settings.xml", "old text");
        fs::create_directory(dir.file("folder"));
        dir.write("folder/inside", "kept");
        const std::set<std::string> before = filesIn(dir);

        const std::string error =
            errorOf([&] { replaceFile(dir.file(test.target), awkwardBytes()); }, test.sizeLimit);
        std::string expected = test.error;
        expected.replace(expected.find('%'), 1, dir.path());
        EXPECT_NE(error.find(expected), std::string::npos) << error;
        EXPECT_EQ(filesIn(dir), before);
        EXPECT_EQ(readBytes(dir.file("settings.xml")), "old text");
        EXPECT_EQ(readBytes(dir.file("folder/inside")), "kept");
    }
}

}  // namespace
