#pragma once
// What the lab's whole-program tests share: reading a unit emulator's --record file
// and waiting on it.

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

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

// Polls `done` every 100 ms until it holds or the time is up.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace halvex::test
