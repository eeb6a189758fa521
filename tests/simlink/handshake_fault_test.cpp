// The server drops the connection at each step of the SIM handshake and of the APP
// handshake (its flow-control request included): on the frame of that step, before
// answering it. The client connects again, subscribes again and delivers updates, and
// leaves no thread behind. The periodic flow-control thread is not started: its
// messages would make the number of frames depend on timing.

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "emulators/sim_server/sim_server_emulator.h"
#include "simlink/app_client.h"
#include "simlink/cs_client_protocol.h"
#include "simlink/sim_client.h"
#include "test_support.h"
#include "tests/support/wait.h"

using namespace com_krel;
using namespace simlink_test;
using halvex::test::eventually;
using namespace std::chrono_literals;
namespace emu = halvex::emulators::sim_server;

namespace {

constexpr auto kWait = 10s;

std::size_t threadCount() {
    DIR* dir = ::opendir("/proc/self/task");
    std::size_t count = 0;
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr)
        count += entry->d_name[0] != '.';
    if (dir)
        ::closedir(dir);
    return count;
}

struct Case {
    emu::Protocol protocol;
    std::vector<ParameterRequest> inputs;
    const char* updated;  // an input whose change must reach the callback
};

const Case& caseOf(emu::Protocol protocol) {
    static const Case sim{emu::Protocol::Sim,
                          {{"HW_PATSPEED", TypeInteger, 0}, {"HW_PATMON_ENABLED", TypeInteger, 0}},
                          "HW_PATSPEED"};
    static const Case app{emu::Protocol::App, {{"HRPM", TypeInteger, 0}, {"ARTLINE", TypeFloat, 1}}, "HRPM"};
    return protocol == emu::Protocol::Sim ? sim : app;
}

emu::SimServerEmulator::Options serverOptions() {
    emu::SimServerEmulator::Options o;
    o.parameters = {{"HW_PATSPEED", emu::Protocol::Sim, false, 1},
                    {"HW_PATMON_ENABLED", emu::Protocol::Sim, false, 1},
                    {"HRPM", emu::Protocol::App, false, 72},
                    {"ARTLINE", emu::Protocol::App, true, 0}};
    return o;
}

// One client of the case's protocol, connected and subscribed, with a short pause
// between connection attempts.
struct Client {
    Client(const Case& c, const emu::SimServerEmulator& server) {
        if (c.protocol == emu::Protocol::Sim) {
            auto sim = std::make_unique<SimClient>(1, AutoReconnect | Quiet);
            client = std::move(sim);
        } else {
            client = std::make_unique<AppClient>(AutoReconnect | Quiet);
        }
        client->protocol().setLogSink([](bool, const std::string&) {});
        client->protocol().setReconnectPause(20ms);
        client->registerCallback(&recorder);
        // Subscribed before connecting: the receiving thread then sends every frame of
        // the handshake, and the test's thread writes nothing while a dropped
        // connection is replaced.
        const int subscribed = client->subscribeInputs(c.inputs);
        EXPECT_TRUE(subscribed == ResultOk || subscribed == ResultNotConnected) << subscribed;
        const int port = c.protocol == emu::Protocol::Sim ? server.simPort() : server.appPort();
        EXPECT_EQ(client->connect(loopback(), port), ResultOk);
    }
    bool registered() {
        return eventually([&] { return client->getState() == Ready && client->protocol().pendingInputs() == 0; },
                          kWait);
    }

    bool delivers(emu::SimServerEmulator& server, const char* id, double value) {
        auto seen = [&] {
            std::lock_guard<std::mutex> g(recorder.m);
            for (const auto& update : recorder.updates)
                for (const ParameterValue& v : update)
                    if (v.id == id && v.asInt() == static_cast<int>(value))
                        return true;
            return false;
        };
        return registered() && server.setValue(id, value) && eventually(seen, kWait);
    }

    Recorder recorder;  // outlives the client
    std::unique_ptr<CSClient> client;
};

class HandshakeFault : public testing::TestWithParam<emu::Protocol> {};

TEST_P(HandshakeFault, ADropAtEachStepIsFollowedByAFullRecovery) {
    const Case& c = caseOf(GetParam());
    // The steps: the frames a client sends on a clean connection until its inputs are
    // registered.
    std::size_t steps = 0;
    {
        emu::SimServerEmulator server(serverOptions());
        std::string error;
        ASSERT_TRUE(server.start(&error)) << error;
        Client client(c, server);
        ASSERT_TRUE(client.registered());
        steps = server.frameCount();
    }
    ASSERT_GE(steps, 2u);

    const std::size_t threadsBefore = threadCount();
    for (std::size_t step = 1; step <= steps; ++step) {
        SCOPED_TRACE("dropped at frame " + std::to_string(step) + " of " + std::to_string(steps));
        emu::SimServerEmulator server(serverOptions());
        std::string error;
        ASSERT_TRUE(server.start(&error)) << error;
        server.dropAtFrame(c.protocol, step);
        {
            Client client(c, server);
            ASSERT_TRUE(server.waitForConnections(c.protocol, 1, kWait));
            ASSERT_TRUE(client.delivers(server, c.updated, 3));
            // The drop came, and the client came back on a second connection.
            const auto frames = server.frames();
            EXPECT_TRUE(std::any_of(frames.begin(), frames.end(),
                                    [](const emu::ReceivedFrame& f) { return f.connection == 2; }));
        }
        server.stop();
        EXPECT_EQ(threadCount(), threadsBefore);
    }
}

INSTANTIATE_TEST_SUITE_P(Link, HandshakeFault, testing::Values(emu::Protocol::Sim, emu::Protocol::App),
                         [](const testing::TestParamInfo<emu::Protocol>& p) {
                             return std::string(emu::protocolName(p.param));
                         });

}  // namespace
