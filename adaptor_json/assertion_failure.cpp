#include "adaptor_json/assertion_failure.h"

#include "platform/line_sink.h"

namespace halvex::adaptor_json {

AssertionFailureException::AssertionFailureException(const std::string& condition, const std::string& file,
                                                     int line, const std::string& message)
    : condition_(condition), file_(file), line_(line), message_(message) {
    std::string report;
    if (!message.empty()) {
        report += message + ": ";
    }
    if (condition == "false" || condition == "0" || condition == "FALSE") {
        report += "Unreachable code assertion";
    } else {
        report += "Assertion '" + condition + "'";
    }
    report += " failed in file '" + file + ":" + std::to_string(line) + "'";
    report_ = report;
    platform::printErr(report_);
}

std::string sourceFileName(const char* path) {
    const std::string text(path);
    const std::size_t slash = text.find_last_of("/\\");
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

}  // namespace halvex::adaptor_json
