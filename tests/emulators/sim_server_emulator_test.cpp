// The simulator-server emulator, driven by a tiny raw socket client whose requests
// are written by hand from the protocol tables, so that the emulator's own codec is
// checked rather than trusted.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "emulators/sim_server/patient.h"
#include "emulators/sim_server/scenario.h"
#include "emulators/sim_server/sim_server_emulator.h"
#include "tests/support/process.h"

using namespace halvex::emulators::sim_server;
using namespace std::chrono_literals;

namespace {

constexpr auto kWait = 5s;          // generous: the machine is shared

// --- hand-made bytes -----------------------------------------------------------------

void be32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}
std::uint32_t f32bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}
void id32(Bytes& b, const std::string& id) {
    b.insert(b.end(), id.begin(), id.end());
    b.insert(b.end(), 32 - id.size(), 0);
}
std::uint32_t word(const Bytes& b, std::size_t at) {
    return (std::uint32_t{b.at(at)} << 24) | (std::uint32_t{b.at(at + 1)} << 16) | (std::uint32_t{b.at(at + 2)} << 8) |
           b.at(at + 3);
}
float fword(const Bytes& b, std::size_t at) {
    std::uint32_t u = word(b, at);
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}
std::string text(const Bytes& b, std::size_t at, std::size_t width) {
    std::string s;
    for (std::size_t i = at; i < at + width && b.at(i); ++i) s.push_back(static_cast<char>(b[i]));
    return s;
}

// Application frame: 32-byte header (class 0, routing 0xFF x 16), then the 12-byte
// payload header (family, service, 7F FF, length, 00 7F, type) and the body words.
Bytes appFrame(std::uint8_t family, std::uint8_t service, std::uint16_t type, const Bytes& body) {
    const std::uint32_t payload = static_cast<std::uint32_t>(12 + body.size());
    Bytes f;
    be32(f, 32 + payload);
    be32(f, 32);
    be32(f, 0);
    be32(f, 0);
    f.insert(f.end(), 16, 0xFF);
    f.insert(f.end(), {family, service, 0x7F, 0xFF});
    be32(f, payload);
    f.insert(f.end(), {0x00, 0x7F, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type)});
    f.insert(f.end(), body.begin(), body.end());
    return f;
}
Bytes flowFrame(const std::vector<std::uint32_t>& words) {
    Bytes f;
    be32(f, static_cast<std::uint32_t>(32 + 4 * words.size()));
    be32(f, 32);
    be32(f, 3);
    be32(f, 2);
    f.insert(f.end(), 15, 0xFF);
    f.push_back(0xFE);
    for (auto w : words) be32(f, w);
    return f;
}

struct Input {
    std::string id;
    bool isInt;
};

Bytes simSubscribe(std::uint32_t simWord, const std::vector<Input>& inputs) {
    Bytes body;
    be32(body, simWord);
    be32(body, static_cast<std::uint32_t>(inputs.size()));
    for (const auto& in : inputs) {
        be32(body, 0);
        be32(body, 0);
        be32(body, in.isInt ? 1 : 0);
        id32(body, in.id);
    }
    return appFrame(4, 2, 0x0001, body);
}

Bytes appSubscribe(std::uint32_t sce, const std::vector<std::string>& ids) {
    Bytes body;
    be32(body, sce);
    be32(body, static_cast<std::uint32_t>(ids.size()));
    for (const auto& id : ids) {
        be32(body, 0);
        be32(body, 0);
        id32(body, id);
    }
    return appFrame(1, 2, 0x0006, body);
}

// --- the raw client -------------------------------------------------------------------

