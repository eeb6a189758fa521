#pragma once

// Feeds a byte stream, as a simulator server could send it, to a link engine: the
// frame reader cuts it into frames and the engine handles each one, decoding and
// binding included. The first byte chooses how many bytes each read delivers (0: as
// many as asked), so the reader also sees frames split at every point.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "simlink/comms.h"
#include "simlink/cs_client_protocol.h"
#include "simlink/wire.h"

namespace halvex::fuzz {

// The fuzz input as a transport: reads hand out the bytes in chunks; the end of the
// input is a closed connection; writes vanish.
class InputTransport : public com_krel::CSCommsInterface {
public:
    InputTransport(const std::uint8_t* data, std::size_t size, std::size_t chunk)
        : data_(data), size_(size), chunk_(chunk) {}
    int read(int count, com_krel::RawMessage& target) override {
        std::size_t n = std::min(static_cast<std::size_t>(count), size_ - at_);
        if (chunk_ != 0) n = std::min(n, chunk_);
        target.appendBytes(data_ + at_, n);
        at_ += n;
        return static_cast<int>(n);
    }
    int write(const com_krel::RawMessage& source) override { return static_cast<int>(source.size()); }
    void close() override {}
    bool open(std::uint32_t, int) override { return false; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t chunk_;
    std::size_t at_ = 0;
};

// The ids the engines are subscribed to before the stream: some a stream can name.
inline std::vector<com_krel::ParameterRequest> fuzzInputs() {
    return {{"A", com_krel::TypeFloat, 0}, {"B", com_krel::TypeInteger, 1}, {"HRPM", com_krel::TypeInteger, 0},
            {"ARTLINE", com_krel::TypeFloat, 3}};
}
inline std::vector<com_krel::OutputRecord> fuzzOutputs() {
    return {{"O", com_krel::TypeInteger, 0, true, 7, false}, {"P", com_krel::TypeFloat, 0, true, 0, true}};
}

// Reads every frame of the stream into the engine. The engine is not connected, so
// whatever it would send is dropped.
template <class Engine>
void feedFrames(Engine& engine, const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    InputTransport input(data + 1, size - 1, data[0]);
    const auto quiet = [](bool, const std::string&) {};
    engine.setLogSink(quiet);
    engine.subscribeInputs(fuzzInputs());
    engine.subscribeOutputs(fuzzOutputs());
    for (;;) {
        com_krel::RawMessage payload;
        if (com_krel::wire::readFrame(input, true, quiet, [] { return true; }, payload) !=
            com_krel::wire::ReadResult::Message)
            break;
        engine.handleMessage(payload);
        // A server id map never holds more than the parameters subscribed.
        require(engine.pendingInputs() >= 0, "more input server ids than inputs");
        require(engine.pendingOutputs() >= 0, "more output server ids than outputs");
    }
}

}  // namespace halvex::fuzz
