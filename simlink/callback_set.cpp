#include "simlink/callback_set.h"

namespace com_krel {

bool CallbackSet::add(Callback* callback) {
    if (!callback) return false;
    CSLock g(lock_);
    return callbacks_.insert(callback).second;
}

std::vector<CallbackSet::Callback*> CallbackSet::snapshot() const {
    CSLock g(lock_);
    return std::vector<Callback*>(callbacks_.begin(), callbacks_.end());
}

}  // namespace com_krel
