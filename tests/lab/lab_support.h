#pragma once
// What the lab's whole-program tests share: reading a unit emulator's --record file
// and waiting on it (halvex::test::eventually with kRecordPoll).

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/wait.h"

namespace halvex::test {

// The values of a --record file by name, in the order they arrived.
inline std::map<std::string, std::vector<std::string>> readRecord(const std::string& path) {
    std::map<std::string, std::vector<std::string>> values;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        const auto first = line.find(',');
        const auto second = line.find(',', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;  // a row being written
        values[line.substr(first + 1, second - first - 1)].push_back(line.substr(second + 1));
    }
    return values;
}

// The values with repeats in a row removed: 72 72 95 95 72 -> 72 95 72.
inline std::vector<std::string> runs(const std::vector<std::string>& values) {
    std::vector<std::string> out;
    for (const std::string& v : values)
        if (out.empty() || out.back() != v) out.push_back(v);
    return out;
}

inline bool containsRun(const std::vector<std::string>& haystack, const std::vector<std::string>& needle) {
    if (needle.empty()) return true;
    for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i)
        if (std::equal(needle.begin(), needle.end(), haystack.begin() + static_cast<std::ptrdiff_t>(i))) return true;
    return false;
}

// How often a wait on a record file (or a page) looks again: each look reads the
// whole file while the programs under test run beside the test.
constexpr std::chrono::milliseconds kRecordPoll{100};

}  // namespace halvex::test
