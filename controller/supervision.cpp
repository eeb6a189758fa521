// The supervision loop, on the entry thread: both editions check the unit on the same
// rhythm and give it up after the same number of failed checks while something drives
// it; when they look at the unit, how they bring it back and what follows a check are
// the edition's (Edition::Rules, UnitCheck). `lock` is taken around each edition call
// and never while the unit is reached again.

#include "controller/simulator_sample.h"
#include "platform/line_sink.h"

namespace halvex::controller {

using halvex::platform::printErr;
using halvex::platform::printOut;

bool SimulatorSample::run() {
    int failures = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(stopLock);
            if (stopSignal.wait_for(guard, options.supervisionInterval, [this] { return stopRequested; }))
                return false;
        }
        const bool driven = running || calibrating;
        if (options.onCheck)
            options.onCheck(driven);
        if (!driven && !edition->rules.checksIdleUnit)
            continue;
        UnitCheck check;
        {
            std::lock_guard<std::mutex> guard(lock);
            check = edition->checkUnit();
        }
        if (driven) {
            if (!check.reachable) {
                ++failures;
                if (failures % 2 == 0) {
                    printErr("HX>ERROR>Unable to reach the Halvex unit... (" + std::to_string(failures) +
                             "). Reconnecting...");
                    recoverUnit();
                }
                if (failures > kMaxFailedChecks) {
                    printErr("HX>ERROR>No answer from the Halvex unit for too long. Disconnecting.");
                    return true;
                }
            } else {
                if (failures > 1)
                    printOut("HX>ERROR>Connection reestablished...");
                failures = 0;
            }
        }
        switch (check.then) {
        case UnitCheck::Then::Nothing:
            break;
        case UnitCheck::Then::Reconnect:
            printOut("Disconnected. Reconnecting.");
            recoverUnit();
            break;
        case UnitCheck::Then::KeepIdle: {
            std::lock_guard<std::mutex> guard(lock);
            edition->unitStep(UnitStep::KeepIdle);
            break;
        }
        }
    }
}

// Reaching the unit may wait for as long as it takes (until stop() interrupts it), so
// it runs without `lock`; `unitAway` tells the batches meanwhile to leave the unit
// alone. An error of the reach leaves here with the mark cleared.
void SimulatorSample::recoverUnit() {
    if (edition->rules.reachesLostUnit) {
        {
            std::lock_guard<std::mutex> guard(lock);
            unitAway = true;
        }
        try {
            edition->initializeUnit();
        } catch (...) {
            std::lock_guard<std::mutex> guard(lock);
            unitAway = false;
            throw;
        }
    }
    std::lock_guard<std::mutex> guard(lock);
    unitAway = false;
    edition->unitStep(UnitStep::Restore);
}

}  // namespace halvex::controller
