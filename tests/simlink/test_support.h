#pragma once

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simlink/comms.h"
#include "simlink/raw_message.h"

namespace simlink_test {

using Bytes = std::vector<std::uint8_t>;

// Big-endian words and raw bytes, written out by hand in tests.
inline void put32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}
inline std::uint32_t wordAt(const Bytes& b, std::size_t at) {
    return (std::uint32_t(b.at(at)) << 24) | (b.at(at + 1) << 16) | (b.at(at + 2) << 8) | b.at(at + 3);
}
inline Bytes words(std::initializer_list<std::uint32_t> ws) {
    Bytes b;
    for (auto w : ws) put32(b, w);
    return b;
}
inline void putId(Bytes& b, const std::string& id) {
    Bytes f(32, 0);
    for (std::size_t i = 0; i < id.size() && i < 32; ++i) f[i] = static_cast<std::uint8_t>(id[i]);
    b.insert(b.end(), f.begin(), f.end());
}
inline void putF32(Bytes& b, float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    put32(b, u);
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// A 12-byte application payload header.
inline Bytes appHeader(std::uint8_t family, std::uint8_t service, std::uint16_t type, std::uint32_t length) {
    Bytes b{family, service, 0x7F, 0xFF};
    put32(b, length);
    b.push_back(0x00);
    b.push_back(0x7F);
    b.push_back(static_cast<std::uint8_t>(type >> 8));
    b.push_back(static_cast<std::uint8_t>(type));
    return b;
}
// An incoming payload: header with its length filled in, then the body.
inline com_krel::RawMessage payload(std::uint8_t family, std::uint8_t service, std::uint16_t type, const Bytes& body) {
    Bytes b = appHeader(family, service, type, static_cast<std::uint32_t>(12 + body.size()));
    b.insert(b.end(), body.begin(), body.end());
    com_krel::RawMessage m(com_krel::KindApplication);
    m.bytes() = b;
    return m;
}
// A whole frame as the server sends it.
inline Bytes frameBytes(const Bytes& payloadBytes, std::uint32_t frameClass = 0) {
    Bytes b = words({static_cast<std::uint32_t>(32 + payloadBytes.size()), 32, frameClass, frameClass == 3 ? 2u : 0u});
    for (int i = 0; i < 16; ++i) b.push_back(0xFF);
    b.insert(b.end(), payloadBytes.begin(), payloadBytes.end());
    return b;
}

// A transport that hands out scripted read results: byte chunks (> 0), time-outs
// (-2), closes (0) and errors (-1).
class ScriptedTransport : public com_krel::CSCommsInterface {
public:
    Bytes stream;
    std::size_t pos = 0;
    std::deque<int> script;  // consumed per read; empty script: chunk = whole request
    int chunk = 0;           // when >0 and script empty: at most this many bytes per read
    std::vector<Bytes> written;
    std::vector<int> asked;  // the count of every read

    com_krel::ReadResult read(int count, com_krel::RawMessage& target) override {
        using com_krel::ReadResult;
        asked.push_back(count);
        int step = count;
        if (!script.empty()) {
            step = script.front();
            script.pop_front();
            if (step == -2) return ReadResult::TimedOut;
            if (step == -1) return ReadResult::Failed;
            if (step <= 0) return ReadResult::Closed;
        } else if (chunk > 0) {
            step = chunk;
        }
        std::size_t n = std::min<std::size_t>({static_cast<std::size_t>(step), static_cast<std::size_t>(count),
                                               stream.size() - pos});
        if (n == 0) return ReadResult::Closed;
        target.appendBytes(stream.data() + pos, n);
        pos += n;
        return ReadResult::Received;
    }
    int write(const com_krel::RawMessage& source) override {
        written.push_back(source.bytes());
        return static_cast<int>(source.size());
    }
    void close() override {}
    bool open(std::uint32_t, int) override { return true; }
};

// 127.0.0.1 in network byte order.
inline std::uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

// Collects library lines.
struct Lines {
    std::mutex m;
    std::vector<std::string> out, err;
    com_krel::LogSink sink() {
        return [this](bool error, const std::string& line) {
            std::lock_guard<std::mutex> g(m);
            (error ? err : out).push_back(line);
        };
    }
    std::size_t count(const std::string& prefix, bool error = false) {
        std::lock_guard<std::mutex> g(m);
        std::size_t n = 0;
        for (const auto& l : error ? err : out) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    std::vector<std::string> all(bool error) {
        std::lock_guard<std::mutex> g(m);
        return error ? err : out;
    }
};

}  // namespace simlink_test

#include "simlink/app_client.h"

namespace simlink_test {

// Records every callback, in order, as text.
class Recorder : public com_krel::AppClient::Callback {
public:
    std::mutex m;
    std::vector<std::string> events;
    std::vector<std::vector<com_krel::ParameterValue>> updates;
    std::vector<std::vector<com_krel::ParameterRequest>> registered;
    std::vector<std::pair<int, int>> states;

    void add(std::string e) {
        std::lock_guard<std::mutex> g(m);
        events.push_back(std::move(e));
    }
    void connectionStateChanged(int o, int n) override {
        std::lock_guard<std::mutex> g(m);
        states.emplace_back(o, n);
    }
    void parametersUpdated(const std::vector<com_krel::ParameterValue>& v) override {
        std::lock_guard<std::mutex> g(m);
        updates.push_back(v);
        events.push_back("updated " + std::to_string(v.size()));
    }
    void inputsRegistered(const std::vector<com_krel::ParameterRequest>& r) override {
        std::lock_guard<std::mutex> g(m);
        registered.push_back(r);
        events.push_back("registered " + std::to_string(r.size()));
    }
    void outputsRegistered(const std::vector<com_krel::OutputRegistration>& r) override {
        add("outputs " + std::to_string(r.size()));
    }
    void sceStatusReport(int s, int p, int d, int st) override { add(fmt("status", {s, p, d, st})); }
    void sceAdopted(int s, int p, int d) override { add(fmt("adopted", {s, p, d})); }
    void sceCleared(int s, int p, int d, int st) override { add(fmt("cleared", {s, p, d, st})); }
    void sceEventReport(int s, int p, int d, int st) override { add(fmt("event", {s, p, d, st})); }
    void sceRunStateChanged(int s, int r, int st) override { add(fmt("run", {s, r, st})); }
    void noActiveSce() override { add("none"); }

    std::vector<std::string> take() {
        std::lock_guard<std::mutex> g(m);
        auto e = events;
        events.clear();
        return e;
    }
    std::vector<std::pair<int, int>> stateList() {
        std::lock_guard<std::mutex> g(m);
        return states;
    }

private:
    static std::string fmt(const char* n, std::initializer_list<int> a) {
        std::string s = n;
        for (int v : a) s += " " + std::to_string(v);
        return s;
    }
};

// An engine over a scripted transport (never connected), its lines and callbacks
// recorded.
template <class Engine>
struct EngineFixture {
    Lines lines;
    Recorder rec;
    std::unique_ptr<Engine> e;
    template <class... A>
    explicit EngineFixture(A... a) : e(std::make_unique<Engine>(a..., std::make_unique<ScriptedTransport>())) {
        e->setLogSink(lines.sink());
        e->registerCallback(&rec);
    }
};

}  // namespace simlink_test