class RawClient {
public:
    explicit RawClient(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool connected() const { return connected_; }

    void send(const Bytes& b, std::size_t chunk = 0) {
        if (chunk == 0) chunk = b.size();
        for (std::size_t at = 0; at < b.size(); at += chunk)
            ASSERT_GT(::send(fd_, b.data() + at, std::min(chunk, b.size() - at), MSG_NOSIGNAL), 0);
    }

    // One whole frame (header included), or nothing by the deadline / at end of stream.
    std::optional<Bytes> readFrame(std::chrono::milliseconds timeout = kWait) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        Bytes header;
        if (!readExactly(header, 32, deadline)) return std::nullopt;
        const std::uint32_t total = word(header, 0);
        Bytes rest;
        if (total < 32 || !readExactly(rest, total - 32, deadline)) return std::nullopt;
        header.insert(header.end(), rest.begin(), rest.end());
        return header;
    }
    // Payload (after the frame header) of the next frame.
    std::optional<Bytes> readPayload(std::chrono::milliseconds timeout = kWait) {
        auto f = readFrame(timeout);
        if (!f) return std::nullopt;
        return Bytes(f->begin() + 32, f->end());
    }
    // True when the server closes the connection before the deadline.
    bool waitClosed(std::chrono::milliseconds timeout = kWait) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            Bytes ignored;
            if (!waitReadable(deadline)) return false;
            char c[256];
            const ssize_t n = ::recv(fd_, c, sizeof c, 0);
            if (n <= 0) return true;
        }
    }

private:
    bool waitReadable(std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(left.count())) > 0;
    }
    bool readExactly(Bytes& out, std::size_t n, std::chrono::steady_clock::time_point deadline) {
        while (out.size() < n) {
            if (!waitReadable(deadline)) return false;
            std::uint8_t buf[4096];
            const ssize_t got = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (got <= 0) return false;
            out.insert(out.end(), buf, buf + got);
        }
        return true;
    }
    int fd_ = -1;
    bool connected_ = false;
};

std::uint16_t type(const Bytes& payload) { return static_cast<std::uint16_t>((payload.at(10) << 8) | payload.at(11)); }

// A server with a handful of parameters of both protocols.
SimServerEmulator::Options smallOptions() {
    SimServerEmulator::Options o;
    o.parameters = {{"HW_PATSPEED", Protocol::Sim, false, 1},
                    {"HRPM", Protocol::App, false, 72},
                    {"SAO2", Protocol::App, true, 97},
                    {"ARTLINE", Protocol::App, true, 93}};
    o.simulatorId = 3;
    o.versionText = "Emulated 7.1";
    o.protocolVersion = 9;
    o.patient = PatientInfo{1, 7, 3, 5, 4.0f};
    return o;
}

struct Started {
    explicit Started(SimServerEmulator::Options o = smallOptions()) : server(std::move(o)) {
        std::string error;
        ok = server.start(&error);
        EXPECT_TRUE(ok) << error;
    }
    SimServerEmulator server;
    bool ok = false;
};

// Runs the APP handshake to the point where inputs may be subscribed.
void appHandshake(RawClient& c) {
    c.send(flowFrame({0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 3}));
    ASSERT_TRUE(c.readFrame());
}

// Nothing is on its way to an APP client: the server does one connection's work,
// and what the test asked of it before, in order, so the answer to a version request
// sent now must be the next frame the client reads.
void expectNothingPending(RawClient& c) {
    Bytes zero;
    be32(zero, 0);
    c.send(appFrame(1, 2, 0x0051, zero));
    auto p = c.readPayload();
    ASSERT_TRUE(p);
    EXPECT_EQ(type(*p), 0x0151);
}

}  // namespace

