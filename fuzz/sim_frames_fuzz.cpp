// The SIM port's receive path: frame assembly, message decoding and registry binding.
#include "fuzz/link_frames.h"
#include "simlink/simulator_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    com_krel::SimulatorProtocol engine(1, com_krel::Quiet);
    halvex::fuzz::feedFrames(engine, data, size);
    return 0;
}
