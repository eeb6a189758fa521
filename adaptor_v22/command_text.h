#pragma once

// The unit's command texts and their payload formats. No I/O here.
//
// A command is '[', its upper-case word, ']', the payload and '@', with nothing else:
// [HR]72@, [ENABLE]@, [PLETH]10,27,43@.

#include <string>

namespace halvex::adaptor_v22 {

std::string commandText(const std::string& word, const std::string& payload);

// Payload formats.
std::string integerPayload(int value);
// At most six significant digits, no trailing zeros: 0 is "0", 0.5 is "0.5".
std::string realPayload(float value);
// Fixed notation with one decimal: 36.96 is "37.0".
std::string temperaturePayload(float value);
// Fixed notation with three decimals: 0.2505 is "0.251".
std::string co2SamplePayload(float value);

}  // namespace halvex::adaptor_v22
