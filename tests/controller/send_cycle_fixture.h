#pragma once

// A controller driven batch by batch through the recording adaptor of the edition
// the test is built for (the include seam picks the adaptor).

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "controller/simulator_sample.h"
#include "tests/controller/test_support.h"

using Calls = std::vector<std::string>;

class SendCycleFixture : public ::testing::Test {
protected:
    Configuration config{"unused.xml"};
    SimulatorSample controller{&config};
    HalvexAdaptor& unit = controller.unitAdaptor();

    void feed(const Batch& batch) { controller.parametersUpdated(batch); }
    void startRunning() {
        feed({intUpdate("HW_PATSPEED", 1), intUpdate("HW_PATMON_ENABLED", 1)});
        unit.log.take();
    }
    // Enough arterial samples for one send cycle; returns its calls.
    Calls cycle() {
        feed(samples("ARTLINE", 10));
        return unit.log.take();
    }
    int cyclesSending(const std::string& call, int cycles) {
        int sent = 0;
        for (int i = 0; i < cycles; ++i) {
            Calls calls = cycle();
            sent += static_cast<int>(std::count(calls.begin(), calls.end(), call));
        }
        return sent;
    }
};