TEST(SimServerEmulator, SimInformationSubscriptionAndUpdates) {
    Started s;
    RawClient c(s.server.simPort());
    ASSERT_TRUE(c.connected());

    // Server information request, simulator id 1, sent one byte at a time.
    const Bytes infoRequest = {0x00, 0x00, 0x00, 0x34, 0x00, 0x00, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0, 0,
                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0x04, 0x02, 0x7F, 0xFF, 0x00, 0x00, 0x00, 0x14, 0x00, 0x7F, 0x00, 0x06,
                               0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    c.send(infoRequest, 1);
    auto f = c.readFrame();
    ASSERT_TRUE(f);
    ASSERT_EQ(f->size(), 32u + 152u);
    EXPECT_EQ(word(*f, 0), 184u);
    EXPECT_EQ(word(*f, 4), 32u);
    EXPECT_EQ(word(*f, 8), 0u);
    EXPECT_EQ(f->at(31), 0xFF);
    Bytes p(f->begin() + 32, f->end());
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 4), (Bytes{0x04, 0x02, 0x7F, 0xFF}));
    EXPECT_EQ(word(p, 4), 152u);
    EXPECT_EQ(type(p), 0x0106);
    EXPECT_EQ(word(p, 12), 0x00030000u);
    EXPECT_EQ(text(p, 16, 128), "Emulated 7.1");
    EXPECT_EQ(word(p, 144), 9u);
    EXPECT_EQ(word(p, 148), 1u);

    // The request was recorded, decoded.
    auto rec = s.server.waitForFrame([](const ReceivedFrame& r) { return r.type == 0x0006; }, kWait);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->protocol, Protocol::Sim);
    EXPECT_EQ(rec->kind, KindApplication);
    EXPECT_EQ(rec->family, 4);
    EXPECT_EQ(rec->service, 2);
    EXPECT_EQ(rec->payload, Bytes(infoRequest.begin() + 32, infoRequest.end()));

    // Subscription: an APP-side id and an unknown one are left out of the reply.
    c.send(simSubscribe(0x00030000, {{"HW_PATSPEED", true}, {"SAO2", false}, {"NOPE", true}}));
    p = *c.readPayload();
    ASSERT_EQ(type(p), 0x0101);
    ASSERT_EQ(p.size(), 20u + 52u);
    EXPECT_EQ(word(p, 4), 72u);
    EXPECT_EQ(word(p, 16), 1u);
    const std::uint32_t sid = *s.server.serverId("HW_PATSPEED");
    EXPECT_EQ(word(p, 20), sid);
    EXPECT_EQ(word(p, 20 + 12), 1u);  // integer
    EXPECT_EQ(word(p, 20 + 16), 1u);  // current value
    EXPECT_EQ(text(p, 20 + 20, 32), "HW_PATSPEED");

    // Updates: only the subscribed id reaches this SIM client.
    ASSERT_TRUE(s.server.setValue("SAO2", 90));
    ASSERT_TRUE(s.server.setValue("HW_PATSPEED", 0));
    p = *c.readPayload();
    ASSERT_EQ(type(p), 0x0003);
    ASSERT_EQ(p.size(), 24u + 12u);
    EXPECT_EQ(word(p, 20), 1u);
    EXPECT_EQ(word(p, 24), sid);
    EXPECT_EQ(word(p, 28), 1u);
    EXPECT_EQ(word(p, 32), 0u);

    // Refused values change nothing.
    EXPECT_FALSE(s.server.setValue("HW_PATSPEED", 0.5));
    EXPECT_FALSE(s.server.setValue("NOPE", 1));
    EXPECT_EQ(*s.server.value("HW_PATSPEED"), 0);
}

