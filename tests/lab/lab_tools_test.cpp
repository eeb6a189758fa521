// The lab tools' parts, in-process: the record of received samples, the session
// file and its player, scenario names, and the monitor's web server (HTTP and the
// live WebSocket) on an ephemeral loopback port.
#include <gtest/gtest.h>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "emulators/monitor/monitor_server.h"
#include "emulators/monitor/sample_recorder.h"
#include "emulators/sim_server/patient.h"
#include "emulators/sim_server/scenario.h"
#include "emulators/sim_server/session.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace {

using namespace std::chrono_literals;
using halvex::test::TempDir;
using halvex::emulators::monitor::Received;

const halvex::test::Loopback kNet(halvex::test::LoopbackBlock::LabTools);
// Given to programs that stop at a bad option before they listen.
const std::string kProgramAddress = kNet.host(0);

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// --- the record of received samples ---------------------------------------------

TEST(SampleRecorder, WritesOneRowPerNumericAndSampleWithItsTime) {
    TempDir dir;
    halvex::emulators::monitor::SampleRecorder recorder(dir.file("rec.csv"));
    Received r;
    r.at = halvex::emulators::monitor::Clock::now() + 1500ms;
    r.numerics = {{"hr", "72"}, {"note", "a,\"b\""}};
    r.waves = {{"abp", {93, 120.5}}, {"cvp", {}}};
    recorder.received(r);
    recorder.received(Received{});  // nothing in it: no row
    EXPECT_TRUE(recorder.ok());
    EXPECT_EQ(recorder.rows(), 4u);
    std::istringstream lines(readFile(dir.file("rec.csv")));
    std::string header, line;
    std::getline(lines, header);
    EXPECT_EQ(header, "seconds,name,value");
    std::vector<std::string> rows;
    while (std::getline(lines, line)) rows.push_back(line.substr(line.find(',') + 1));
    EXPECT_EQ(rows, (std::vector<std::string>{"hr,72", "note,\"a,\"\"b\"\"\"", "abp,93", "abp,120.5"}));
    const double seconds = std::stod(readFile(dir.file("rec.csv")).substr(header.size() + 1));
    EXPECT_NEAR(seconds, 1.5, 0.1);
}

TEST(SampleRecorder, AFailedWriteIsReportedNotSwallowed) {
    EXPECT_THROW(halvex::emulators::monitor::SampleRecorder("/nonexistent-folder/rec.csv"), std::runtime_error);
    EXPECT_THROW(halvex::emulators::monitor::SampleRecorder("/dev/full"), std::runtime_error);
    // A disk that fills during the run: the file may not grow past 4 KiB.
    TempDir dir;
    halvex::emulators::monitor::SampleRecorder recorder(dir.file("rec.csv"));
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Received r;
    r.waves = {{"abp", std::vector<double>(2000, 93.5)}};
    recorder.received(r);
    recorder.received(r);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(recorder.ok());
    EXPECT_NE(recorder.error().find("rec.csv"), std::string::npos) << recorder.error();
    EXPECT_EQ(recorder.rows(), 0u);
}

// --- recorded sessions --------------------------------------------------------------

TEST(Session, ALineReadsBackToTheSameValuesAndBits) {
    halvex::emulators::sim_server::SessionUpdate update;
    update.at = 12.25;
    update.protocol = halvex::emulators::sim_server::Protocol::App;
    const float artline = 93.0999985f;
    update.values = {{"HRPM", false, -7}, {"ARTLINE", true, artline}, {"SAO2", true, 0.1f}};
    const std::string line = halvex::emulators::sim_server::formatSessionLine(update);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    std::istringstream in(line + "\n\n" + line + "\n");
    std::vector<halvex::emulators::sim_server::SessionUpdate> read;
    std::string error;
    ASSERT_TRUE(halvex::emulators::sim_server::readSession(
        in, halvex::emulators::sim_server::standardPatientParameters(), read, error))
        << error;
    ASSERT_EQ(read.size(), 2u);
    EXPECT_DOUBLE_EQ(read[0].at, 12.25);
    ASSERT_EQ(read[0].values.size(), 3u);
    EXPECT_EQ(read[0].values[0].value, -7);
    EXPECT_EQ(static_cast<float>(read[0].values[1].value), artline);
    EXPECT_EQ(static_cast<float>(read[0].values[2].value), 0.1f);
}

