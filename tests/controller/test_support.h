#pragma once

// Shared helpers of the controller tests: batches of updates, and the console capture
// that the controller's threads may print to while the test reads it.

#include <string>
#include <vector>

#include "simlink/types.h"
#include "tests/support/console_capture.h"

using halvex::test::ConsoleCapture;
using Channel = halvex::platform::Channel;

using Batch = std::vector<com_krel::ParameterValue>;

inline com_krel::ParameterValue intUpdate(const std::string& id, int value) {
    return com_krel::ParameterValue::ofInt(id, value);
}
inline com_krel::ParameterValue floatUpdate(const std::string& id, float value) {
    return com_krel::ParameterValue::ofFloat(id, value);
}

// n samples of one waveform, valued first, first + 1, ...
inline Batch samples(const std::string& id, int n, float first = 1.0f) {
    Batch batch;
    for (int i = 0; i < n; ++i)
        batch.push_back(floatUpdate(id, first + static_cast<float>(i)));
    return batch;
}

inline Batch join(std::initializer_list<Batch> parts) {
    Batch all;
    for (const Batch& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}