TEST(SimServerEmulator, AppHandshakeSubscriptionAndUpdates) {
    Started s;
    RawClient c(s.server.appPort());
    ASSERT_TRUE(c.connected());

    c.send(flowFrame({0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 3}));
    auto f = c.readFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(word(*f, 8), 3u);
    EXPECT_EQ(word(*f, 12), 2u);
    EXPECT_EQ(f->at(30), 0xFF);
    EXPECT_EQ(f->at(31), 0xFE);
    ASSERT_GE(f->size(), 36u);
    EXPECT_EQ(word(*f, 32), 1u);

    // The periodic flow-control message and subscribe-to-all-events get no answer:
    // the next frame is the patient list.
    c.send(flowFrame({3, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}));
    Bytes all;
    be32(all, 0);
    be32(all, 0x7FFFFFFF);
    be32(all, 0x7FFFFFFF);
    be32(all, 0x7FFFFFFF);
    c.send(appFrame(1, 1, 0x0020, all));
    c.send(appFrame(1, 1, 0x0001, {}));
    Bytes p = *c.readPayload();
    ASSERT_EQ(type(p), 0x0002);
    EXPECT_EQ(p[1], 1);
    EXPECT_EQ(word(p, 12), 1u);
    EXPECT_EQ(word(p, 16), 7u);
    EXPECT_EQ(word(p, 20), 3u);
    EXPECT_EQ(word(p, 24), 5u);
    EXPECT_EQ(fword(p, 28), 4.0f);

    Bytes zero;
    be32(zero, 0);
    c.send(appFrame(1, 2, 0x0051, zero));
    p = *c.readPayload();
    ASSERT_EQ(type(p), 0x0151);
    ASSERT_EQ(p.size(), 148u);
    EXPECT_EQ(text(p, 12, 128), "Emulated 7.1");
    EXPECT_EQ(word(p, 144), 1u);

    // A subscription for another SCE is ignored: the next frame answers SCE 7's.
    c.send(appSubscribe(9, {"HRPM"}));
    c.send(appSubscribe(7, {"HRPM", "HW_PATSPEED", "SAO2"}));
    p = *c.readPayload();
    ASSERT_EQ(type(p), 0x0106);
    EXPECT_EQ(word(p, 12), 7u);
    ASSERT_EQ(word(p, 16), 2u);
    ASSERT_EQ(p.size(), 20u + 2 * 48u);
    EXPECT_EQ(word(p, 20), *s.server.serverId("HRPM"));
    EXPECT_EQ(fword(p, 20 + 12), 72.0f);
    EXPECT_EQ(text(p, 20 + 16, 32), "HRPM");
    EXPECT_EQ(word(p, 68), *s.server.serverId("SAO2"));
    EXPECT_EQ(fword(p, 68 + 12), 97.0f);
    EXPECT_EQ(text(p, 68 + 16, 32), "SAO2");

    // One update message with the subscribed entries only, in the chosen publish mode.
    s.server.setAppPublishMode(2);
    ASSERT_TRUE(s.server.setValues({{"ARTLINE", 100}, {"HRPM", 80}, {"SAO2", 95.5}, {"ARTLINE", 101}}));
    p = *c.readPayload();
    ASSERT_EQ(type(p), 0x0008);
    EXPECT_EQ(word(p, 12), 7u);
    EXPECT_EQ(word(p, 16), 2u);
    ASSERT_EQ(word(p, 20), 2u);
    ASSERT_EQ(p.size(), 24u + 16u);
    EXPECT_EQ(word(p, 24), *s.server.serverId("HRPM"));
    EXPECT_EQ(fword(p, 28), 80.0f);
    EXPECT_EQ(word(p, 32), *s.server.serverId("SAO2"));
    EXPECT_EQ(fword(p, 36), 95.5f);
}

TEST(SimServerEmulator, PatientListReportsWhatIsConfigured) {
    struct Case {
        PatientInfo patient;
        std::size_t payloadSize;
    } cases[] = {
        {PatientInfo{0, 0, 0, 0, 0.0f}, 16},   // no patient
        {PatientInfo{1, 5, 2, 4, 0.0f}, 32},   // one, not started
        {PatientInfo{2, 5, 2, 5, 8.0f}, 48},   // two
    };
    Started s;
    for (const Case& k : cases) {
        s.server.setPatient(k.patient);
        RawClient c(s.server.appPort());
        appHandshake(c);
        c.send(appFrame(1, 1, 0x0001, {}));
        Bytes p = *c.readPayload();
        ASSERT_EQ(type(p), 0x0002);
        ASSERT_EQ(p.size(), k.payloadSize);
        EXPECT_EQ(word(p, 12), k.patient.count);
        if (k.patient.count) {
            EXPECT_EQ(word(p, 16), k.patient.sceId);
            EXPECT_EQ(word(p, 20), k.patient.patientId);
            EXPECT_EQ(word(p, 24), k.patient.state);
            EXPECT_EQ(fword(p, 28), k.patient.speed);
        }
    }
}

