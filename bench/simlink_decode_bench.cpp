// Cost of decoding a parameter update and handing it to parametersUpdated, for the
// SIM and APP engines, with 1, 10 and 100 entries per update.
//
// The update payloads are built once; the registry is filled the way the server
// fills it (an input reply), so every entry of an update resolves to a subscribed
// input. No socket is opened: the payload goes straight to handleMessage, as the
// receiving thread would pass it.
//
// Counters: ns_per_entry (time per delivered entry) and allocs_per_msg (heap
// allocations per update, counted by the operator new below).

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "simlink/app_protocol.h"
#include "simlink/simulator_protocol.h"
#include "simlink/wire.h"

namespace {
std::atomic<std::uint64_t> gAllocations{0};
}  // namespace

// Not inlined: GCC would otherwise see malloc and free inside them and warn of
// new/delete mismatches that are not there.
[[gnu::noinline]] void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace com_krel;

// Never connected: nothing is read or written.
class IdleTransport : public CSCommsInterface {
public:
    ReadResult read(int, RawMessage&) override { return ReadResult::TimedOut; }
    int write(const RawMessage& m) override { return static_cast<int>(m.size()); }
    void close() override {}
    bool open(std::uint32_t, int) override { return false; }
};

class Consumer : public CSClient::CallbackIface {
public:
    std::size_t delivered = 0;
    void parametersUpdated(const std::vector<ParameterValue>& values) override {
        benchmark::DoNotOptimize(values.data());
        delivered = values.size();
    }
};

// Short ids, as most of the bridge's subscriptions are; they fit in the string's
// own buffer, so copying one into the delivered list does not allocate.
std::string idOf(int i) {
    std::string id = std::to_string(i);
    return "PARAM_" + std::string(id.size() < 3 ? 3 - id.size() : 0, '0') + id;
}
constexpr std::uint32_t kFirstServerId = 1000;

std::vector<ParameterRequest> requests(int n) {
    std::vector<ParameterRequest> r;
    for (int i = 0; i < n; ++i) r.push_back({idOf(i), i % 2 ? TypeInteger : TypeFloat, 0});
    return r;
}

// The payload length word (offset 4) counts the whole payload.
RawMessage finish(RawMessage m) {
    m.setU32(4, static_cast<std::uint32_t>(m.size()));
    return m;
}

void requireAll(const Consumer& c, int n, benchmark::State& state) {
    if (c.delivered != static_cast<std::size_t>(n)) {
        state.SkipWithError("the update did not deliver every entry");
    }
}

void setCounters(benchmark::State& state, int n, std::uint64_t allocations) {
    const double iterations = static_cast<double>(state.iterations());
    state.counters["ns_per_entry"] =
        benchmark::Counter(static_cast<double>(n) * iterations, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocs_per_msg"] = benchmark::Counter(static_cast<double>(allocations) / iterations);
}

void BM_SimUpdate(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    SimulatorProtocol engine(1, Quiet, std::make_unique<IdleTransport>());
    engine.setLogSink([](bool, const std::string&) {});
    Consumer consumer;
    engine.registerCallback(&consumer);
    if (engine.subscribeInputs(requests(n)) != ResultOk) return state.SkipWithError("subscribe failed");

    // Input reply: word 12, count, then per entry server id, two words, kind, value, id.
    RawMessage reply = wire::beginPayload(wire::kFamilySim, 2, SimulatorProtocol::InputReply);
    reply.appendU32(wire::simWord(1));
    reply.appendU32(static_cast<std::uint32_t>(n));
    for (int i = 0; i < n; ++i) {
        for (std::uint32_t w : {kFirstServerId + i, 0u, 0u, 0u, 0u}) reply.appendU32(w);
        wire::appendId(reply, idOf(i));
    }
    engine.handleMessage(finish(reply));
    if (engine.pendingInputs() != 0) return state.SkipWithError("inputs not registered");

    // Update: word 12, mode, count, then per entry server id, kind (0 float), value.
    RawMessage update = wire::beginPayload(wire::kFamilySim, 2, SimulatorProtocol::ParameterUpdate);
    for (std::uint32_t w : {wire::simWord(1), 0u, static_cast<std::uint32_t>(n)}) update.appendU32(w);
    for (int i = 0; i < n; ++i) {
        update.appendU32(kFirstServerId + i);
        update.appendU32(i % 2 ? 1u : 0u);
        update.appendU32(i % 2 ? static_cast<std::uint32_t>(60 + i) : wire::floatBits(36.5f + i));
    }
    const RawMessage payload = finish(update);

    const std::uint64_t before = gAllocations.load();
    for (auto _ : state) engine.handleMessage(payload);
    setCounters(state, n, gAllocations.load() - before);
    requireAll(consumer, n, state);
}

void BM_AppUpdate(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    AppProtocol engine(Quiet, std::make_unique<IdleTransport>());
    engine.setLogSink([](bool, const std::string&) {});
    Consumer consumer;
    engine.registerCallback(&consumer);
    if (engine.subscribeInputs(requests(n)) != ResultOk) return state.SkipWithError("subscribe failed");

    constexpr std::uint32_t kSce = 9;
    // SCE announcement: patient, SCE; replies are accepted for the active SCE only.
    RawMessage announce = wire::beginPayload(wire::kFamilyApp, 2, 0x0102);
    for (std::uint32_t w : {0u, 1u, kSce}) announce.appendU32(w);
    engine.handleMessage(finish(announce));

    // Input reply: SCE, count, then per entry server id, two words, value, id.
    RawMessage reply = wire::beginPayload(wire::kFamilyApp, 2, 0x0106);
    reply.appendU32(kSce);
    reply.appendU32(static_cast<std::uint32_t>(n));
    for (int i = 0; i < n; ++i) {
        for (std::uint32_t w : {kFirstServerId + i, 0u, 0u}) reply.appendU32(w);
        reply.appendF32(0.0f);
        wire::appendId(reply, idOf(i));
    }
    engine.handleMessage(finish(reply));
    if (engine.pendingInputs() != 0) return state.SkipWithError("inputs not registered");

    // Update: SCE, mode 0, count, then per entry server id and a float.
    RawMessage update = wire::beginPayload(wire::kFamilyApp, 2, 0x0008);
    for (std::uint32_t w : {kSce, 0u, static_cast<std::uint32_t>(n)}) update.appendU32(w);
    for (int i = 0; i < n; ++i) {
        update.appendU32(kFirstServerId + i);
        update.appendF32(36.5f + i);
    }
    const RawMessage payload = finish(update);

    const std::uint64_t before = gAllocations.load();
    for (auto _ : state) engine.handleMessage(payload);
    setCounters(state, n, gAllocations.load() - before);
    requireAll(consumer, n, state);
}

BENCHMARK(BM_SimUpdate)->Arg(1)->Arg(10)->Arg(100);
BENCHMARK(BM_AppUpdate)->Arg(1)->Arg(10)->Arg(100);

}  // namespace

BENCHMARK_MAIN();
