// The virtual monitor in a real browser: a demo-like run (simulator stand-in,
// halvex-relay-json, unit-emulator-json --http --record, all programs), headless
// Chromium on the monitor page; the numerics the page shows are those the unit
// received, the traces run, a wave that never comes and a stream that stops are shown
// as stopped, for each edition. A screenshot of each live page is written beside the
// tests.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <fstream>
#include <memory>
#include <sstream>

#include "emulators/monitor/monitor_server.h"
#include "tests/lab/devtools.h"
#include "tests/lab/lab_support.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace {

using halvex::test::ChildProcess;
using halvex::test::TempDir;
using namespace std::chrono_literals;

std::string program(const std::string& name) { return std::string(HALVEX_BIN_DIR) + "/" + name; }

const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::MonitorBrowser);

struct Edition {
    const char* name;
    const char* bridge;
    const char* unit;
    std::string simAddress;   // halvex-relay-v22 reaches its simulator on 127.0.0.1
    std::string unitAddress;
    const halvex::emulators::monitor::ChannelMap* channels;
    bool sendsCo2;            // halvex-relay-json sends no CO2 wave
};

// The test names show the edition, not the bytes of the struct.
void PrintTo(const Edition& edition, std::ostream* out) { *out << edition.name; }

// What the page shows: every numeric's text, each trace's state and the link's.
const char* const kPageState = R"(!document.getElementById("link") ? "{}" : JSON.stringify({
  numerics: Object.fromEntries([...document.querySelectorAll('[id^="num-"]')].map(e => [e.id.slice(4), e.textContent])),
  traces: Object.fromEntries([...document.querySelectorAll('.trace')].map(e => [e.id.slice(6), e.dataset.state])),
  link: document.getElementById('link').dataset.state }))";

boost::property_tree::ptree pageState(halvex::test::HeadlessBrowser& browser) {
    boost::property_tree::ptree tree;
    std::istringstream in(browser.evaluate(kPageState));
    boost::property_tree::read_json(in, tree);
    return tree;
}

class MonitorInABrowser : public testing::TestWithParam<Edition> {};

TEST_P(MonitorInABrowser, ShowsWhatTheUnitReceivedAndMarksStoppedTraces) {
    const Edition& edition = GetParam();
    const std::string& unitAddress = edition.unitAddress;
    const std::string& simAddress = edition.simAddress;
    if (std::string(HALVEX_CHROMIUM).empty())
        GTEST_SKIP() << "CHROMIUM IS NOT INSTALLED: the virtual monitor was not checked in a browser "
                        "(scripts/setup installs the Debian package chromium)";
    TempDir run;
    run.write("settings.xml", "<Halvex><SPO2Scale>5</SPO2Scale><SerialID>HX22-LAB</SerialID><IPAddress>" + unitAddress +
                                  "</IPAddress><SPO2Calibration><Entry key=\"90\" value=\"600\"/></SPO2Calibration>"
                                  "<CO2Calibration><Entry key=\"40\" value=\"500\"/></CO2Calibration><IPRangeStart/><IPRangeEnd/>"
                                  "<SimulatorIP>" + simAddress + "</SimulatorIP><RHMIP>" + simAddress +
                                  "</RHMIP></Halvex>");
    std::vector<std::string> unitArgs{program(edition.unit), "--address", unitAddress, "--summary", "--http",
                                      unitAddress + ":0", "--record", run.file("unit.csv")};
    if (std::string(edition.name) == "v22") unitArgs.insert(unitArgs.end(), {"--serial", "HX22-LAB"});
    ChildProcess unit(unitArgs);
    const auto monitorLine = unit.lineContaining("monitor on http://", 20s);
    ASSERT_TRUE(monitorLine) << unit.out() << unit.err();
    const std::string url = monitorLine->substr(monitorLine->find("http://"));
    ChildProcess simulator({program("sim-server-emulator"), "--address", simAddress});
    ASSERT_TRUE(simulator.waitForText("Serving SIM on", 20s)) << simulator.err();
    auto bridge = std::make_unique<ChildProcess>(
        std::vector<std::string>{program(edition.bridge), "-f", run.file("settings.xml")}, run.path());
    ASSERT_TRUE(halvex::test::eventually(
        [&] {
            const auto record = halvex::test::readRecord(run.file("unit.csv"));
            return (record.count("t2") || record.count("T2")) && (record.count("abp") || record.count("ABP"));
        },
        30s, halvex::test::kRecordPoll))
        << bridge->out() << bridge->err();

    halvex::test::HeadlessBrowser browser(HALVEX_CHROMIUM, url, run.file("profile"), 30s);
    // The page shows the last value of every numeric the unit received.
    std::string mismatch;
    boost::property_tree::ptree shown;
    const bool same = halvex::test::eventually(
        [&] {
            shown = pageState(browser);
            if (!shown.count("numerics")) return false;  // not loaded yet
            const auto record = halvex::test::readRecord(run.file("unit.csv"));
            mismatch.clear();
            std::size_t compared = 0;
            for (const auto& [unitName, channel] : *edition.channels) {
                const auto values = record.find(unitName);
                if (values == record.end() || !shown.get_child("numerics").count(channel)) continue;
                ++compared;
                const std::string onPage = shown.get<std::string>("numerics." + channel);
                if (onPage != values->second.back())
                    mismatch += channel + ": page " + onPage + ", unit " + values->second.back() + "\n";
            }
            return compared >= (edition.sendsCo2 ? 9u : 12u) && mismatch.empty() &&
                   shown.get<std::string>("traces.abp") == "live";
        },
        20s, halvex::test::kRecordPoll);
    EXPECT_TRUE(same) << mismatch << browser.log();
    EXPECT_EQ(shown.get<std::string>("link"), "live");
    EXPECT_EQ(shown.get<std::string>("numerics.hr"), "72");
    for (const char* wave : {"abp", "pap", "cvp", "pleth"})
        EXPECT_EQ(shown.get<std::string>(std::string("traces.") + wave), "live") << wave;
    EXPECT_EQ(shown.get<std::string>("traces.co2"), edition.sendsCo2 ? "live" : "stopped");

    // Let the traces sweep a while, then keep a picture of the live page.
    std::this_thread::sleep_for(3s);
    const std::string png = browser.screenshot();
    ASSERT_GT(png.size(), 10000u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    std::ofstream(std::string(HALVEX_SCREENSHOT_PREFIX) + edition.name + ".png", std::ios::binary) << png;

    // The stream stops: every trace shows as stopped; the numerics stay.
    bridge.reset();
    EXPECT_TRUE(halvex::test::eventually(
        [&] {
            shown = pageState(browser);
            if (!shown.count("traces")) return false;
            for (const auto& trace : shown.get_child("traces"))
                if (trace.second.data() != "stopped") return false;
            return true;
        },
        10s, halvex::test::kRecordPoll));
    EXPECT_EQ(shown.get<std::string>("numerics.hr"), "72");
}

INSTANTIATE_TEST_SUITE_P(
    BothEditions, MonitorInABrowser,
    testing::Values(Edition{"json", "halvex-relay-json", "unit-emulator-json", kNet.host(1), kNet.host(0),
                            &halvex::emulators::monitor::jsonUnitChannels(), false},
                    Edition{"v22", "halvex-relay-v22", "unit-emulator-v22", "127.0.0.1", kNet.host(2),
                            &halvex::emulators::monitor::v22UnitChannels(), true}),
    [](const testing::TestParamInfo<Edition>& param) { return std::string(param.param.name); });

}  // namespace