TEST(SimServerEmulator, UpdatesGoOnlyToConnectionsThatSubscribed) {
    Started s;
    RawClient a(s.server.appPort()), b(s.server.appPort());
    for (auto* c : {&a, &b}) appHandshake(*c);
    a.send(appSubscribe(7, {"HRPM"}));
    ASSERT_TRUE(a.readPayload());
    b.send(appSubscribe(7, {"SAO2"}));
    ASSERT_TRUE(b.readPayload());

    ASSERT_TRUE(s.server.setValue("HRPM", 90));
    Bytes p = *a.readPayload();
    EXPECT_EQ(word(p, 24), *s.server.serverId("HRPM"));
    ASSERT_TRUE(s.server.setValue("SAO2", 91));
    p = *b.readPayload();  // b's first update is SAO2: it never got the heart rate
    EXPECT_EQ(word(p, 24), *s.server.serverId("SAO2"));
    expectNothingPending(a);  // nor a the saturation

    // An unsubscribed id stops flowing to that connection.
    Bytes body;
    be32(body, 7);
    be32(body, 1);
    be32(body, *s.server.serverId("HRPM"));
    a.send(appFrame(1, 2, 0x0014, body));
    ASSERT_TRUE(s.server.waitForFrame([](const ReceivedFrame& r) { return r.type == 0x0014; }, kWait));
    ASSERT_TRUE(s.server.setValue("HRPM", 95));
    expectNothingPending(a);
}

TEST(SimServerEmulator, SceEventsAndNoticesAreLaidOut) {
    Started s;
    RawClient c(s.server.appPort());
    appHandshake(c);
    struct Case {
        std::function<void()> send;
        std::uint8_t service;
        std::uint16_t type;
        std::vector<std::uint32_t> words;  // from offset 12
    } cases[] = {
        {[&] { s.server.sendSceEvent(SceEvent::Created, 4, 1, 6); }, 3, 0x0111, {4, 6, 1}},
        {[&] { s.server.sendSceEvent(SceEvent::Started, 4); }, 3, 0x0112, {4, 1}},
        {[&] { s.server.sendSceEvent(SceEvent::Paused, 4, 0); }, 3, 0x0113, {4, 0}},
        {[&] { s.server.sendSceEvent(SceEvent::Generic, 4); }, 3, 0x0115, {4, 1}},
        {[&] { s.server.sendSceEvent(SceEvent::Speed, 4, 1, 0, 8.0f); }, 3, 0x0117, {4, f32bits(8.0f), 1}},
        {[&] { s.server.sendSceAnnouncement(6, 4); }, 2, 0x0102, {0, 6, 4}},
        {[&] { s.server.sendSceAnnouncement(6, 4, 0); }, 2, 0x0102, {0, 6, 4, 0}},
        {[&] { s.server.sendSceEndNotice(4); }, 2, 0x0103, {4, 0}},
        {[&] { s.server.sendSceDetail(6, 11, 4); }, 2, 0x0150, {6, 11, 4, 1}},
        {[&] { s.server.sendSceEvent(SceEvent::Ended, 4); }, 3, 0x0114, {4, 1}},
    };
    for (const Case& k : cases) {
        k.send();
        Bytes p = *c.readPayload();
        EXPECT_EQ(p[0], 1);
        EXPECT_EQ(p[1], k.service);
        ASSERT_EQ(type(p), k.type);
        ASSERT_EQ(p.size(), 12 + 4 * k.words.size()) << std::hex << k.type;
        for (std::size_t i = 0; i < k.words.size(); ++i) EXPECT_EQ(word(p, 12 + 4 * i), k.words[i]) << std::hex << k.type;
    }
    // SCE 4 started and ended: no patient is left, subscriptions are gone.
    EXPECT_EQ(s.server.patient().count, 0u);
    c.send(appSubscribe(4, {"HRPM"}));
    expectNothingPending(c);  // the subscription got no answer
}

