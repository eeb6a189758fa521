// The configuration load, from the file's text (both editions' keys).
#include <cstddef>
#include <cstdint>
#include <string>

#include "configuration/configuration.h"
#include "fuzz/fuzz_support.h"

using halvex::configuration::Configuration;
using halvex::configuration::ConfigurationKeys;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    halvex::fuzz::SilentConsole silent;
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (bool simulatorAddresses : {false, true}) {
        Configuration configuration("fuzz.xml", ConfigurationKeys{simulatorAddresses});
        configuration.loadText(text);
    }
    return 0;
}
