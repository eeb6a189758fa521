#pragma once

// A controller of either edition over a recording adaptor, driven batch by batch.
// Tests of what both editions do run once per edition (BothEditions); tests of one
// edition's own behaviour use the fixture with that edition.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "controller/edition_json.h"
#include "controller/edition_v22.h"
#include "controller/simulator_sample.h"
#include "tests/controller/recording_adaptor.h"
#include "tests/controller/test_support.h"
#include "tests/support/process.h"

using Calls = std::vector<std::string>;

enum class EditionKind { Json, V22 };

inline std::string editionName(const testing::TestParamInfo<EditionKind>& info) {
    return info.param == EditionKind::Json ? "Json" : "V22";
}

// The edition with a recording adaptor; `unit` is set to that adaptor. The JSON
// edition uploads a saved calibration without its pause.
inline std::unique_ptr<Edition> recordingEdition(EditionKind kind, Configuration& config, Recorder*& unit) {
    if (kind == EditionKind::Json) {
        auto adaptor = std::make_unique<RecordingJsonAdaptor>();
        unit = adaptor.get();
        auto edition = std::make_unique<JsonEdition>(config, std::move(adaptor));
        edition->setCalibrationSettle(std::chrono::milliseconds(0));
        return edition;
    }
    auto adaptor = std::make_unique<RecordingV22Adaptor>();
    unit = adaptor.get();
    return std::make_unique<V22Edition>(config, std::move(adaptor));
}

// A controller and the adaptor it drives.
struct RecordedController {
    RecordedController(EditionKind kind, Configuration& config, SimulatorSample::Options options = SimulatorSample::Options())
        : controller(std::make_unique<SimulatorSample>(&config, recordingEdition(kind, config, unitPointer),
                                                       std::move(options))),
          unit(*unitPointer) {}

    Recorder* unitPointer = nullptr;
    std::unique_ptr<SimulatorSample> controller;
    Recorder& unit;
};

class ControllerFixture : public ::testing::Test {
protected:
    explicit ControllerFixture(EditionKind edition) : kind(edition), recorded(edition, config) {}

    EditionKind kind;
    // A folder of the test's own: a saved calibration writes the file there.
    halvex::test::TempDir dir;
    Configuration config{dir.file("settings.xml")};
    RecordedController recorded;
    SimulatorSample& controller = *recorded.controller;
    Recorder& unit = recorded.unit;

    bool json() const { return kind == EditionKind::Json; }
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

class BothEditions : public ControllerFixture, public testing::WithParamInterface<EditionKind> {
protected:
    BothEditions() : ControllerFixture(GetParam()) {}
};

class JsonController : public ControllerFixture {
protected:
    JsonController() : ControllerFixture(EditionKind::Json) {}
};

class V22Controller : public ControllerFixture {
protected:
    V22Controller() : ControllerFixture(EditionKind::V22) {}
};
