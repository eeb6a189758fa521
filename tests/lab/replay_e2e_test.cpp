// A session recorded from the simulator stand-in by sim-session-recorder, replayed by
// sim-server-emulator --replay through each bridge to its unit emulator: the unit
// receives the recorded values, in the recorded order. All real programs; the v2.2
// edition reaches its simulator on 127.0.0.1, so these tests are serialised.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>

#include "emulators/sim_server/patient.h"
#include "emulators/sim_server/session.h"
#include "tests/lab/lab_support.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace {

using halvex::test::ChildProcess;
using halvex::test::TempDir;
using namespace std::chrono_literals;

std::string program(const std::string& name) { return std::string(HALVEX_BIN_DIR) + "/" + name; }

const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::LabReplay);

// The recording: a patient whose heart rate, pressures and respiration change twice.
const char* const kChanges =
    "at 1.0 set HRPM 95\nat 1.0 set EXT_SABP 105\nat 1.0 set EXT_DABP 66\nat 1.0 set EXT_MAP 79\n"
    "at 1.0 set RRPM 16\nat 2.5 set HRPM 118\nat 2.5 set EXT_SABP 92\nat 2.5 set EXT_DABP 55\n"
    "at 2.5 set EXT_MAP 67\nat 2.5 set RRPM 22\n";
const char* const kRecordedIds[] = {"HRPM", "EXT_SABP", "EXT_DABP", "EXT_MAP", "RRPM"};

struct Edition {
    const char* name;
    const char* bridge;
    const char* unit;
    std::string simAddress;
    std::string unitAddress;
    std::vector<std::string> unitNames;  // the unit's names of kRecordedIds
    const char* abpName;
};

// The test names show the edition, not the bytes of the struct.
void PrintTo(const Edition& edition, std::ostream* out) { *out << edition.name; }

class Replay : public testing::TestWithParam<Edition> {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        dir_->write("changes.scenario", kChanges);
        ChildProcess simulator({program("sim-server-emulator"), "--address", kNet.host(0), "--scenario",
                                dir_->file("changes.scenario"), "--seconds", "8"});
        ASSERT_TRUE(simulator.waitForText("Serving SIM on", 20s)) << simulator.err();
        ChildProcess recorder(
            {program("sim-session-recorder"), kNet.host(0), dir_->file("session.jsonl"), "--seconds", "4.5"});
        ASSERT_EQ(recorder.wait(30s), 0) << recorder.out() << recorder.err();
        EXPECT_TRUE(recorder.waitForText("updates recorded in", 1s)) << recorder.out();
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    // The recorded session: each id's values with repeats removed, and the ABP range.
    static std::vector<halvex::emulators::sim_server::SessionUpdate> session() {
        std::ifstream in(dir_->file("session.jsonl"));
        std::vector<halvex::emulators::sim_server::SessionUpdate> updates;
        std::string error;
        EXPECT_TRUE(halvex::emulators::sim_server::readSession(
            in, halvex::emulators::sim_server::standardPatientParameters(), updates, error))
            << error;
        return updates;
    }

    static TempDir* dir_;
};

TempDir* Replay::dir_ = nullptr;

TEST_P(Replay, TheUnitReceivesTheRecordedValuesInOrder) {
    const Edition& edition = GetParam();
    const auto updates = session();
    std::map<std::string, std::vector<std::string>> recorded;
    double lowest = 1e9, highest = -1e9;
    for (const auto& update : updates) {
        for (const auto& v : update.values) {
            recorded[v.id].push_back(std::to_string(static_cast<long>(v.value)));
            if (v.id == "ARTLINE") {
                lowest = std::min(lowest, v.value);
                highest = std::max(highest, v.value);
            }
        }
    }
    ASSERT_EQ(halvex::test::runs(recorded["HRPM"]), (std::vector<std::string>{"72", "95", "118"}))
        << "the recording missed the scenario's changes";
    ASSERT_LT(lowest, highest);

    TempDir run;
    run.write("settings.xml", "<Halvex><SPO2Scale>5</SPO2Scale><SerialID>HX22-LAB</SerialID><IPAddress>" +
                                  edition.unitAddress +
                                  "</IPAddress><SPO2Calibration><Entry key=\"90\" value=\"600\"/></SPO2Calibration>"
                                  "<CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration>"
                                  "<IPRangeStart/><IPRangeEnd/><SimulatorIP>" +
                                  edition.simAddress + "</SimulatorIP><RHMIP>" + edition.simAddress +
                                  "</RHMIP></Halvex>");
    std::vector<std::string> unitArgs{program(edition.unit), "--address", edition.unitAddress, "--summary",
                                      "--record", run.file("unit.csv")};
    if (std::string(edition.name) == "v22") unitArgs.insert(unitArgs.end(), {"--serial", "HX22-LAB"});
    ChildProcess unit(unitArgs);
    ASSERT_TRUE(unit.waitForText("listening on", 20s)) << unit.err();
    ChildProcess simulator({program("sim-server-emulator"), "--address", edition.simAddress, "--replay",
                            dir_->file("session.jsonl"), "--loop"});
    ASSERT_TRUE(simulator.waitForText("Serving SIM on", 20s)) << simulator.err();
    auto bridge = std::make_unique<ChildProcess>(
        std::vector<std::string>{program(edition.bridge), "-f", run.file("settings.xml")}, run.path());

    // Once the bridge is up, a whole pass of the looping session reaches the unit.
    std::map<std::string, std::vector<std::string>> received;
    const bool complete = halvex::test::eventually(
        [&] {
            received = halvex::test::readRecord(run.file("unit.csv"));
            for (std::size_t i = 0; i < std::size(kRecordedIds); ++i) {
                if (!halvex::test::containsRun(halvex::test::runs(received[edition.unitNames[i]]),
                                               halvex::test::runs(recorded[kRecordedIds[i]])))
                    return false;
            }
            return true;
        },
        45s, halvex::test::kRecordPoll);
    bridge.reset();
    std::string shown;
    for (std::size_t i = 0; i < std::size(kRecordedIds); ++i) {
        shown += edition.unitNames[i] + ":";
        for (const auto& v : halvex::test::runs(received[edition.unitNames[i]])) shown += ' ' + v;
        shown += '\n';
    }
    EXPECT_TRUE(complete) << "the unit received, with repeats removed:\n" << shown;

    // The arterial samples are the recorded ones, resampled: never outside their range.
    const auto& abp = received[edition.abpName];
    ASSERT_FALSE(abp.empty());
    for (const std::string& sample : abp) {
        const double v = std::stod(sample);
        EXPECT_GE(v, std::floor(lowest));
        EXPECT_LE(v, std::ceil(highest));
    }
}

INSTANTIATE_TEST_SUITE_P(
    BothEditions, Replay,
    testing::Values(Edition{"json", "halvex-relay-json", "unit-emulator-json", kNet.host(1), kNet.host(2),
                            {"hr", "sbp", "dbp", "mbp", "rr"}, "abp"},
                    Edition{"v22", "halvex-relay-v22", "unit-emulator-v22", "127.0.0.1", kNet.host(3),
                            {"HR", "SBP", "DBP", "MBP", "RR"}, "ABP"}),
    [](const testing::TestParamInfo<Edition>& param) { return std::string(param.param.name); });

}  // namespace
