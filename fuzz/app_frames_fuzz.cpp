// The APP port's receive path: frame assembly (flow-control frames included), message
// decoding, the SCE state and registry binding.
#include "fuzz/link_frames.h"
#include "simlink/app_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    com_krel::AppProtocol engine(com_krel::Quiet);
    halvex::fuzz::feedFrames(engine, data, size);
    return 0;
}
