#pragma once

// Feeds a byte stream, as a simulator server could send it, to a link engine: the
// frame assembler cuts it into frames and the engine handles each one, decoding and
// binding included. The first byte chooses how many bytes each feed delivers (0: the
// whole rest at once), so the assembler also sees frames split at every point.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "simlink/cs_client_protocol.h"
#include "simlink/frame_assembler.h"
#include "simlink/wire.h"

namespace halvex::fuzz {

// The ids the engines are subscribed to before the stream: some a stream can name.
inline const std::vector<com_krel::ParameterRequest>& fuzzInputs() {
    static const std::vector<com_krel::ParameterRequest> inputs{{"A", com_krel::TypeFloat, 0},
                                                                {"B", com_krel::TypeInteger, 1},
                                                                {"HRPM", com_krel::TypeInteger, 0},
                                                                {"ARTLINE", com_krel::TypeFloat, 3}};
    return inputs;
}
inline const std::vector<com_krel::OutputRecord>& fuzzOutputs() {
    static const std::vector<com_krel::OutputRecord> outputs{{"O", com_krel::TypeInteger, 0, true, 7, false},
                                                             {"P", com_krel::TypeFloat, 0, true, 0, true}};
    return outputs;
}

// Assembles every frame of the stream and hands it to the engine. The engine is
// never connected, so whatever it would send is dropped before any socket.
template <class Engine>
void feedFrames(Engine& engine, const std::uint8_t* data, std::size_t size) {
    using Assembler = com_krel::wire::FrameAssembler;
    if (size == 0) return;
    const std::size_t chunk = data[0] == 0 ? size : data[0];
    engine.setLogSink([](bool, const std::string&) {});
    engine.subscribeInputs(fuzzInputs());
    engine.subscribeOutputs(fuzzOutputs());
    // One assembler for the whole run, reset for every input as for every connection:
    // its storage is reused instead of allocated anew for each input.
    static Assembler assembler;
    static com_krel::RawMessage payload;
    assembler.reset();
    for (std::size_t at = 1; at < size;) {
        const std::size_t n = std::min(chunk, size - at);
        assembler.feed(data + at, n);
        at += n;
        for (;;) {
            const Assembler::Result r = assembler.next(payload);
            if (r == Assembler::Result::Invalid) return;  // the link would drop the connection here
            if (r == Assembler::Result::NeedMore) break;
            require(payload.size() >= 1 && payload.size() <= com_krel::wire::kMaxFrameLength, "payload size");
            engine.handleMessage(payload);
            // A server id map never holds more than the parameters subscribed.
            require(engine.pendingInputs() >= 0, "more input server ids than inputs");
            require(engine.pendingOutputs() >= 0, "more output server ids than outputs");
        }
        require(assembler.wanted() > 0, "the assembler wants nothing while it needs more");
    }
}

}  // namespace halvex::fuzz