TEST(Session, BrokenLinesAreRefusedWithTheirLineNumber) {
    const std::string good = R"({"t":1,"protocol":"APP","values":[{"id":"HRPM","type":"integer","value":72}]})";
    const struct {
        std::string line;
        std::string why;
    } cases[] = {
        {"{not json", "not a JSON object"},
        {R"({"protocol":"APP","values":[]})", "no time"},
        {R"({"t":0.5,"protocol":"APP","values":[]})", "backwards"},
        {R"({"t":2,"protocol":"XYZ","values":[]})", "\"protocol\""},
        {R"({"t":2,"protocol":"APP"})", "no \"values\""},
        {R"({"t":2,"protocol":"APP","values":[{"id":"NOPE","type":"integer","value":1}]})", "'NOPE' is not"},
        {R"({"t":2,"protocol":"APP","values":[{"id":"HW_PATSPEED","type":"integer","value":1}]})", "served on SIM"},
        {R"({"t":2,"protocol":"APP","values":[{"id":"HRPM","type":"float","value":1}]})", "must have type"},
        {R"({"t":2,"protocol":"APP","values":[{"id":"HRPM","type":"integer","value":1.5}]})", "no valid value"},
    };
    for (const auto& c : cases) {
        std::istringstream in(good + "\n" + c.line + "\n");
        std::vector<halvex::emulators::sim_server::SessionUpdate> read;
        std::string error;
        EXPECT_FALSE(halvex::emulators::sim_server::readSession(
            in, halvex::emulators::sim_server::standardPatientParameters(), read, error))
            << c.line;
        EXPECT_NE(error.find("line 2: "), std::string::npos) << error;
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
}

TEST(SessionPlayer, SendsEachUpdateAtItsTimeScaledBySpeedAndLoops) {
    std::vector<halvex::emulators::sim_server::SessionUpdate> session = {
        {10.0, halvex::emulators::sim_server::Protocol::App, {{"HRPM", false, 70}}},
        {11.0, halvex::emulators::sim_server::Protocol::App, {{"HRPM", false, 80}}},
        {13.0, halvex::emulators::sim_server::Protocol::App, {{"HRPM", false, 90}, {"RRPM", false, 20}}},
    };
    halvex::emulators::sim_server::SimServerEmulator::Options options;
    options.address = kNet.host(2);
    options.parameters = halvex::emulators::sim_server::standardPatientParameters();
    halvex::emulators::sim_server::SessionPlayer player(session, 2.0, true);
    player.applyStartValues(options.parameters);
    halvex::emulators::sim_server::SimServerEmulator server(options);  // not started: the values are enough
    EXPECT_EQ(server.value("HRPM"), 70);
    EXPECT_EQ(server.value("RRPM"), 20) << "the session's first RRPM is its start value";

    EXPECT_DOUBLE_EQ(player.play(0.0, server), 0.5);  // the first at once; the next 1 s later at speed 2
    EXPECT_DOUBLE_EQ(player.play(0.49, server), 0.5);
    EXPECT_EQ(server.value("HRPM"), 70);
    EXPECT_DOUBLE_EQ(player.play(0.5, server), 1.5);
    EXPECT_EQ(server.value("HRPM"), 80);
    // The last, then the first of the next pass after the session's span and the pause.
    const double again = player.play(1.5, server);
    EXPECT_NEAR(again, (3.0 + halvex::emulators::sim_server::SessionPlayer::kLoopPause) / 2, 1e-9);
    EXPECT_EQ(server.value("HRPM"), 90);
    player.play(again, server);
    EXPECT_EQ(server.value("HRPM"), 70);
    EXPECT_EQ(player.sent(), 4u);
    EXPECT_FALSE(player.finished());

    halvex::emulators::sim_server::SessionPlayer once(session, 1.0, false);
    EXPECT_LT(once.play(100, server), 0);
    EXPECT_TRUE(once.finished());
}

// --- scenarios ---------------------------------------------------------------------

TEST(Scenario, ANameIsFoundInTheFoldersAndAnUnknownOneListsTheNames) {
    TempDir first, second;
    first.write("calm.scenario", "at 1 set HRPM 60\n");
    second.write("calm.scenario", "at 1 set HRPM 61\n");
    second.write("storm.scenario", "at 1 set HRPM 150\n");
    const std::vector<std::string> folders = {first.path(), second.path()};
    std::string error;
    EXPECT_EQ(halvex::emulators::sim_server::findScenario("calm", folders, error), first.file("calm.scenario"));
    EXPECT_EQ(halvex::emulators::sim_server::findScenario("storm.scenario", folders, error),
              second.file("storm.scenario"));
    EXPECT_EQ(halvex::emulators::sim_server::findScenario(second.file("calm.scenario"), folders, error),
              second.file("calm.scenario"));
    EXPECT_EQ(halvex::emulators::sim_server::findScenario("gale", folders, error), "");
    EXPECT_NE(error.find("'gale'"), std::string::npos) << error;
    EXPECT_NE(error.find("calm storm"), std::string::npos) << error;
    EXPECT_EQ(halvex::emulators::sim_server::findScenario("../calm", folders, error), "") << "a name is not a path";
}

TEST(Scenario, EveryShippedScenarioParses) {
    std::size_t found = 0;
    for (const char* name : {"stable-adult", "tachycardia-hypotension", "desaturation", "calibration-session"}) {
        std::string error;
        const std::string path = halvex::emulators::sim_server::findScenario(name, {HALVEX_SOURCE_SCENARIOS}, error);
        ASSERT_FALSE(path.empty()) << error;
        std::ifstream in(path);
        std::vector<halvex::emulators::sim_server::ScenarioStep> steps;
        EXPECT_TRUE(halvex::emulators::sim_server::parseScenario(
            in, halvex::emulators::sim_server::standardPatientParameters(), steps, error))
            << name << ": " << error;
        EXPECT_FALSE(steps.empty()) << name;
        ++found;
    }
    EXPECT_EQ(found, 4u);
}

// --- the programs' lab options ------------------------------------------------------

TEST(LabOptions, ABadValueStopsTheProgramWithItsReason) {
    TempDir dir;
    dir.write("broken.jsonl", "{\"t\":0,\"protocol\":\"APP\",\"values\":[{\"id\":\"NOPE\"}]}\n");
    const std::string bin = HALVEX_BIN_DIR;
    const struct {
        std::vector<std::string> argv;
        std::string reason;
    } cases[] = {
        {{bin + "/unit-emulator-json", "--address", kProgramAddress, "--http", "10.1.2.3:8997"}, "only loopback"},
        {{bin + "/unit-emulator-v22", "--address", kProgramAddress, "--http", kProgramAddress + ":x"},
         "not PORT or ADDRESS:PORT"},
        {{bin + "/unit-emulator-json", "--address", kProgramAddress, "--record", "/nonexistent/r.csv"},
         "/nonexistent/r.csv"},
        {{bin + "/unit-emulator-v22", "--address", kProgramAddress, "--record", "/nonexistent/r.csv"},
         "/nonexistent/r.csv"},
        {{bin + "/sim-server-emulator", "--replay", dir.file("broken.jsonl")}, "line 1: 'NOPE'"},
        {{bin + "/sim-server-emulator", "--replay", dir.file("broken.jsonl"), "--scenario", "stable-adult"},
         "cannot be combined"},
        {{bin + "/sim-server-emulator", "--scenario", "no-such-scenario"}, "the names are: calibration-session"},
        {{bin + "/sim-session-recorder", kProgramAddress, "/nonexistent/s.jsonl"}, "/nonexistent/s.jsonl"},
        {{bin + "/sim-session-recorder", kProgramAddress}, "ADDRESS and FILE"},
    };
    for (const auto& c : cases) {
        halvex::test::ChildProcess child(c.argv);
        EXPECT_EQ(child.wait(10s), 1) << c.argv[0] << ' ' << c.argv.back();
        EXPECT_NE(child.err().find(c.reason), std::string::npos) << child.err();
    }
}

// --- the monitor's web server ---------------------------------------------------------

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

const std::string kMonitorAddress = kNet.host(1);

http::response<http::string_body> get(unsigned short port, const std::string& target,
                                      http::verb verb = http::verb::get) {
    asio::io_context io;
    beast::tcp_stream stream(io);
    stream.expires_after(5s);
    stream.connect(tcp::endpoint(asio::ip::make_address(kMonitorAddress), port));
    http::request<http::string_body> request(verb, target, 11);
    request.set(http::field::host, kMonitorAddress);
    http::write(stream, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    return response;
}

boost::property_tree::ptree parse(const std::string& json) {
    boost::property_tree::ptree tree;
    std::istringstream in(json);
    boost::property_tree::read_json(in, tree);
    return tree;
}

TEST(MonitorServer, ServesItsPageAndRefusesTheRest) {
    halvex::emulators::monitor::MonitorServer monitor(kMonitorAddress, 0, halvex::emulators::monitor::jsonUnitChannels(),
                                                      "JSON unit");
    monitor.start();
    const auto page = get(monitor.port(), "/");
    EXPECT_EQ(page.result(), http::status::ok);
    EXPECT_NE(page.body().find("id=\"num-hr\""), std::string::npos);
    EXPECT_EQ(page[http::field::content_type], "text/html; charset=utf-8");
    const auto script = get(monitor.port(), "/monitor.js");
    EXPECT_EQ(script.result(), http::status::ok);
    EXPECT_EQ(script.body().find("http://"), std::string::npos) << "the page fetches nothing from elsewhere";
    EXPECT_EQ(get(monitor.port(), "/../etc/passwd").result(), http::status::not_found);
    EXPECT_EQ(get(monitor.port(), "/live").result(), http::status::not_found);
    EXPECT_EQ(get(monitor.port(), "/", http::verb::post).result(), http::status::method_not_allowed);
    EXPECT_THROW(halvex::emulators::monitor::MonitorServer("192.168.1.1", 0, {}, "x"), std::invalid_argument);

    // A browser's idle connection does not hold up the end of the emulator.
    asio::io_context io;
    tcp::socket idle(io);
    idle.connect(tcp::endpoint(asio::ip::make_address(kMonitorAddress), monitor.port()));
    std::this_thread::sleep_for(100ms);
    const auto before = std::chrono::steady_clock::now();
    monitor.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
}

TEST(MonitorServer, HttpAddressesAreLoopbackOnly) {
    const struct {
        const char* text;
        bool ok;
        const char* address;
        unsigned short port;
    } cases[] = {
        {"8997", true, "127.0.0.1", 8997},      {"127.0.0.9:0", true, "127.0.0.9", 0},
        {"10.0.0.1:8997", false, "", 0},        {"0.0.0.0:80", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},      {"127.0.0.1:", false, "", 0},
        {"localhost:80", false, "", 0},         {"80x", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string address, error;
        unsigned short port = 1;
        EXPECT_EQ(halvex::emulators::monitor::parseHttpAddress(c.text, address, port, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(address, c.address);
            EXPECT_EQ(port, c.port);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(MonitorServer, PushesReceivedValuesLiveAndMarksAWaveThatStops) {
    halvex::emulators::monitor::MonitorServer monitor(kMonitorAddress, 0, halvex::emulators::monitor::v22UnitChannels(),
                                                      "Halvex v2.2 unit");
    monitor.start();
    asio::io_context io;
    websocket::stream<beast::tcp_stream> ws(io);
    beast::get_lowest_layer(ws).expires_after(10s);
    beast::get_lowest_layer(ws).connect(tcp::endpoint(asio::ip::make_address(kMonitorAddress), monitor.port()));
    ws.handshake(kMonitorAddress, "/live");
    // Feed about 50 samples per second of ABP for a second, as a unit would receive them.
    for (int i = 0; i < 10; ++i) {
        Received r;
        r.at = halvex::emulators::monitor::Clock::now();
        r.numerics = {{"HR", "88"}, {"SBP", "101"}, {"SPO2_SCALE", "5"}};
        r.waves = {{"ABP", {90, 91, 92, 93, 94}}};
        monitor.received(r);
        std::this_thread::sleep_for(100ms);
    }
    // Read updates until one shows the values; samples are sent once, in order.
    std::vector<double> samples;
    boost::property_tree::ptree update;
    for (int i = 0; i < 40 && samples.size() < 50; ++i) {
        beast::flat_buffer buffer;
        ws.read(buffer);
        update = parse(beast::buffers_to_string(buffer.data()));
        for (const auto& s : update.get_child("waves.abp.samples")) samples.push_back(s.second.get_value<double>());
    }
    ASSERT_EQ(samples.size(), 50u);
    EXPECT_EQ(samples.front(), 90);
    EXPECT_EQ(samples.back(), 94);
    EXPECT_EQ(update.get<std::string>("unit"), "Halvex v2.2 unit");
    EXPECT_EQ(update.get<std::string>("numerics.hr"), "88");
    EXPECT_EQ(update.get<std::string>("numerics.sbp"), "101");
    EXPECT_FALSE(update.get_child("numerics").count("SPO2_SCALE")) << "not a monitor channel";
    EXPECT_NEAR(update.get<double>("waves.abp.rate"), 50, 8);
    EXPECT_FALSE(update.get<bool>("waves.pap.live")) << "never received";
    EXPECT_EQ(monitor.sessions(), 1u);

    // Nothing more arrives: within kStoppedAfter and a push the wave shows as stopped.
    const auto deadline = std::chrono::steady_clock::now() + halvex::emulators::monitor::kStoppedAfter + 2s;
    bool stopped = false;
    while (!stopped && std::chrono::steady_clock::now() < deadline) {
        beast::flat_buffer buffer;
        ws.read(buffer);
        update = parse(beast::buffers_to_string(buffer.data()));
        stopped = !update.get<bool>("waves.abp.live");
    }
    EXPECT_TRUE(stopped);
    EXPECT_EQ(update.get<std::string>("numerics.hr"), "88") << "numerics keep their last value";
    ws.close(websocket::close_code::normal);
    monitor.stop();
}

}  // namespace
