#pragma once

#include <exception>
#include <set>
#include <string>
#include <vector>

#include "simlink/threading.h"
#include "simlink/cs_client.h"
#include "simlink/log.h"

namespace com_krel {

// The callbacks registered on an engine, and the calls out to them. Each round of
// calls runs on a snapshot of the set taken in pointer order under the set's lock,
// which is never held while a callback runs (a callback may register another). An
// exception a callback throws is reported on the log and goes no further.
class CallbackSet {
public:
    using Callback = CSClient::CallbackIface;

    // log: where the report of a throwing callback goes; it must outlive the set.
    explicit CallbackSet(const LogSink& log) : log_(log) {}

    // False for null and for a callback already held.
    bool add(Callback* callback);
    std::vector<Callback*> snapshot() const;

    // Calls f(callback) for each callback of a snapshot; name names the operation in
    // the report of an exception.
    template <class F>
    void forEach(const char* name, F&& f) const {
        for (Callback* cb : snapshot()) call(cb, name, f);
    }

    // Calls f(callback) on one callback, reporting what it throws.
    template <class F>
    void call(Callback* cb, const char* name, F&& f) const {
        try {
            f(cb);
        } catch (const std::exception& e) {
            log_(true, std::string("Exception in callback ") + name + ": " + e.what());
        } catch (...) {
            log_(true, std::string("Exception in callback ") + name + ": unknown exception");
        }
    }

private:
    const LogSink& log_;
    mutable CSMutex lock_;  // innermost of the engine's locks
    std::set<Callback*> callbacks_;
};

}  // namespace com_krel