TEST(SimServerEmulator, DropRefuseAndAcceptAgain) {
    Started s;
    const std::uint16_t simPort = s.server.simPort(), appPort = s.server.appPort();
    {
        RawClient sim(simPort), app(appPort);
        ASSERT_TRUE(s.server.waitForConnections(Protocol::Sim, 1, kWait));
        ASSERT_TRUE(s.server.waitForConnections(Protocol::App, 1, kWait));
        s.server.dropConnections();
        EXPECT_EQ(s.server.connectionCount(Protocol::Sim), 0u);
        EXPECT_TRUE(sim.waitClosed());
        EXPECT_TRUE(app.waitClosed());
    }
    ASSERT_TRUE(s.server.stopAccepting());
    EXPECT_FALSE(RawClient(simPort).connected());
    EXPECT_FALSE(RawClient(appPort).connected());

    ASSERT_TRUE(s.server.resumeAccepting());
    EXPECT_EQ(s.server.simPort(), simPort);
    RawClient again(appPort);
    ASSERT_TRUE(again.connected());
    appHandshake(again);
}

TEST(SimServerEmulator, BadFrameLengthClosesOnlyThatConnection) {
    Started s;
    RawClient good(s.server.simPort());
    for (std::uint32_t length : {0u, 32u, 0x7FFFFFFFu}) {
        RawClient bad(s.server.simPort());
        Bytes header;
        be32(header, length);
        be32(header, 32);
        be32(header, 0);
        be32(header, 0);
        header.insert(header.end(), 16, 0xFF);
        bad.send(header);
        EXPECT_TRUE(bad.waitClosed()) << length;
    }
    Bytes body;
    be32(body, 0x00010000);
    be32(body, 0);
    good.send(appFrame(4, 2, 0x0006, body));
    auto p = good.readPayload();
    ASSERT_TRUE(p);
    EXPECT_EQ(type(*p), 0x0106);
}

TEST(SimServerEmulator, RefusesNonLoopbackAddress) {
    auto o = smallOptions();
    o.address = "192.0.2.1";
    SimServerEmulator server(o);
    std::string error;
    EXPECT_FALSE(server.start(&error));
    EXPECT_NE(error.find("not a loopback address"), std::string::npos) << error;
}

TEST(SimServerEmulatorScenario, ParsesStepsAndRejectsBadLines) {
    const auto params = standardPatientParameters();
    std::istringstream good(
        "# a comment\n"
        "\n"
        "at 10 set HW_PATSPEED 0\n"
        "at 5.0 set HRPM 80   # trailing comment\n"
        "at 5 set BODY_TEMP 38.5\n"
        "at 12 drop-connections\n"
        "at 13 sce-end 1\n"
        "at 14 calibrate 3 250\n");
    std::vector<ScenarioStep> steps;
    std::string error;
    ASSERT_TRUE(parseScenario(good, params, steps, error)) << error;
    ASSERT_EQ(steps.size(), 6u);
    EXPECT_EQ(steps[0].id, "HRPM");  // time order, file order among equal times
    EXPECT_EQ(steps[1].id, "BODY_TEMP");
    EXPECT_EQ(steps[1].value, 38.5);
    EXPECT_EQ(steps[2].id, "HW_PATSPEED");
    EXPECT_EQ(steps[3].action, ScenarioStep::Action::DropConnections);
    EXPECT_EQ(steps[4].action, ScenarioStep::Action::SceEnd);
    EXPECT_EQ(steps[5].action, ScenarioStep::Action::Calibrate);
    EXPECT_EQ(steps[5].value, 3);
    EXPECT_EQ(steps[5].argument, 250);

    struct Bad {
        const char* text;
        const char* error;
    } bad[] = {
        {"at 1 set HRPM 80.5\n", "line 1: '80.5' is not a valid integer for HRPM"},
        {"\nat 1 set NOPE 1\n", "line 2: unknown parameter 'NOPE'"},
        {"at -1 drop-connections\n", "line 1: '-1' is not a time in seconds"},
        {"at 1x set HRPM 1\n", "line 1: '1x' is not a time in seconds"},
        {"at 1 set HRPM\n", "line 1: expected 'set ID VALUE'"},
        {"at 1 explode\n", "line 1: unknown action 'explode'"},
        {"set HRPM 1\n", "line 1: expected 'at SECONDS ACTION ...'"},
        {"at 1 drop-connections now\n", "line 1: 'drop-connections' takes no arguments"},
        {"at 1 sce-start -2\n", "line 1: expected 'sce-start SCE_ID'"},
        {"at 1 calibrate 3\n", "line 1: expected 'calibrate ACTION ARGUMENT'"},
        {"at 1 calibrate 3 2.5\n", "line 1: '2.5' is not a valid integer for HW_PATMON_CALIB_ARG1"},
    };
    for (const Bad& b : bad) {
        std::istringstream in(b.text);
        EXPECT_FALSE(parseScenario(in, params, steps, error)) << b.text;
        EXPECT_EQ(error, b.error);
    }
}

