#include "simlink/threading.h"

namespace com_krel {

std::atomic<int>& CSThread::failNextStarts() {
    static std::atomic<int> n{0};
    return n;
}

bool CSThread::start(void (*function)(void*), void* argument) {
    if (thread_.joinable()) return false;
    int pending = failNextStarts().load();
    while (pending > 0) {
        if (failNextStarts().compare_exchange_weak(pending, pending - 1)) return false;
    }
    return thread_.start([function, argument] { function(argument); });
}

}  // namespace com_krel
