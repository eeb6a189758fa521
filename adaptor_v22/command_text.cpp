#include "adaptor_v22/command_text.h"

#include <iomanip>
#include <locale>
#include <sstream>

namespace halvex::adaptor_v22 {

namespace {

// The classic locale, so a user's locale never turns the decimal point into a comma
// (the comma separates wave samples).
std::ostringstream stream() {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    return out;
}

}  // namespace

std::string commandText(const std::string& word, const std::string& payload) {
    return '[' + word + ']' + payload + '@';
}

std::string integerPayload(int value) { return std::to_string(value); }

std::string realPayload(float value) {
    std::ostringstream out = stream();
    out << value;
    return out.str();
}

std::string temperaturePayload(float value) {
    std::ostringstream out = stream();
    out << std::fixed << std::setprecision(1) << value;
    return out.str();
}

std::string co2SamplePayload(float value) {
    std::ostringstream out = stream();
    out << std::fixed << std::setprecision(3) << value;
    return out.str();
}

}  // namespace halvex::adaptor_v22