// --- the program --------------------------------------------------------------------

namespace {

halvex::test::ChildProcess runProgram(std::vector<std::string> args) {
    args.insert(args.begin(), SIM_SERVER_EMULATOR_PROGRAM);
    return halvex::test::ChildProcess(std::move(args));
}

}  // namespace

TEST(SimServerEmulatorProgram, RefusesNonLoopbackAddress) {
    auto c = runProgram({"--address", "192.0.2.1", "--sim-port", "0", "--app-port", "0"});
    EXPECT_EQ(c.wait(kWait), 1);
    EXPECT_NE(c.err().find("192.0.2.1 is not a loopback address"), std::string::npos) << c.err();
}

TEST(SimServerEmulatorProgram, StreamsWaveformBatchesAndStopsOnSigterm) {
    auto c = runProgram({"--address", "127.0.0.1", "--sim-port", "0", "--app-port", "0", "--set", "HRPM=90"});
    const std::string prefix = "and APP on 127.0.0.1:";
    const auto line = c.lineContaining(prefix, kWait);
    ASSERT_TRUE(line) << c.out() << c.err();
    const auto port = static_cast<std::uint16_t>(std::stoi(line->substr(line->find(prefix) + prefix.size())));

    RawClient app(port);
    ASSERT_TRUE(app.connected());
    appHandshake(app);
    app.send(appFrame(1, 1, 0x0001, {}));
    Bytes p = *app.readPayload();
    ASSERT_EQ(type(p), 0x0002);
    const std::uint32_t sce = word(p, 16);
    app.send(appSubscribe(sce, {"ARTLINE", "PLETH", "HRPM"}));
    p = *app.readPayload();
    ASSERT_EQ(type(p), 0x0106);
    ASSERT_EQ(word(p, 16), 3u);
    const std::uint32_t art = word(p, 20), hr = word(p, 20 + 2 * 48);
    EXPECT_EQ(fword(p, 20 + 2 * 48 + 12), 90.0f);  // --set start value

    // Batches carry 5 samples of each subscribed waveform, plausible values.
    for (int batch = 0; batch < 3; ++batch) {
        p = *app.readPayload();
        ASSERT_EQ(type(p), 0x0008);
        ASSERT_EQ(word(p, 20), 10u);
        int arterial = 0;
        for (std::size_t i = 0; i < 10; ++i) {
            const std::uint32_t id = word(p, 24 + 8 * i);
            const float v = fword(p, 28 + 8 * i);
            EXPECT_NE(id, hr);
            if (id == art) {
                ++arterial;
                EXPECT_GE(v, 79.0f);
                EXPECT_LE(v, 121.0f);
            } else {
                EXPECT_GE(v, 0.0f);
                EXPECT_LE(v, 100.0f);
            }
        }
        EXPECT_EQ(arterial, 5);
    }
    EXPECT_TRUE(c.waitForLine("APP client subscribed 3 ids", kWait)) << c.out();
    c.kill(SIGTERM);
    EXPECT_EQ(c.wait(kWait), 0) << c.err();
    EXPECT_TRUE(c.waitForLine("Stopped", kWait)) << c.out();
}
