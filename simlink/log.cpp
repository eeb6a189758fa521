#include "simlink/log.h"

#include <cstdio>
#include <mutex>

namespace com_krel {

void printLine(bool error, const std::string& line) {
    static std::mutex m;
    std::lock_guard<std::mutex> g(m);
    std::FILE* f = error ? stderr : stdout;
    std::fwrite(line.data(), 1, line.size(), f);
    std::fputc('\n', f);
    std::fflush(f);
}

}  // namespace com_krel
